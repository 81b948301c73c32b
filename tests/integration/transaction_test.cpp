// Transactions across real processes, each build preloaded on both sides:
// request/reply rounds whose data must come out as without the probe, the
// blocks on the wire as a plain witness sees them, Python peers, a peer that
// is not monitored, and the type-1 records that a front and a back server
// put on the gtuid queue while one transaction travels between them. The
// builds that interpose writev also run the rounds with vectored messages.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/tav_be.h"
#include "base/tav_mzp.h"
#include "build_param.h"
#include "core/tav_gtuid.h"
#include "probe_run.h"
#include "queue_drain.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// --- helpers --------------------------------------------------------------------

// Servers get a concrete port: only a listener bound to one registers it for
// monitored clients to find.
using qel::test::Bound;
using qel::test::free_port;

// The number after `key` in the text, -1 when absent.
long number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// Settings under which monitored peers on this host recognise each other:
// a listener registers its port in the check home, a monitored client finds
// it there and takes the connection as a service connection. The relay port
// belongs to `relay`, a socket nobody answers on (no request should be sent
// for a local destination anyway). Trace logging shows the classification.
void monitored_peers(ProbeSandbox& box, const Bound& relay) {
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.log.level", "0");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(relay.port));
}

// Starts a server that prints "ready <port>" and waits for that line.
Background* start_server(ProbeSandbox& box, const std::vector<std::string>& argv, bool with_probe,
                         int port) {
  Background& b = box.start(argv, {}, with_probe);
  const std::string line = b.wait_first_line(20s);
  if (line != "ready " + std::to_string(port)) {
    ADD_FAILURE() << argv[0] << " did not start (" << line << "): " << b.err();
    return nullptr;
  }
  return &b;
}

// Waits for a program that ends by itself.
RunResult wait_end(Background& b, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (b.running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  return b.stop(SIGKILL);
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// How the hosts of a test do their I/O: plainly (read and write) under every
// build, or vectored under the builds that interpose writev (the JEUS build
// also readv; WebLogic hosts read with read and recv).
struct Variant {
  std::string build;
  std::vector<std::string> io;  // options of rr_peer
  std::string name;
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

std::vector<Variant> vectored_variants() {
  return {{"jeus", {"--vectored", "--readv"}, "jeus_vectored"}, {"weblogic", {"--vectored"}, "weblogic_vectored"}};
}

std::vector<Variant> variants() {
  std::vector<Variant> all;
  for (const std::string& b : probe_builds()) all.push_back({b, {}, b});
  for (const Variant& v : vectored_variants()) all.push_back(v);
  return all;
}

std::string variant_name(const testing::TestParamInfo<Variant>& info) { return info.param.name; }

// --- request/reply over a service connection ----------------------------------

struct CallCase {
  const char* name;
  std::vector<std::string> args;  // rounds, sizes and options of "rr_peer call"
  bool short_writes;              // the run must meet short writes
};

const CallCase kCalls[] = {
    {"sizes_1B_to_1MiB",
     {"40", "1", "2", "95", "96", "97", "100", "1000", "4096", "65536", "1048576"}, false},
    {"byte_by_byte", {"12", "1", "3", "96", "97", "1000", "10000", "70000", "--read-chunk", "1"}, false},
    {"nonblocking_short_writes",
     {"10", "1", "96", "5000", "300000", "1048576", "--nonblock", "--small-buffers", "--read-chunk", "7"}, true},
    {"peek_at_each_reply",
     {"20", "1", "96", "97", "4096", "100000", "--peek", "--nonblock", "--read-chunk", "3"}, false},
};

// The same server twice, without and with the probe, for clients to compare.
class ServiceRoundTrip : public testing::TestWithParam<Variant> {
 protected:
  void SetUp() override {
    box = std::make_unique<ProbeSandbox>(GetParam().build);
    monitored_peers(*box, relay);
    const int p1 = free_port(), p2 = free_port();
    plain_port = std::to_string(p1);
    probed_port = std::to_string(p2);
    plain_server = start_server(*box, concat({RR_PEER_BIN, "serve", plain_port}, GetParam().io), false, p1);
    probed_server = start_server(*box, concat({RR_PEER_BIN, "serve", probed_port}, GetParam().io), true, p2);
  }
  std::vector<std::string> call(const std::string& port, const std::vector<std::string>& args) {
    return concat(concat({RR_PEER_BIN, "call", "127.0.0.1", port}, args), GetParam().io);
  }
  // Both ends took `n` connections as service connections, so every
  // message went out framed and was unframed again.
  void expect_service_connections(size_t n) {
    const std::string logs = probe_logs(box->log_dir());
    EXPECT_EQ(occurrences(logs, "connect. (127.0.0.1:" + probed_port + ") qel service set"), n) << logs;
    EXPECT_EQ(occurrences(logs, "accept. qel service set"), n) << logs;
  }

  std::unique_ptr<ProbeSandbox> box;
  Bound relay{SOCK_DGRAM};
  std::string plain_port, probed_port;
  Background* plain_server = nullptr;
  Background* probed_server = nullptr;
};

// A preloaded client calls a preloaded server: every reply is exact, and the
// client prints what it prints against an unprobed pair.
TEST_P(ServiceRoundTrip, RepliesMatchAnUnprobedRun) {
  ASSERT_TRUE(plain_server && probed_server);
  for (const CallCase& c : kCalls) {
    SCOPED_TRACE(c.name);
    const RunResult plain = box->run_plain(call(plain_port, c.args), {.timeout = 120s});
    ASSERT_TRUE(plain.ok()) << "without the probe: " << plain.describe();
    ASSERT_NE(plain.out.find(" ok\n"), std::string::npos) << plain.out;
    const RunResult probed = box->run(call(probed_port, c.args), {.timeout = 120s});
    EXPECT_TRUE(probed.ok()) << "with " << box->build() << ": " << probed.describe();
    EXPECT_EQ(probed.out, plain.out);
    if (c.short_writes) {
      EXPECT_GT(number_after(probed.err, "short-writes "), 0) << probed.err;
    }
  }
  EXPECT_TRUE(probed_server->running()) << probed_server->err();
  expect_service_connections(std::size(kCalls));
}

// Clients at the same time, each served by a thread of its own in the
// server: no thread's blocks or bytes end up on another's connection.
TEST_P(ServiceRoundTrip, ParallelClientsGetTheirOwnReplies) {
  ASSERT_TRUE(plain_server && probed_server);
  const std::vector<std::string> args{"60", "1", "96", "700", "20000", "150000", "--read-chunk", "5000"};
  const RunResult plain = box->run_plain(call(plain_port, args), {.timeout = 60s});
  ASSERT_TRUE(plain.ok()) << plain.describe();
  constexpr int kClients = 6;
  std::vector<Background*> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(&box->start(call(probed_port, args)));
  for (int i = 0; i < kClients; ++i) {
    const RunResult r = wait_end(*clients[i], 60s);
    EXPECT_TRUE(r.ok()) << "client " << i << ": " << r.describe();
    EXPECT_EQ(r.out, plain.out) << "client " << i;
  }
  expect_service_connections(kClients);
}

INSTANTIATE_TEST_SUITE_P(Builds, ServiceRoundTrip, testing::ValuesIn(variants()), variant_name);

// --- the wire as a plain witness sees it --------------------------------------

struct WireCase {
  const char* name;
  std::vector<std::string> call_args;
  std::vector<std::string> listen_args;
  bool short_writes;
};

const WireCase kWires[] = {
    {"blocking", {"24", "1", "95", "96", "97", "1000", "65536", "1048576", "7"}, {}, false},
    // The witness waits before reading: large writes on small buffers are cut
    // short, and the rest of each message must follow without a block.
    {"nonblocking_short_writes",
     {"8", "1", "96", "5000", "1048576", "--nonblock", "--small-buffers"}, {"--delay-ms", "300"}, true},
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class WireFormat : public testing::TestWithParam<std::tuple<Variant, WireCase>> {};

// Every message of a preloaded client goes out as one 96-byte block (marker,
// gflag 0 or 1, identifier digits, pck = the message's length) followed by
// exactly the bytes the client wrote; no other bytes are added.
TEST_P(WireFormat, EveryMessageBehindOneBlock) {
  const auto& [variant, c] = GetParam();
  ProbeSandbox box(variant.build);
  const std::vector<std::string> client_args = concat(concat(c.call_args, {"--send-only"}), variant.io);
  Bound relay(SOCK_DGRAM);
  monitored_peers(box, relay);

  // What the client writes, recorded from an unprobed run.
  const int p1 = free_port(), p2 = free_port();
  const std::string plain_file = box.path("plain.bin"), framed_file = box.path("framed.bin");
  Background* w1 =
      start_server(box, concat({RR_PEER_BIN, "raw-listen", std::to_string(p1), plain_file}, c.listen_args), false, p1);
  ASSERT_TRUE(w1);
  const RunResult plain = box.run_plain(concat({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(p1)}, client_args));
  ASSERT_TRUE(plain.ok()) << plain.describe();
  ASSERT_TRUE(wait_end(*w1, 30s).ok());

  // The same client preloaded; the witness's port is listed as a service.
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(p2) + ":SERVICE");
  Background* w2 =
      start_server(box, concat({RR_PEER_BIN, "raw-listen", std::to_string(p2), framed_file}, c.listen_args), false, p2);
  ASSERT_TRUE(w2);
  const RunResult probed = box.run(concat({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(p2)}, client_args));
  ASSERT_TRUE(probed.ok()) << probed.describe();
  EXPECT_EQ(probed.out, plain.out);
  if (c.short_writes) {
    EXPECT_GT(number_after(probed.err, "short-writes "), 0) << probed.err;
  }
  ASSERT_TRUE(wait_end(*w2, 30s).ok());

  const std::string want = read_file(plain_file);
  const std::string wire = read_file(framed_file);
  ASSERT_FALSE(want.empty());
  size_t at = 0, msg = 0;
  long messages = 0;
  while (at < wire.size()) {
    SCOPED_TRACE("message " + std::to_string(messages) + " at wire offset " + std::to_string(at));
    ASSERT_LE(at + sizeof(gtuid_t), wire.size()) << "a block cut short";
    gtuid_t blk;
    memcpy(&blk, wire.data() + at, sizeof blk);
    ASSERT_EQ(memcmp(blk.init, "\x02\x0A\x24\x0F", 4), 0) << "no marker";
    EXPECT_LE(blk.gflag, 1);
    for (uint8_t d : blk.gtuid) EXPECT_LE(d, 99);
    ASSERT_LE(msg + 4, want.size()) << "more messages than the client wrote";
    tav::be32 app_len;
    memcpy(&app_len, want.data() + msg, sizeof app_len);
    const size_t len = sizeof app_len + app_len.get();
    ASSERT_EQ(blk.pck.get(), len);
    ASSERT_LE(at + sizeof blk + len, wire.size());
    ASSERT_EQ(wire.compare(at + sizeof blk, len, want, msg, len), 0) << "message bytes differ";
    at += sizeof blk + len;
    msg += len;
    ++messages;
  }
  EXPECT_EQ(msg, want.size());
  EXPECT_EQ(messages, std::stol(c.call_args[0]));
}

INSTANTIATE_TEST_SUITE_P(Builds, WireFormat, testing::Combine(testing::ValuesIn(variants()), testing::ValuesIn(kWires)),
                         [](const auto& info) {
                           return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
                         });

// --- blocks written by hand --------------------------------------------------------

// What rr_peer serve answers to a request q: FNV-1a-64 of q (8 bytes, big
// endian), then q reversed.
std::string reply_of(const std::string& q) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : q) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  tav::be64 sum;
  sum = h;
  return std::string(reinterpret_cast<const char*>(&sum), sizeof sum) + std::string(q.rbegin(), q.rend());
}

// An application message: 4-byte big-endian length, then the bytes.
std::string app_message(const std::string& payload) {
  tav::be32 n;
  n = static_cast<uint32_t>(payload.size());
  return std::string(reinterpret_cast<const char*>(&n), sizeof n) + payload;
}

// A loopback connection of the test process itself (no probe in it).
class PlainConnection {
 public:
  explicit PlainConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      close(fd_);
      fd_ = -1;
    }
    int one = 1;
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~PlainConnection() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool send_all(const std::string& b) {
    for (size_t at = 0; at < b.size();) {
      const ssize_t w = write(fd_, b.data() + at, b.size() - at);
      if (w <= 0) return false;
      at += static_cast<size_t>(w);
    }
    return true;
  }
  // Reads exactly n bytes within `limit`; fewer at end of file or time-out.
  std::string read_n(size_t n, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) break;
      got.append(buf, static_cast<size_t>(r));
    }
    return got;
  }

 private:
  int fd_;
};

// A block as a monitored peer sends it: an active transaction with a known
// identifier and sequence, announcing `pck` bytes.
gtuid_t hand_block(uint32_t pck) {
  gtuid_t b;
  memset(&b, 0, sizeof b);
  memcpy(b.init, "\x02\x0A\x24\x0F", 4);
  b.gflag = 1;
  const uint8_t id[11] = {17, 96, 86, 67, 73, 64, 4, 4, 69, 30, 1};
  memcpy(b.gtuid, id, sizeof id);
  b.seq = 7;
  b.pck = pck;
  return b;
}

std::string bytes_of(const gtuid_t& b) { return std::string(reinterpret_cast<const char*>(&b), sizeof b); }

class HandMadeBlocks : public ProbeBuildTest {
 protected:
  void SetUp() override {
    ProbeBuildTest::SetUp();
    port = free_port();
    server = start_server(*box, {RR_PEER_BIN, "serve", std::to_string(port)}, true, port);
  }
  int port = 0;
  Background* server = nullptr;
};

// A peer's block arriving in two TCP segments (40 bytes, the rest 300 ms
// later) is put together: the server answers the request exactly, and its
// framed answer carries the peer's transaction on (same identifier, sequence
// one higher: taken over on receipt, not advanced on sending in HALF mode).
TEST_P(HandMadeBlocks, BlockInTwoSegmentsIsReassembled) {
  ASSERT_TRUE(server);
  PlainConnection c(port);
  ASSERT_TRUE(c.ok()) << strerror(errno);
  const std::string request = app_message("a block in two segments");
  const gtuid_t sent = hand_block(static_cast<uint32_t>(request.size()));
  const std::string wire = bytes_of(sent) + request;
  ASSERT_TRUE(c.send_all(wire.substr(0, 40)));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(c.send_all(wire.substr(40)));

  const std::string head = c.read_n(sizeof(gtuid_t), 10s);
  ASSERT_EQ(head.size(), sizeof(gtuid_t)) << "no framed answer";
  gtuid_t got;
  memcpy(&got, head.data(), sizeof got);
  EXPECT_EQ(memcmp(got.init, sent.init, 4), 0);
  EXPECT_EQ(got.gflag, 1);
  EXPECT_EQ(memcmp(got.gtuid, sent.gtuid, sizeof got.gtuid), 0) << "another transaction came back";
  EXPECT_EQ(got.seq.get(), sent.seq.get() + 1);
  const std::string want = app_message(reply_of("a block in two segments"));
  ASSERT_EQ(got.pck.get(), want.size());
  EXPECT_EQ(c.read_n(want.size(), 10s), want);
}

// A peer that stops inside a block: after five one-second waits the server
// sees end of file and closes the connection; it goes on serving others.
TEST_P(HandMadeBlocks, PeerSilentInsideABlockEndsInEndOfFile) {
  ASSERT_TRUE(server);
  PlainConnection c(port);
  ASSERT_TRUE(c.ok()) << strerror(errno);
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(c.send_all(bytes_of(hand_block(100)).substr(0, 40)));
  const std::string got = c.read_n(1, 15s);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(got, "") << "the server answered a block that never ended";
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 9s) << "no end of file within the bounded wait";

  const RunResult other =
      box->run_plain({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(port), "3", "10"}, {.timeout = 20s});
  EXPECT_TRUE(other.ok()) << other.describe();
}

QEL_FOR_ALL_BUILDS(HandMadeBlocks);

// --- Python peers ----------------------------------------------------------------

// The listening socket of the Python servers below: port in `port`.
constexpr const char* kPyListen = R"(s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", port))
s.listen(8)
print("ready", port, flush=True)
)";

// A threading echo server: prints "ready <port>", then echoes every chunk it
// receives. Mode "greet" first sends a greeting line (the server speaks
// first); mode "split" answers a chunk with two writes, its 4-byte length
// and then the chunk. It ends itself after two minutes whatever happens.
const std::string kEchoServer = std::string(R"(import socket, sys, threading, signal
signal.alarm(120)
port, mode = int(sys.argv[1]), sys.argv[2]
)") + kPyListen + R"(def serve(c):
    with c:
        if mode == "greet":
            c.sendall(b"220 echo server ready\r\n")
        while True:
            d = c.recv(65536)
            if not d:
                return
            if mode == "split":
                c.sendall(len(d).to_bytes(4, "big"))
            c.sendall(d)
while True:
    c, _ = s.accept()
    threading.Thread(target=serve, args=(c,), daemon=True).start()
)";

// "echo": messages of many sizes (one starting with the block marker), each
// echo read back and compared; prints a digest. "greet": reads the server's
// greeting, then echoes a few messages. "waitall": a blocking socket that
// reads each split answer with one recv(MSG_WAITALL) of its whole length and
// prints what each call returned (the rest of a short answer is read after).
// "http": sends an HTTP request and writes what comes back to stdout.
constexpr const char* kEchoClient = R"(import hashlib, signal, socket, sys
signal.alarm(60)
port, mode = int(sys.argv[1]), sys.argv[2]
c = socket.create_connection(("127.0.0.1", port), timeout=None if mode == "waitall" else 30)
def read_n(n):
    got = bytearray()
    while len(got) < n:
        part = c.recv(min(65536, n - len(got)))
        if not part:
            sys.exit("end of file after %d of %d bytes" % (len(got), n))
        got += part
    return bytes(got)
base = bytes(range(256)) * 4097
if mode == "http":
    req = b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: qel-test\r\n\r\n"
    c.sendall(req)
    sys.stdout.buffer.write(read_n(len(req)))
    sys.exit(0)
if mode == "waitall":
    counts = []
    for n in (1, 100, 5000):
        c.sendall(base[:n])
        got = c.recv(4 + n, socket.MSG_WAITALL)
        counts.append(len(got))
        if got + read_n(4 + n - len(got)) != n.to_bytes(4, "big") + base[:n]:
            sys.exit("answer of %d bytes differs" % n)
    print("waitall", counts)
    sys.exit(0)
sizes = [1, 5, 96, 97, 4096, 100000, 1048576, 3, 1000] * 2
if mode == "greet":
    print(read_n(23).decode().strip())
    sizes = [1, 96, 5000]
h = hashlib.sha256()
for i, n in enumerate(sizes):
    data = base[i:i + n]
    if i == 3:
        data = b"\x02\x0a\x24\x0f\x01" + data[5:]
    c.sendall(data)
    if read_n(n) != data:
        sys.exit("message %d of %d bytes differs" % (i, n))
    h.update(data)
print("echo ok", h.hexdigest())
)";

class PythonPeers : public ProbeBuildTest {
 protected:
  void SetUp() override {
    ProbeBuildTest::SetUp();
    if (!on_path("python3")) GTEST_SKIP() << "python3 is not on PATH";
    monitored_peers(*box, relay);
    server_py = box->write_file("echo_server.py", kEchoServer);
    client_py = box->write_file("echo_client.py", kEchoClient);
  }
  // Runs the client against an unprobed server and, preloaded, against a
  // preloaded server over a service connection; both runs must succeed with
  // the same output, which is returned.
  std::string same_as_plain(const std::string& server_mode, const std::string& client_mode) {
    const int p1 = free_port(), p2 = free_port();
    const std::string q1 = std::to_string(p1), q2 = std::to_string(p2);
    if (!start_server(*box, {"python3", server_py, q1, server_mode}, false, p1) ||
        !start_server(*box, {"python3", server_py, q2, server_mode}, true, p2))
      return "no server";
    const RunResult plain = box->run_plain({"python3", client_py, q1, client_mode});
    EXPECT_TRUE(plain.ok()) << "without the probe: " << plain.describe();
    const RunResult probed = box->run({"python3", client_py, q2, client_mode});
    EXPECT_TRUE(probed.ok()) << "with " << box->build() << ": " << probed.describe();
    EXPECT_EQ(probed.out, plain.out);
    const std::string logs = probe_logs(box->log_dir());
    EXPECT_EQ(occurrences(logs, "connect. (127.0.0.1:" + q2 + ") qel service set"), 1u) << logs;
    EXPECT_EQ(occurrences(logs, "accept. qel service set"), 1u) << logs;
    return plain.out;
  }
  Bound relay{SOCK_DGRAM};
  std::string server_py, client_py;
};

// Both sides preloaded, over a service connection: the client's data comes
// back exact, as without the probe.
TEST_P(PythonPeers, EchoOverAServiceConnection) {
  EXPECT_EQ(same_as_plain("echo", "echo").rfind("echo ok ", 0), 0u);
}

// The server writes first (a greeting, as mail or database servers do): it
// goes out framed before either side has read, and the client's first read
// takes the block off.
TEST_P(PythonPeers, ServerSpeaksFirst) {
  EXPECT_EQ(same_as_plain("greet", "greet").rfind("220 echo server ready\necho ok ", 0), 0u);
}

// A blocking recv(MSG_WAITALL) returns the whole length asked for, even when
// the peer wrote it in two writes (two framed messages on the wire).
TEST_P(PythonPeers, RecvWaitallSpansTwoWrites) {
  EXPECT_EQ(same_as_plain("split", "waitall"), "waitall [5, 104, 5004]\n");
}

// A client that is not monitored sends an HTTP request to a preloaded server
// whose port is listed as a service: the first read finds no block, the
// connection becomes a plain one, and the request and its echo pass
// unchanged (a framed echo would carry 96 bytes more).
TEST_P(PythonPeers, UnmonitoredHttpRequestPassesUnchanged) {
  const int port = free_port();
  box->add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(port) + ":SERVICE");
  ASSERT_TRUE(start_server(*box, {"python3", server_py, std::to_string(port), "echo"}, true, port));
  const RunResult r = box->run_plain({"python3", client_py, std::to_string(port), "http"});
  ASSERT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.out, "GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: qel-test\r\n\r\n");
}

// A peer's block that cannot be trusted (a payload length of 2^31 or more,
// an identifier byte above 99) is handed to the host as ordinary data: the
// echo server sends those 96 bytes back as a message of its own, and the
// messages around it keep their framing.
TEST_P(PythonPeers, UntrustedBlockReachesTheHostAsData) {
  const int port = free_port();
  ASSERT_TRUE(start_server(*box, {"python3", server_py, std::to_string(port), "echo"}, true, port));
  PlainConnection c(port);
  ASSERT_TRUE(c.ok()) << strerror(errno);
  // The WebtoB build leaves send alone: the echo comes back as sent.
  const bool echo_framed = GetParam() != "webtob";
  // One framed message and its (framed) echo.
  auto round = [&](const std::string& payload, const std::string& sent) {
    SCOPED_TRACE(payload.substr(0, 8));
    ASSERT_TRUE(c.send_all(sent));
    if (!echo_framed) {
      EXPECT_EQ(c.read_n(payload.size(), 10s), payload);
      return;
    }
    const std::string head = c.read_n(sizeof(gtuid_t), 10s);
    ASSERT_EQ(head.size(), sizeof(gtuid_t)) << "no framed echo";
    gtuid_t b;
    memcpy(&b, head.data(), sizeof b);
    EXPECT_EQ(memcmp(b.init, "\x02\x0A\x24\x0F", 4), 0);
    ASSERT_EQ(b.pck.get(), payload.size());
    EXPECT_EQ(c.read_n(payload.size(), 10s), payload);
  };
  auto framed = [](const std::string& payload) {
    gtuid_t b = hand_block(static_cast<uint32_t>(payload.size()));
    b.gflag = 0;
    return bytes_of(b) + payload;
  };
  round("hello", framed("hello"));

  gtuid_t huge = hand_block(0);
  huge.pck = 0x80000000u;
  gtuid_t digit = hand_block(0);
  digit.gtuid[3] = 200;
  for (const gtuid_t& bad : {huge, digit}) {
    round(bytes_of(bad), bytes_of(bad));
    round("again", framed("again"));
  }
}

// The ways a host reads, sizes and sends a stream besides read and write,
// one connection per mode. The server prints what its host saw.
const std::string kCallsServer = std::string(R"(import fcntl, hashlib, select, socket, sys, termios, time, signal
signal.alarm(60)
port, mode = int(sys.argv[1]), sys.argv[2]
)") + kPyListen + R"(c, _ = s.accept()
def readable_then_settle():
    select.select([c], [], [], 10)
    time.sleep(0.3)
def fionread():
    return int.from_bytes(fcntl.ioctl(c.fileno(), termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)
if mode == "recvfrom":
    data, addr = c.recvfrom(100)
    while len(data) < 5:
        more, addr = c.recvfrom(100)
        data += more
    print("recvfrom", data, addr)
    c.sendto(data.upper(), ("127.0.0.1", 9))
elif mode == "fionread":
    for answer in (b"one", b"two"):
        readable_then_settle()
        n = fionread()
        print("fionread", n, c.recv(n, socket.MSG_WAITALL))
        c.sendall(answer)
elif mode == "sendfile":
    got = b""
    while True:
        part = c.recv(65536)
        if not part:
            break
        got += part
    print("sendfile", len(got), hashlib.sha256(got).hexdigest())
    c.sendall(b"done")
)";

const std::string kCallsClient = R"(import os, socket, sys, tempfile
port, mode = int(sys.argv[1]), sys.argv[2]
c = socket.create_connection(("127.0.0.1", port), timeout=30)
if mode == "recvfrom":
    c.sendto(b"hello", ("127.0.0.1", 9))
    print(c.recvfrom(100)[0])
elif mode == "fionread":
    c.sendall(b"hello")
    print(c.recv(10))
    c.sendall(b"abc")
    c.sendall(b"defgh")
    print(c.recv(10))
elif mode == "sendfile":
    with tempfile.TemporaryFile() as f:
        f.write(bytes(range(256)) * 1000)
        f.flush()
        size, off = f.tell(), 0
        while off < size:
            off += os.sendfile(c.fileno(), f.fileno(), off, size - off)
    c.shutdown(socket.SHUT_WR)
    print(c.recv(10))
)";

// Between two preloaded processes over a service connection, each way of
// reading, sizing and sending gives the host exactly what it gets without
// the probe: recvfrom and sendto, FIONREAD after one and after two framed
// messages (the host's bytes only), a file sent with sendfile.
TEST_P(PythonPeers, StreamCallsSeeTheHostsBytesOnly) {
  const std::string server = box->write_file("calls_server.py", kCallsServer);
  const std::string client = box->write_file("calls_client.py", kCallsClient);
  const struct {
    const char* mode;
    const char* server_out;  // what the unprobed server prints
  } cases[] = {
      {"recvfrom", "recvfrom b'hello' None\n"},
      {"fionread", "fionread 5 b'hello'\nfionread 8 b'abcdefgh'\n"},
      {"sendfile", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    std::string outs[2];
    for (bool probed : {false, true}) {
      const int port = free_port();
      Background* b = start_server(*box, {"python3", server, std::to_string(port), c.mode}, probed, port);
      ASSERT_NE(b, nullptr);
      const std::vector<std::string> argv = {"python3", client, std::to_string(port), c.mode};
      const RunResult r = probed ? box->run(argv) : box->run_plain(argv);
      ASSERT_TRUE(r.ok()) << r.describe();
      const RunResult s = b->wait(10s);
      ASSERT_TRUE(s.ok()) << s.describe();
      outs[probed] = r.out + "|" + s.out.substr(s.out.find('\n') + 1);
      if (probed) {
        const std::string logs = probe_logs(box->log_dir());
        EXPECT_NE(logs.find("connect. (127.0.0.1:" + std::to_string(port) + ") qel service set"),
                  std::string::npos) << logs;
      } else if (c.server_out) {
        EXPECT_EQ(s.out.substr(s.out.find('\n') + 1), c.server_out);
      }
    }
    EXPECT_EQ(outs[1], outs[0]);
  }
}

// A JVM server sizes each message with InputStream.available() and reads
// that many bytes with readFully: told the host's bytes only, it neither
// waits for ever for bytes that never come nor reads a block.
TEST_P(PythonPeers, JavaAvailableThenReadFullyReturns) {
  if (!on_path("java")) GTEST_SKIP() << "java is not on PATH";
  const std::string client = box->write_file("available_client.py", R"(import socket, sys
c = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=30)
c.sendall(b"hello")
print(c.recv(10))
c.sendall(b"abc")
c.sendall(b"defgh")
print(c.recv(10))
)");
  for (bool probed : {false, true}) {
    SCOPED_TRACE(probed ? "preloaded" : "plain");
    const int port = free_port();
    // The leak checker's tracer cannot run inside a JVM.
    Background* server = &box->start({"java", "-XX:TieredStopAtLevel=1", "-cp", JAVA_CLASSES_DIR,
                                      "AvailableRead", std::to_string(port), "2"},
                                     {.env = {without_leak_check()}}, probed);
    ASSERT_EQ(server->wait_first_line(30s), "ready " + std::to_string(port)) << server->err();
    const std::vector<std::string> argv = {"python3", client, std::to_string(port)};
    const RunResult r = probed ? box->run(argv) : box->run_plain(argv);
    ASSERT_TRUE(r.ok()) << r.describe();
    EXPECT_EQ(r.out, "b'ok'\nb'ok'\n");
    const RunResult s = server->wait(20s);
    ASSERT_TRUE(s.ok()) << s.describe();
    EXPECT_EQ(s.out, "ready " + std::to_string(port) + "\navailable 5 hello\navailable 8 abcdefgh\n");
    if (probed) {
      const std::string logs = probe_logs(box->log_dir());
      EXPECT_NE(logs.find("connect. (127.0.0.1:" + std::to_string(port) + ") qel service set"),
                std::string::npos) << logs;
    }
  }
}

QEL_FOR_ALL_BUILDS(PythonPeers);

// --- the records of one transaction on the gtuid queue ------------------------

std::string text(const char* field, size_t cap) { return std::string(field, strnlen(field, cap)); }

struct ModeCase {
  const char* name;
  const char* mode;  // qel.mode
  bool bmt;          // qel.gtuid.bmt.mode ON
};

const ModeCase kModes[] = {{"full", "FULL", false}, {"half", "HALF", false}, {"full_bmt", "FULL", true}};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

// A front server whose port is an entry, and records on the first gtuid
// queue of the sandbox (the test creates and drains it).
void front_and_back(ProbeSandbox& box, const char* mode, int front_port) {
  box.add_setting("qel.mode", mode);
  box.add_setting("qel.gtuid.send.type", "QUEUE");
  box.add_setting("qel.gtuid.queue.count", "1");
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(front_port) + ":START");
}

class TransactionRecords : public testing::TestWithParam<std::tuple<Variant, ModeCase>> {};

// An unmonitored client sends requests to a front server whose port is an
// entry (START); the front forwards each to a back server over a service
// connection and answers with the back's answer. Each request is one
// transaction: the front's read starts it (RS), its call hands it to the back
// (SC), the back takes it over (RC, same identifier, sequence one higher),
// the back's answer hands it back (SC, then RC in the front), and the front's
// reply ends it (SE). In FULL mode every hop advances the sequence and both
// sides report; in HALF mode the receive side reports nothing and only the
// send side advances it. With BMT mode the date text is never written.
TEST_P(TransactionRecords, OneTransactionFrontToBackAndBack) {
  const auto& [variant, mode] = GetParam();
  const std::string& build = variant.build;
  ProbeSandbox box(build);
  Bound relay(SOCK_DGRAM);
  monitored_peers(box, relay);
  const int front_port = free_port(), back_port = free_port();
  if (mode.bmt) box.add_setting("qel.gtuid.bmt.mode", "ON");
  front_and_back(box, mode.mode, front_port);

  OwnQueue queue(box.key(1));
  ASSERT_GE(queue.id(), 0) << strerror(errno);
  Drain drain(queue.id());

  Background* back =
      start_server(box, concat({RR_PEER_BIN, "serve", std::to_string(back_port)}, variant.io), true, back_port);
  ASSERT_TRUE(back);
  Background* front = start_server(
      box,
      concat({RR_PEER_BIN, "serve", std::to_string(front_port), "--forward", "127.0.0.1:" + std::to_string(back_port)},
             variant.io),
      true, front_port);
  ASSERT_TRUE(front);
  // A one-byte body leaves the middle entry of a vectored message empty.
  const std::vector<size_t> sizes{1, 1000, 70000};
  std::vector<std::string> call{RR_PEER_BIN, "call", "127.0.0.1", std::to_string(front_port),
                                std::to_string(sizes.size())};
  for (size_t s : sizes) call.push_back(std::to_string(s));
  call.insert(call.end(), {"--hops", "2"});
  call = concat(call, variant.io);
  const RunResult client = box.run_plain(call);
  ASSERT_TRUE(client.ok()) << client.describe();

  const bool full = std::string(mode.mode) == "FULL";
  struct Step {
    bool in_front;
    char start, send;
  };
  std::vector<Step> expected =
      full ? std::vector<Step>{{true, 'S', 'R'}, {true, 'C', 'S'}, {false, 'C', 'R'},
                               {false, 'C', 'S'}, {true, 'C', 'R'}, {true, 'E', 'S'}}
           : std::vector<Step>{{true, 'C', 'S'}, {false, 'C', 'S'}, {true, 'E', 'S'}};
  // The WebLogic build leaves the report of a start to the server's adapter:
  // its entry read makes the identifier without a record.
  const size_t unreported = full && build == "weblogic" ? 1 : 0;
  expected.erase(expected.begin(), expected.begin() + static_cast<long>(unreported));
  drain.wait_for(expected.size() * sizes.size(), 5s);
  std::this_thread::sleep_for(200ms);  // anything more would show up now
  const pid_t front_pid = front->pid(), back_pid = back->pid();
  front->stop(SIGTERM);
  back->stop(SIGTERM);
  const std::vector<Record> records = drain.finish();

  // One group of records per identifier, in the order they first appear.
  std::vector<std::string> order;
  std::map<std::string, std::vector<Record>> by_id;
  for (const Record& r : records) {
    ASSERT_EQ(r.size, sizeof(mzp1_t) - sizeof(long)) << "not a type-1 record";
    ASSERT_TRUE(r.type == front_pid || r.type == back_pid) << "record of pid " << r.type;
    char pid8[16];
    snprintf(pid8, sizeof pid8, "%08ld", r.type % 100000000);
    EXPECT_EQ(text(r.z.pid, sizeof r.z.pid), pid8);
    const std::string id = text(r.z.gtuid, sizeof r.z.gtuid);
    ASSERT_EQ(id.size(), 22u) << id;
    ASSERT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    if (!by_id.count(id)) order.push_back(id);
    by_id[id].push_back(r);
  }
  ASSERT_EQ(order.size(), sizes.size()) << "one identifier per request; " << records.size() << " records";

  for (size_t t = 0; t < order.size(); ++t) {
    SCOPED_TRACE("transaction " + std::to_string(t) + " " + order[t]);
    std::vector<Record> steps = by_id[order[t]];
    std::sort(steps.begin(), steps.end(), [](const Record& a, const Record& b) {
      return std::strcmp(a.z.seq, b.z.seq) < 0;
    });
    ASSERT_EQ(steps.size(), expected.size());
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      const mzp1_t& z = steps[i].z;
      char seq[24];
      snprintf(seq, sizeof seq, "%05zu", i + unreported);
      EXPECT_EQ(text(z.seq, sizeof z.seq), seq);
      EXPECT_EQ(steps[i].type, expected[i].in_front ? front_pid : back_pid);
      EXPECT_EQ(z.start[0], expected[i].start);
      EXPECT_EQ(z.send[0], expected[i].send);
      EXPECT_EQ(z.iotype[0], 'S');
      EXPECT_EQ(text(z.ipaddr, sizeof z.ipaddr), "127.0.0.1");
    }
    // The front's call names the back and the size of the message it framed,
    // and the back saw the same block.
    const size_t out_at = full ? 1 - unreported : 0;
    const Record& call_out = steps[out_at];
    EXPECT_EQ(call_out.z.port.get(), static_cast<uint32_t>(back_port));
    EXPECT_EQ(call_out.z.iosize.get(), 4 + sizes[t]);
    if (full) {
      EXPECT_EQ(steps[out_at + 1].z.iosize.get(), 4 + sizes[t]);
    }

    // Outside BMT mode each hop writes the date text of its time, so the
    // dates follow the sequence; in BMT mode none is ever written.
    std::string previous;
    for (const Record& r : steps) {
      const std::string date = text(r.z.dtime, sizeof r.z.dtime);
      if (mode.bmt) {
        EXPECT_EQ(date, "") << "the date text was written in BMT mode";
        continue;
      }
      EXPECT_EQ(date.size(), 20u) << date;
      EXPECT_EQ(date.find_first_not_of("0123456789"), std::string::npos) << date;
      EXPECT_GE(date, previous);
      previous = date;
    }
  }
}

// A request that arrives in two segments 100 ms apart is read in two reads:
// still one transaction, one start and one end.
class SplitRequest : public testing::TestWithParam<std::string> {};

TEST_P(SplitRequest, IsOneTransaction) {
  ProbeSandbox box(GetParam());
  const int port = free_port();
  front_and_back(box, "FULL", port);
  OwnQueue queue(box.key(1));
  ASSERT_GE(queue.id(), 0) << strerror(errno);
  Drain drain(queue.id());
  const std::string server = box.write_file("server.py",
      "import os, socket, sys\n"
      "s = socket.socket(); s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen()\n"
      "print('ready', sys.argv[1], flush=True)\n"
      "c, _ = s.accept(); a = c.recv(100); b = c.recv(100)\n"
      "os.write(c.fileno(), a + b); c.close()\n");
  Background* srv = start_server(box, {"python3", server, std::to_string(port)}, true, port);
  ASSERT_TRUE(srv);
  const RunResult client = box.run_plain({"python3", "-c",
      "import socket, sys, time\n"
      "c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
      "c.sendall(b'first,'); time.sleep(0.1); c.sendall(b'second')\n"
      "print(c.recv(100).decode())\n",
      std::to_string(port)});
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "first,second\n") << "the server read the request in two parts";
  drain.wait_for(2, 5s);
  std::this_thread::sleep_for(200ms);
  const std::vector<Record> records = drain.finish();
  ASSERT_EQ(records.size(), 2u) << "one start and one end";
  EXPECT_EQ(records[0].z.start[0], 'S');
  EXPECT_EQ(records[1].z.start[0], 'E');
  EXPECT_EQ(text(records[0].z.gtuid, sizeof records[0].z.gtuid), text(records[1].z.gtuid, sizeof records[1].z.gtuid));
}

// The WebLogic build leaves the report of a start to the server's adapter.
INSTANTIATE_TEST_SUITE_P(Builds, SplitRequest, testing::Values("jeus", "tmax", "webtob"));

// A server that answers with send (socket.send) ends each transaction its
// request started: one start and one end per request, in order.
class AnswerWithSend : public testing::TestWithParam<std::string> {};

TEST_P(AnswerWithSend, EndsEachTransaction) {
  ProbeSandbox box(GetParam());
  const int port = free_port();
  front_and_back(box, "FULL", port);
  OwnQueue queue(box.key(1));
  ASSERT_GE(queue.id(), 0) << strerror(errno);
  Drain drain(queue.id());
  const std::string server = box.write_file("server.py",
      "import socket, sys\n"
      "s = socket.socket(); s.bind(('127.0.0.1', int(sys.argv[1]))); s.listen()\n"
      "print('ready', sys.argv[1], flush=True)\n"
      "for _ in range(3):\n"
      "    c, _ = s.accept(); q = c.recv(100); c.send(q.upper()); c.close()\n");
  Background* srv = start_server(box, {"python3", server, std::to_string(port)}, true, port);
  ASSERT_TRUE(srv);
  const RunResult client = box.run_plain({"python3", "-c",
      "import socket, sys\n"
      "for i in range(3):\n"
      "    c = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\n"
      "    c.sendall(b'ask%d' % i); print(c.recv(100).decode()); c.close()\n",
      std::to_string(port)});
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "ASK0\nASK1\nASK2\n");
  drain.wait_for(6, 5s);
  std::this_thread::sleep_for(200ms);
  const std::vector<Record> records = drain.finish();
  ASSERT_EQ(records.size(), 6u) << "a start and an end per request";
  for (size_t i = 0; i < records.size(); i += 2) {
    SCOPED_TRACE(i / 2);
    EXPECT_EQ(records[i].z.start[0], 'S');
    EXPECT_EQ(records[i + 1].z.start[0], 'E');
    EXPECT_EQ(text(records[i].z.gtuid, sizeof records[i].z.gtuid),
              text(records[i + 1].z.gtuid, sizeof records[i + 1].z.gtuid));
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, AnswerWithSend, testing::Values("jeus", "tmax", "webtob"));

INSTANTIATE_TEST_SUITE_P(Builds, TransactionRecords,
                         testing::Combine(testing::ValuesIn(variants()), testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           return std::get<0>(info.param).name + "_" + std::get<1>(info.param).name;
                         });

// --- one system call per vectored message ------------------------------------

class VectoredSyscall : public testing::TestWithParam<Variant> {};

// The block and the three entries of a vectored message leave in a single
// writev: strace of the preloaded client shows, on the connected socket, one
// call and no other write, with the entries 96 (block), 4, 498 and 498 bytes
// and all 1096 bytes taken.
TEST_P(VectoredSyscall, BlockAndEntriesInOneWritev) {
  const Variant& v = GetParam();
  if (!on_path("strace")) GTEST_SKIP() << "strace is not on PATH";
  ProbeSandbox box(v.build);
  Bound relay(SOCK_DGRAM);
  monitored_peers(box, relay);
  const int port = free_port();
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(port) + ":SERVICE");
  Background* w =
      start_server(box, {RR_PEER_BIN, "raw-listen", std::to_string(port), box.path("wire.bin")}, false, port);
  ASSERT_TRUE(w);
  const std::string trace = box.path("strace.txt");
  // strace itself runs without the probe; only the traced client gets it.
  const RunResult r = box.run_plain(concat({"strace", "-f", "-qq", "-o", trace, "-e",
                                            "trace=connect,close,write,writev,sendto,sendmsg", "-E",
                                            "LD_PRELOAD=" + preload_value(box.library()), RR_PEER_BIN, "call", "127.0.0.1",
                                            std::to_string(port), "1", "996", "--send-only"},
                                           v.io));
  if (!r.ok() && r.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "ptrace not permitted: " << r.err;
  ASSERT_TRUE(r.ok()) << r.describe();
  ASSERT_TRUE(wait_end(*w, 30s).ok());
  EXPECT_EQ(read_file(box.path("wire.bin")).size(), 96u + 1000u);

  // The descriptor that connected to the witness, then every write on it
  // until it is closed (the number is used again for other files).
  std::istringstream lines(read_file(trace));
  const std::regex connect_re("connect\\((\\d+), .*htons\\(" + std::to_string(port) + "\\)");
  std::string fd, line;
  std::vector<std::string> writes;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (fd.empty() && std::regex_search(line, m, connect_re)) fd = m[1];
    if (fd.empty()) continue;
    if (line.find("close(" + fd + ")") != std::string::npos) break;
    for (const char* call : {"write(", "writev(", "sendto(", "sendmsg("})
      if (line.find(std::string(call) + fd + ",") != std::string::npos) writes.push_back(line);
  }
  ASSERT_FALSE(fd.empty()) << read_file(trace);
  ASSERT_EQ(writes.size(), 1u) << read_file(trace);
  const std::string& w1 = writes[0];
  EXPECT_NE(w1.find("writev(" + fd + ","), std::string::npos) << w1;
  std::vector<std::string> lens;
  const std::regex len_re("iov_len=(\\d+)");
  for (std::sregex_iterator it(w1.begin(), w1.end(), len_re), end; it != end; ++it) lens.push_back((*it)[1]);
  EXPECT_EQ(lens, (std::vector<std::string>{"96", "4", "498", "498"})) << w1;
  EXPECT_NE(w1.find("= 1096"), std::string::npos) << w1;
}

INSTANTIATE_TEST_SUITE_P(Builds, VectoredSyscall, testing::ValuesIn(vectored_variants()), variant_name);

// --- WebLogic messages ----------------------------------------------------------

// The back: reads one message, as a whole with one large receive ("whole")
// or in pieces ("pieces", answering 8 bytes of interim news after the first
// piece), then answers 16 bytes and closes.
const std::string kWlsBack = std::string(R"(import signal, socket, sys
signal.alarm(60)
port, how = int(sys.argv[1]), sys.argv[2]
)") + kPyListen + R"(while True:
    c, _ = s.accept()
    with c:
        if how == "whole":
            got = c.recv(65536)
        else:
            got = c.recv(10)
            c.sendall(b"I" * 8)
            need = int.from_bytes(got[:4], sys.byteorder)
            while len(got) < need:
                part = c.recv(need - len(got))
                if not part:
                    break
                got += part
        c.sendall(b"R" * 16 if got == bytes(len(got)) or len(got) > 96 else b"?" * 16)
)";

// The front: each request on its entry port makes it send one message of the
// server's protocol (length, command, "e", a body) to the back; it answers
// "ok" when the back's answer came back whole (after any interim news).
const std::string kWlsFront = std::string(R"(import signal, socket, sys
signal.alarm(60)
port, back, cmd = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
)") + kPyListen + R"(body = bytes(range(256)) * 2
msg = (6 + len(body)).to_bytes(4, sys.byteorder) + bytes([cmd]) + b"e" + body
while True:
    c, _ = s.accept()
    with c:
        c.recv(100)
        b = socket.create_connection(("127.0.0.1", back))
        b.sendall(msg)
        got = b""
        while True:
            part = b.recv(100)
            if not part:
                break
            got += part
        b.close()
        c.sendall(b"ok" if got.lstrip(b"I") == b"R" * 16 else b"bad")
)";

struct WlsCase {
  const char* name;
  int cmd;
  const char* how;               // how the back reads the message
  std::vector<std::string> events;  // start and send letters, in order
};

void PrintTo(const WlsCase& c, std::ostream* os) { *os << c.name; }

class WlsMessages : public testing::TestWithParam<WlsCase> {};

// The back parks the transaction that came in front of the message (RC) and
// takes it only once the whole message is read: its answer then carries it
// back (SC, then RC in the front, and the front's reply ends it). A one-way
// command read whole has nothing to answer with: the transaction stays parked
// and the answer carries none.
TEST_P(WlsMessages, TransactionWaitsForTheWholeMessage) {
  if (!on_path("python3")) GTEST_SKIP() << "python3 is not on PATH";
  const WlsCase& c = GetParam();
  ProbeSandbox box("weblogic");
  Bound relay(SOCK_DGRAM);
  monitored_peers(box, relay);
  const int front_port = free_port(), back_port = free_port();
  front_and_back(box, "FULL", front_port);
  OwnQueue queue(box.key(1));
  ASSERT_GE(queue.id(), 0) << strerror(errno);
  Drain drain(queue.id());

  const std::string back_py = box.write_file("wls_back.py", kWlsBack);
  const std::string front_py = box.write_file("wls_front.py", kWlsFront);
  Background* back =
      start_server(box, {"python3", back_py, std::to_string(back_port), c.how}, true, back_port);
  ASSERT_TRUE(back);
  Background* front = start_server(box,
      {"python3", front_py, std::to_string(front_port), std::to_string(back_port), std::to_string(c.cmd)},
      true, front_port);
  ASSERT_TRUE(front);
  const RunResult client = box.run_plain({"python3", "-c",
      "import socket\nc = socket.create_connection(('127.0.0.1', " + std::to_string(front_port) +
      "))\nc.sendall(b'GO')\nprint(c.recv(10).decode())"});
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "ok\n");

  drain.wait_for(c.events.size(), 5s);
  std::this_thread::sleep_for(300ms);  // anything more would show up now
  const pid_t front_pid = front->pid(), back_pid = back->pid();
  front->stop(SIGTERM);
  back->stop(SIGTERM);
  // Two processes write the queue: their records are ordered by sequence.
  std::vector<Record> records = drain.finish();
  std::sort(records.begin(), records.end(),
            [](const Record& a, const Record& b) { return std::strcmp(a.z.seq, b.z.seq) < 0; });
  std::vector<std::string> events;
  for (const Record& r : records) {
    const bool in_back = r.type == back_pid;
    events.push_back(std::string(r.type == front_pid ? "front " : in_back ? "back " : "? ") +
                     r.z.start[0] + r.z.send[0]);
    EXPECT_EQ(text(r.z.gtuid, sizeof r.z.gtuid), text(records[0].z.gtuid, sizeof r.z.gtuid));
    // The back hands the transaction on with its answer, not with the
    // interim news it wrote while the message was still coming.
    if (in_back && r.z.start[0] == 'C' && r.z.send[0] == 'S') {
      EXPECT_EQ(r.z.iosize.get(), 16u);
    }
  }
  EXPECT_EQ(events, c.events);
}

const WlsCase kWlsCases[] = {
    {"request_read_in_pieces", 1, "pieces", {"front CS", "back CR", "back CS", "front CR", "front ES"}},
    {"request_read_whole", 1, "whole", {"front CS", "back CR", "back CS", "front CR", "front ES"}},
    {"one_way_read_whole", 4, "whole", {"front CS", "back CR"}},
    {"one_way_read_in_pieces", 8, "pieces", {"front CS", "back CR", "back CS", "front CR", "front ES"}},
};

INSTANTIATE_TEST_SUITE_P(Weblogic, WlsMessages, testing::ValuesIn(kWlsCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
