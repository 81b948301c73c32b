// Socket loops, connect, address and port checks. Network traffic stays on
// the loopback interface.
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_real.h"
#include "base/tav_util.h"

namespace {

TEST(PortCheck, OneToSixDigits) {
  const struct {
    const char* text;
    int rc;
  } cases[] = {
      {"1", 0},         {"8080", 0},      {"999999", 0},  // range is the caller's business
      {"000000", 0},    {"1234567", -136}, {"12a", -143},  {" 80", -143},
      {"-1", -143},     {"", -131},        {nullptr, -131}, {"abcdefg", -136},
  };
  for (const auto& c : cases) EXPECT_EQ(tav_port_check(c.text), c.rc) << (c.text ? c.text : "NULL");
}

TEST(IpCheck, DottedQuadOrLocalPath) {
  const struct {
    const char* text;
    int rc;
  } cases[] = {
      {"1.2.3.4", 0},
      {"255.255.255.255", 0},
      {"0.0.0.0", 0},
      {"127.000.0.1", 0},
      {"/tmp/sock", 0},
      {"/a/very/long/path/to/a/local/socket", 0},
      {"256.1.1.1", -114},
      {"1.2.3.999", -114},
      {"1.2.3", -109},
      {"1.2.3.4.5", -109},
      {"1..3.4", -109},
      {"1.2.3.", -109},
      {".1.2.3", -109},
      {"1.2.3.4a", -109},
      {"a.b.c.d", -109},
      {" 1.2.3.4", -109},
      {"1.2.3.4 ", -109},
      {"1.2.3.-4", -109},
      {"1000.2.3.4", -114},
      {"1.2.3.4567890123", -109},  // 16 characters
      {"0001.0002.0003.4", -109},  // 16 characters
      {"", -99},
      {nullptr, -99},
  };
  for (const auto& c : cases) EXPECT_EQ(tav_ip_check(c.text), c.rc) << (c.text ? c.text : "NULL");
}

TEST(HostByName, NumericAndLocalNames) {
  char out[16];  // exactly the documented size
  ASSERT_EQ(tav_gethostbyname("127.0.0.1", out), 0);
  EXPECT_STREQ(out, "127.0.0.1");
  ASSERT_EQ(tav_gethostbyname("255.255.255.255", out), 0);
  EXPECT_STREQ(out, "255.255.255.255");
  ASSERT_EQ(tav_gethostbyname("localhost", out), 0);  // from the hosts file
  EXPECT_EQ(std::string(out).rfind("127.", 0), 0u) << out;
  EXPECT_EQ(tav_gethostbyname(nullptr, out), -1);
  EXPECT_EQ(tav_gethostbyname("", out), -1);
  EXPECT_EQ(tav_gethostbyname("127.0.0.1", nullptr), -1);
}

// ---- scripted real calls -------------------------------------------------

struct Step {
  ssize_t rc;  // > 0: that many bytes; 0; -1 with err
  int err;
};
struct Seen {
  size_t offset;
  size_t len;
};

const char* g_base;
std::vector<Step> g_script;
size_t g_next;
std::vector<Seen> g_seen;

ssize_t scripted(const void* buf, size_t n) {
  g_seen.push_back({static_cast<size_t>(static_cast<const char*>(buf) - g_base), n});
  if (g_next >= g_script.size()) {
    ADD_FAILURE() << "call beyond the script";
    errno = EIO;
    return -1;
  }
  Step s = g_script[g_next++];
  if (s.rc < 0) errno = s.err;
  return s.rc > static_cast<ssize_t>(n) ? static_cast<ssize_t>(n) : s.rc;
}
ssize_t fake_write(int, const void* buf, size_t n) { return scripted(buf, n); }
ssize_t fake_read(int, void* buf, size_t n) { return scripted(buf, n); }

// Points the real-call table at the script for the lifetime of the guard.
class Scripted {
 public:
  Scripted(const char* base, std::vector<Step> script)
      : saved_read_(f_read), saved_write_(f_write) {
    g_base = base;
    g_script = std::move(script);
    g_next = 0;
    g_seen.clear();
    f_read = fake_read;
    f_write = fake_write;
  }
  ~Scripted() {
    f_read = saved_read_;
    f_write = saved_write_;
  }

 private:
  ssize_t (*saved_read_)(int, void*, size_t);
  ssize_t (*saved_write_)(int, const void*, size_t);
};

enum class Fn { kRead, kWrite2, kWrite };

struct LoopCase {
  const char* name;
  Fn fn;
  int n;
  std::vector<Step> script;
  int result;
  std::vector<size_t> offsets;  // where each call started in the buffer
};

TEST(SocketLoops, ScriptedPartialAndFailingCalls) {
  const LoopCase cases[] = {
      {"read all at once", Fn::kRead, 10, {{10, 0}}, 10, {0}},
      {"read in pieces", Fn::kRead, 10, {{3, 0}, {4, 0}, {3, 0}}, 10, {0, 3, 7}},
      {"read retries EINTR", Fn::kRead, 5, {{-1, EINTR}, {2, 0}, {-1, EINTR}, {3, 0}}, 5, {0, 0, 2, 2}},
      {"read stops at peer close", Fn::kRead, 10, {{4, 0}, {0, 0}}, 4, {0, 4}},
      {"read stops at error", Fn::kRead, 10, {{4, 0}, {-1, EAGAIN}}, 4, {0, 4}},
      {"read fails at once", Fn::kRead, 10, {{-1, ECONNRESET}}, 0, {0}},
      {"write2 in pieces", Fn::kWrite2, 10, {{6, 0}, {4, 0}}, 10, {0, 6}},
      {"write2 retries EINTR", Fn::kWrite2, 4, {{-1, EINTR}, {4, 0}}, 4, {0, 0}},
      {"write2 stops at zero", Fn::kWrite2, 10, {{6, 0}, {0, 0}}, 6, {0, 6}},
      {"write2 stops at error", Fn::kWrite2, 10, {{6, 0}, {-1, EPIPE}}, 6, {0, 6}},
      {"nwrite 96 bytes in one write", Fn::kWrite, 96, {{96, 0}}, 96, {0}},
      {"nwrite whole payload", Fn::kWrite, 200, {{200, 0}}, 200, {0}},
      {"nwrite stops past the record", Fn::kWrite, 200, {{50, 0}, {40, 0}, {10, 0}}, 100, {0, 50, 90}},
      {"nwrite record then one more", Fn::kWrite, 200, {{96, 0}, {1, 0}}, 97, {0, 96}},
      {"nwrite short payload to the end", Fn::kWrite, 50, {{20, 0}, {30, 0}}, 50, {0, 20}},
      {"nwrite busy-retries EAGAIN", Fn::kWrite, 200, {{60, 0}, {-1, EAGAIN}, {-1, EAGAIN}, {40, 0}}, 100, {0, 60, 60, 60}},
      {"nwrite other error keeps count", Fn::kWrite, 200, {{60, 0}, {-1, EPIPE}}, 60, {0, 60}},
      {"nwrite EINTR ends the loop", Fn::kWrite, 200, {{60, 0}, {-1, EINTR}}, 60, {0, 60}},
      {"nwrite zero ends the loop", Fn::kWrite, 200, {{60, 0}, {0, 0}}, 60, {0, 60}},
      {"nwrite first write fails", Fn::kWrite, 200, {{-1, EAGAIN}}, -1, {0}},
      {"nwrite first write writes nothing", Fn::kWrite, 200, {{0, 0}}, 0, {0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<char> buf(static_cast<size_t>(c.n), 'x');
    int rc;
    {
      Scripted guard(buf.data(), c.script);
      switch (c.fn) {
        case Fn::kRead: rc = tav_sck_nread(7, buf.data(), c.n); break;
        case Fn::kWrite2: rc = tav_sck_nwrite2(7, buf.data(), c.n); break;
        default: rc = tav_sck_nwrite(7, buf.data(), c.n); break;
      }
    }
    EXPECT_EQ(rc, c.result);
    EXPECT_EQ(g_next, c.script.size()) << "not every scripted call was made";
    std::vector<size_t> offsets;
    for (size_t i = 0; i < g_seen.size(); ++i) {
      offsets.push_back(g_seen[i].offset);
      EXPECT_EQ(g_seen[i].offset + g_seen[i].len, static_cast<size_t>(c.n)) << "call " << i;
    }
    EXPECT_EQ(offsets, c.offsets);
  }
}

// ---- real sockets ---------------------------------------------------------

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct Pair {
  Fd a, b;
  Pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0) {
      a.fd = sv[0];
      b.fd = sv[1];
    }
  }
};

TEST(SocketLoops, SocketPairTransfers) {
  Pair p;
  ASSERT_GE(p.a.fd, 0);
  const char msg[] = "hello, loopback";
  const int len = static_cast<int>(sizeof msg - 1);
  EXPECT_EQ(tav_sck_nwrite2(p.a.fd, msg, len), len);
  char got[64] = {};
  EXPECT_EQ(tav_sck_nread(p.b.fd, got, len), len);
  EXPECT_STREQ(got, msg);

  // 96-byte record on a socket with room for it: one write, all of it.
  std::vector<char> rec(96, 'r');
  EXPECT_EQ(tav_sck_nwrite(p.a.fd, rec.data(), 96), 96);
  std::vector<char> back(96);
  EXPECT_EQ(tav_sck_nread(p.b.fd, back.data(), 96), 96);
  EXPECT_EQ(back, rec);

  // Peer closes after part of the data: the read returns what arrived.
  EXPECT_EQ(tav_sck_nwrite2(p.a.fd, "abc", 3), 3);
  p.a.reset();
  EXPECT_EQ(tav_sck_nread(p.b.fd, got, 10), 3);
  EXPECT_EQ(tav_sck_nread(p.b.fd, got, 10), 0);
}

TEST(SocketLoops, LargeWriteAgainstAConcurrentReader) {
  Pair p;
  ASSERT_GE(p.a.fd, 0);
  const int n = 4 << 20;  // far beyond the socket buffer
  std::vector<char> out(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out[static_cast<size_t>(i)] = static_cast<char>(i * 7);
  std::vector<char> in(static_cast<size_t>(n));
  int got = -1;
  std::thread reader([&] { got = tav_sck_nread(p.b.fd, in.data(), n); });
  int put = tav_sck_nwrite2(p.a.fd, out.data(), n);
  reader.join();
  EXPECT_EQ(put, n);
  EXPECT_EQ(got, n);
  EXPECT_TRUE(in == out);
}

TEST(SocketLoops, EmptyNonBlockingAndClosedPeer) {
  Pair p;
  ASSERT_GE(p.a.fd, 0);
  ASSERT_EQ(fcntl(p.b.fd, F_SETFL, O_NONBLOCK), 0);
  char buf[8];
  EXPECT_EQ(tav_sck_nread(p.b.fd, buf, sizeof buf), 0);  // EAGAIN ends the loop

  auto old = signal(SIGPIPE, SIG_IGN);
  p.b.reset();
  EXPECT_EQ(tav_sck_nwrite2(p.a.fd, "abc", 3), 0);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(tav_sck_nwrite(p.a.fd, "abc", 3), -1);
  signal(SIGPIPE, old);
  EXPECT_EQ(tav_sck_nread(-1, buf, sizeof buf), 0);
}

// A TCP socket bound to an ephemeral port of 127.0.0.1; listening if asked.
struct Loopback {
  Fd sock;
  int port = 0;
  explicit Loopback(bool listening, int backlog = 16) {
    sock.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (sock.fd < 0) return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(sock.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (listening && listen(sock.fd, backlog) != 0) ||
        getsockname(sock.fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      return;
    port = ntohs(a.sin_port);
  }
};

TEST(SocketConnect, ConnectsToAListenerAndRestoresBlockingMode) {
  Loopback srv(true);
  ASSERT_NE(srv.port, 0);
  Fd c(tav_sck_connect("127.0.0.1", srv.port, 500000));
  ASSERT_GE(c.fd, 0);
  EXPECT_EQ(fcntl(c.fd, F_GETFL) & O_NONBLOCK, 0);
  Fd peer(accept(srv.sock.fd, nullptr, nullptr));
  ASSERT_GE(peer.fd, 0);
  EXPECT_EQ(tav_sck_nwrite2(c.fd, "ping", 4), 4);
  char buf[4];
  EXPECT_EQ(tav_sck_nread(peer.fd, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
}

TEST(SocketConnect, FailureCodes) {
  Loopback bound(false);  // bound but not listening: the connection is refused
  ASSERT_NE(bound.port, 0);
  const struct {
    const char* ip;
    int port;
    int rc;
  } cases[] = {
      {"127.0.0.1", bound.port, -82},
      {"1.2.3", bound.port, -82},  // not an address: nothing to connect to
      {nullptr, bound.port, -82},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip ? c.ip : "NULL");
    int lowest = open("/dev/null", O_RDONLY);  // lowest free descriptor
    ASSERT_GE(lowest, 0);
    close(lowest);
    EXPECT_EQ(tav_sck_connect(c.ip, c.port, 200000), c.rc);
    // A socket made for the attempt was closed again.
    int again = open("/dev/null", O_RDONLY);
    EXPECT_EQ(again, lowest);
    close(again);
  }
}

TEST(SocketConnect, TimesOutWhenTheListenerDropsConnections) {
  Loopback srv(true, 0);
  ASSERT_NE(srv.port, 0);
  // Fill the accept queue; once full, further handshakes stall and the
  // connect must give up after its time-out.
  std::vector<Fd> held;
  for (int i = 0; i < 16; ++i) {
    auto start = std::chrono::steady_clock::now();
    int rc = tav_sck_connect("127.0.0.1", srv.port, 50000);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start).count();
    if (rc >= 0) {
      held.emplace_back(rc);
      continue;
    }
    EXPECT_EQ(rc, -65);
    EXPECT_GE(ms, 45);
    EXPECT_LT(ms, 1000);
    return;
  }
  GTEST_SKIP() << "this kernel kept accepting connections; no time-out to observe";
}

}  // namespace
