// Vectored messages between preloaded processes. The JEUS build interposes
// writev and readv, the WebLogic build writev only (its hosts read with read
// and recv), so rr_peer runs with --vectored --readv under the JEUS build and
// with --vectored under the WebLogic build: the replies must come out as
// without the probe, a transaction must travel from a front to a back server
// and back with its records on the gtuid queue, and on the wire each vectored
// message must go out behind exactly one block, block and entries in one
// system call.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/tav_be.h"
#include "base/tav_mzp.h"
#include "core/tav_gtuid.h"
#include "probe_run.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

// A build that interposes writev, and the rr_peer options under which its
// hosts write (and, where the build interposes readv, read) vectored.
struct VecBuild {
  const char* build;
  Args io;
  // Whether an entry read reports the start of a transaction (RS): the
  // WebLogic build makes the identifier without a record and leaves that
  // report to the server's adapter.
  bool reports_start;
};

const VecBuild kVecBuilds[] = {
    {"jeus", {"--vectored", "--readv"}, true},
    {"weblogic", {"--vectored"}, false},
};

void PrintTo(const VecBuild& b, std::ostream* os) { *os << b.build; }

Args operator+(Args a, const Args& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Settings under which monitored peers on this host recognise each other
// (the listener's port registered in the check home), with trace logging so
// that the logs show which connections were taken as service connections.
void monitored_peers(ProbeSandbox& box, int udp_port) {
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.log.level", "0");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(udp_port));
}

// Starts a program that prints "ready <port>" once it listens on `port`.
Background* start_listening(ProbeSandbox& box, const Args& argv, bool with_probe, int port) {
  Background& b = box.start(argv, {}, with_probe);
  const std::string line = b.wait_first_line(20s);
  if (line == "ready " + std::to_string(port)) return &b;
  ADD_FAILURE() << argv[1] << " did not start (" << line << "): " << b.err();
  return nullptr;
}

// Waits up to 30 s for a program that ends by itself (signal 0 sends
// nothing); killed after that.
RunResult ended(Background& b) { return b.stop(0, 30s); }

// The number after `key` in `text`, -1 when absent.
long number_after(const std::string& text, const std::string& key) {
  const size_t at = text.find(key);
  return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size(), nullptr, 10);
}

// --- request/reply over a service connection --------------------------------

struct CallCase {
  const char* name;
  Args args;          // rounds, sizes and options of "rr_peer call"
  bool short_writes;  // the run must meet short writes
};

// One-byte bodies leave the middle entry of the writev empty; read-chunk 1
// makes every readv take one byte of the body.
const CallCase kCalls[] = {
    {"sizes_1B_to_1MiB", {"24", "1", "2", "95", "96", "97", "1000", "65536", "1048576"}, false},
    {"readv_byte_by_byte", {"12", "1", "3", "96", "97", "1000", "70000", "--read-chunk", "1"}, false},
    {"nonblocking_short_writes",
     {"10", "1", "96", "5000", "300000", "1048576", "--nonblock", "--small-buffers", "--read-chunk", "7"}, true},
};

class VectoredRoundTrip : public testing::TestWithParam<VecBuild> {};

// A preloaded client calls a preloaded server, both vectored: every reply is
// exact, the client prints what it prints against an unprobed pair, and both
// ends took every connection as a service connection.
TEST_P(VectoredRoundTrip, RepliesMatchAnUnprobedRun) {
  const VecBuild& vb = GetParam();
  ProbeSandbox box(vb.build);
  Bound udp(SOCK_DGRAM);
  monitored_peers(box, udp.port);
  const int p1 = free_port(), p2 = free_port();
  const std::string plain_port = std::to_string(p1), probed_port = std::to_string(p2);
  ASSERT_TRUE(start_listening(box, Args{RR_PEER_BIN, "serve", plain_port} + vb.io, false, p1));
  Background* server = start_listening(box, Args{RR_PEER_BIN, "serve", probed_port} + vb.io, true, p2);
  ASSERT_TRUE(server);

  for (const CallCase& c : kCalls) {
    SCOPED_TRACE(c.name);
    const RunResult plain = box.run_plain(Args{RR_PEER_BIN, "call", "127.0.0.1", plain_port} + c.args + vb.io,
                                          {.timeout = 120s});
    ASSERT_TRUE(plain.ok()) << "without the probe: " << plain.describe();
    ASSERT_NE(plain.out.find(" ok\n"), std::string::npos) << plain.out;
    const RunResult probed =
        box.run(Args{RR_PEER_BIN, "call", "127.0.0.1", probed_port} + c.args + vb.io, {.timeout = 120s});
    EXPECT_TRUE(probed.ok()) << "with " << vb.build << ": " << probed.describe();
    EXPECT_EQ(probed.out, plain.out);
    if (c.short_writes) {
      EXPECT_GT(number_after(probed.err, "short-writes "), 0) << probed.err;
    }
  }
  EXPECT_TRUE(server->running()) << server->err();
  const std::string logs = probe_logs(box.log_dir());
  EXPECT_EQ(occurrences(logs, "connect. (127.0.0.1:" + probed_port + ") qel service set"), std::size(kCalls))
      << logs;
  EXPECT_EQ(occurrences(logs, "accept. qel service set"), std::size(kCalls)) << logs;
}

INSTANTIATE_TEST_SUITE_P(Builds, VectoredRoundTrip, testing::ValuesIn(kVecBuilds),
                         [](const auto& info) { return std::string(info.param.build); });

// --- one transaction from a front to a back server ----------------------------

struct ModeCase {
  const char* name;
  const char* mode;  // qel.mode
};

const ModeCase kModes[] = {{"full", "FULL"}, {"half", "HALF"}};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.name; }

std::string text(const char* field, size_t cap) { return std::string(field, strnlen(field, cap)); }

// Everything on the queue now, without waiting.
std::vector<mzp1_t> take_all(int queue) {
  std::vector<mzp1_t> out;
  for (;;) {
    mzp1_t z{};
    const ssize_t n = msgrcv(queue, &z, sizeof z - sizeof z.type, 0, IPC_NOWAIT | MSG_NOERROR);
    if (n < 0) return out;
    EXPECT_EQ(static_cast<size_t>(n), sizeof z - sizeof z.type) << "not a type-1 record";
    out.push_back(z);
  }
}

class VectoredTransaction : public testing::TestWithParam<std::tuple<VecBuild, ModeCase>> {};

// An unmonitored client sends requests to a front server whose port is an
// entry (START); the front forwards each over a service connection to a back
// server and answers with the back's answer, both servers writing vectored
// (and reading with readv where the build interposes it). The client checks
// both hops of every reply, so both hosts read their data unchanged. Each
// request is one transaction: the front starts it, its call hands it to the
// back, the back takes it over (same identifier; the back's records follow
// the front's in sequence), the back's answer hands it back and the front's
// reply ends it. FULL: RS, SC, RC (back), SC (back), RC, SE; HALF: only the
// sends report: SC, SC (back), SE. Where the build leaves the start to the
// adapter, FULL lacks the RS record (sequence 0).
TEST_P(VectoredTransaction, FrontToBackAndBack) {
  const auto& [vb, mode] = GetParam();
  ProbeSandbox box(vb.build);
  Bound udp(SOCK_DGRAM);
  monitored_peers(box, udp.port);
  const int front_port = free_port(), back_port = free_port();
  box.add_setting("qel.mode", mode.mode);
  box.add_setting("qel.gtuid.send.type", "QUEUE");
  box.add_setting("qel.gtuid.queue.count", "1");
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(front_port) + ":START");
  // The sandbox removes the queue with its key range.
  const int queue = msgget(box.key(1), IPC_CREAT | 0666);
  ASSERT_GE(queue, 0) << strerror(errno);

  Background* back = start_listening(box, Args{RR_PEER_BIN, "serve", std::to_string(back_port)} + vb.io, true,
                                     back_port);
  ASSERT_TRUE(back);
  Background* front = start_listening(
      box,
      Args{RR_PEER_BIN, "serve", std::to_string(front_port), "--forward", "127.0.0.1:" + std::to_string(back_port)} +
          vb.io,
      true, front_port);
  ASSERT_TRUE(front);
  // At most 3 x 6 records of 288 bytes: the queue (about 16 KiB) holds them
  // all, so it is read once the run is over.
  const std::vector<size_t> sizes{1, 1000, 70000};
  Args call{RR_PEER_BIN, "call", "127.0.0.1", std::to_string(front_port), std::to_string(sizes.size())};
  for (size_t s : sizes) call.push_back(std::to_string(s));
  const RunResult client = box.run_plain(call + Args{"--hops", "2"} + vb.io);
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_NE(client.out.find(" ok\n"), std::string::npos) << client.out;

  const bool full = std::string(mode.mode) == "FULL";
  struct Step {
    bool in_front;
    char start, send;
  };
  std::vector<Step> expected =
      full ? std::vector<Step>{{true, 'S', 'R'}, {true, 'C', 'S'}, {false, 'C', 'R'},
                               {false, 'C', 'S'}, {true, 'C', 'R'}, {true, 'E', 'S'}}
           : std::vector<Step>{{true, 'C', 'S'}, {false, 'C', 'S'}, {true, 'E', 'S'}};
  const size_t unreported = full && !vb.reports_start ? 1 : 0;
  expected.erase(expected.begin(), expected.begin() + static_cast<long>(unreported));
  std::vector<mzp1_t> records;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (records.size() < expected.size() * sizes.size() && std::chrono::steady_clock::now() < deadline) {
    const std::vector<mzp1_t> more = take_all(queue);
    records.insert(records.end(), more.begin(), more.end());
    std::this_thread::sleep_for(10ms);
  }
  std::this_thread::sleep_for(200ms);  // anything more would show up now
  const pid_t front_pid = front->pid(), back_pid = back->pid();
  front->stop(SIGTERM);
  back->stop(SIGTERM);
  const std::vector<mzp1_t> late = take_all(queue);
  records.insert(records.end(), late.begin(), late.end());

  // All records, one line each, for the failure messages.
  std::string listing;
  for (const mzp1_t& z : records)
    listing += std::string(z.type == front_pid ? "front " : "back  ") + text(z.gtuid, sizeof z.gtuid) + " " +
               text(z.seq, sizeof z.seq) + " " + z.start[0] + z.send[0] + " iosize " +
               std::to_string(z.iosize.get()) + "\n";

  // One group of records per identifier, in the order they first appear.
  std::vector<std::string> order;
  std::map<std::string, std::vector<mzp1_t>> by_id;
  for (const mzp1_t& z : records) {
    ASSERT_TRUE(z.type == front_pid || z.type == back_pid) << "record of pid " << z.type;
    const std::string id = text(z.gtuid, sizeof z.gtuid);
    ASSERT_EQ(id.size(), 22u) << id;
    ASSERT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
    if (!by_id.count(id)) order.push_back(id);
    by_id[id].push_back(z);
  }
  ASSERT_EQ(order.size(), sizes.size()) << "one identifier per request:\n" << listing;

  for (size_t t = 0; t < order.size(); ++t) {
    SCOPED_TRACE("transaction " + std::to_string(t) + " " + order[t]);
    std::vector<mzp1_t> steps = by_id[order[t]];
    std::sort(steps.begin(), steps.end(), [](const mzp1_t& a, const mzp1_t& b) { return strcmp(a.seq, b.seq) < 0; });
    ASSERT_EQ(steps.size(), expected.size()) << listing;
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i));
      char seq[24];
      snprintf(seq, sizeof seq, "%05zu", i + unreported);
      EXPECT_EQ(text(steps[i].seq, sizeof steps[i].seq), seq);
      EXPECT_EQ(steps[i].type, expected[i].in_front ? front_pid : back_pid);
      EXPECT_EQ(steps[i].start[0], expected[i].start);
      EXPECT_EQ(steps[i].send[0], expected[i].send);
    }
    // The front's vectored call names the back and the size of the whole
    // message (length field and both halves), and the back saw that block.
    const size_t call_at = full ? 1 - unreported : 0;
    const mzp1_t& call_out = steps[call_at];
    EXPECT_EQ(call_out.port.get(), static_cast<uint32_t>(back_port));
    EXPECT_EQ(call_out.iosize.get(), 4 + sizes[t]);
    if (full) {
      EXPECT_EQ(steps[call_at + 1].iosize.get(), 4 + sizes[t]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, VectoredTransaction,
                         testing::Combine(testing::ValuesIn(kVecBuilds), testing::ValuesIn(kModes)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).build) + "_" + std::get<1>(info.param).name;
                         });

// --- the wire as a plain witness sees it -------------------------------------

struct WireCase {
  const char* name;
  Args call_args;    // rounds and sizes of "rr_peer call --send-only"
  Args listen_args;  // options of "rr_peer raw-listen"
  bool short_writes;
};

// The body of 996 bytes makes a message of 1000. The witness that waits
// before reading makes large writes on small buffers stop short: the rest of
// each message must follow without a block of its own.
const WireCase kWires[] = {
    {"one_message_of_1000_bytes", {"1", "996"}, {}, false},
    {"nonblocking_short_writes", {"8", "1", "96", "5000", "1048576", "--nonblock", "--small-buffers"},
     {"--delay-ms", "300"}, true},
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class VectoredWire : public testing::TestWithParam<std::tuple<VecBuild, WireCase>> {};

// Every vectored message of a preloaded client goes out as one 96-byte block
// (marker, gflag 0 or 1, identifier digits, pck = the message's length)
// followed by exactly the bytes the client wrote, as an unprobed run of the
// same client shows them.
TEST_P(VectoredWire, EveryMessageBehindOneBlock) {
  const auto& [vb, c] = GetParam();
  ProbeSandbox box(vb.build);
  Bound udp(SOCK_DGRAM);
  monitored_peers(box, udp.port);
  const Args client_args = c.call_args + Args{"--vectored", "--send-only"};

  const int p1 = free_port(), p2 = free_port();
  const std::string plain_file = box.path("plain.bin"), framed_file = box.path("framed.bin");
  Background* w1 = start_listening(box, Args{RR_PEER_BIN, "raw-listen", std::to_string(p1), plain_file} + c.listen_args,
                                   false, p1);
  ASSERT_TRUE(w1);
  const RunResult plain = box.run_plain(Args{RR_PEER_BIN, "call", "127.0.0.1", std::to_string(p1)} + client_args);
  ASSERT_TRUE(plain.ok()) << plain.describe();
  ASSERT_TRUE(ended(*w1).ok());

  // The same client preloaded; the witness's port is listed as a service.
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(p2) + ":SERVICE");
  Background* w2 = start_listening(
      box, Args{RR_PEER_BIN, "raw-listen", std::to_string(p2), framed_file} + c.listen_args, false, p2);
  ASSERT_TRUE(w2);
  const RunResult probed = box.run(Args{RR_PEER_BIN, "call", "127.0.0.1", std::to_string(p2)} + client_args);
  ASSERT_TRUE(probed.ok()) << probed.describe();
  EXPECT_EQ(probed.out, plain.out);
  if (c.short_writes) {
    EXPECT_GT(number_after(probed.err, "short-writes "), 0) << probed.err;
  }
  ASSERT_TRUE(ended(*w2).ok());

  const std::string want = read_file(plain_file);
  const std::string wire = read_file(framed_file);
  ASSERT_FALSE(want.empty());
  size_t at = 0, msg = 0;
  std::vector<uint32_t> pcks;
  while (at < wire.size()) {
    SCOPED_TRACE("message " + std::to_string(pcks.size()) + " at wire offset " + std::to_string(at));
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
    pcks.push_back(blk.pck.get());
    at += sizeof blk + len;
    msg += len;
  }
  EXPECT_EQ(msg, want.size());
  EXPECT_EQ(pcks.size(), std::stoul(c.call_args[0]));
  if (std::string(c.name) == "one_message_of_1000_bytes") {
    EXPECT_EQ(pcks, std::vector<uint32_t>{1000});
    EXPECT_EQ(wire.size(), 96u + 1000u);
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, VectoredWire, testing::Combine(testing::ValuesIn(kVecBuilds), testing::ValuesIn(kWires)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).build) + "_" + std::get<1>(info.param).name;
                         });

// The block and the three entries of a vectored message leave in a single
// writev: strace of the preloaded client shows, on the connected socket, one
// call and no other write, with the entries 96 (block), 4, 498 and 498 bytes
// and all 1096 bytes taken.
class VectoredSyscall : public testing::TestWithParam<VecBuild> {};

TEST_P(VectoredSyscall, BlockAndEntriesInOneWritev) {
  const VecBuild& vb = GetParam();
  if (!on_path("strace")) GTEST_SKIP() << "strace is not on PATH";
  ProbeSandbox box(vb.build);
  Bound udp(SOCK_DGRAM);
  monitored_peers(box, udp.port);
  const int port = free_port();
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(port) + ":SERVICE");
  Background* w = start_listening(box, {RR_PEER_BIN, "raw-listen", std::to_string(port), box.path("wire.bin")},
                                  false, port);
  ASSERT_TRUE(w);
  const std::string trace = box.path("strace.txt");
  // strace itself runs without the probe; only the traced client gets it.
  const RunResult r = box.run_plain({"strace", "-f", "-qq", "-o", trace, "-e",
                                     "trace=connect,close,write,writev,sendto,sendmsg", "-E",
                                     "LD_PRELOAD=" + box.library(), RR_PEER_BIN, "call", "127.0.0.1",
                                     std::to_string(port), "1", "996", "--vectored", "--send-only"});
  if (!r.ok() && r.err.find("ptrace") != std::string::npos) GTEST_SKIP() << "ptrace not permitted: " << r.err;
  ASSERT_TRUE(r.ok()) << r.describe();
  ASSERT_TRUE(ended(*w).ok());
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

INSTANTIATE_TEST_SUITE_P(Builds, VectoredSyscall, testing::ValuesIn(kVecBuilds),
                         [](const auto& info) { return std::string(info.param.build); });

}  // namespace
}  // namespace qel::test
