// WebtoB build, through the overrides linked into this program: an HTTP
// handler's requests and answers carry their transaction; header lines that
// name no waiting request, answers queued behind each other, small buffers
// and short writes keep every byte where it belongs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/tav_ipinfo.h"
#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "handler_fixture.h"
#include "tcp_pair.h"
#include "wire_reads.h"

#if defined(TAV_BUILD_WEBTOB)
#include "servers/webtob/tav_webtob.h"
#include "servers/webtob/tav_webtob_io.h"

namespace {

constexpr size_t kHead = 96;

// What has arrived on `fd` so far, without waiting.
std::string arrived(int fd) {
  std::string s;
  char buf[65536];
  for (ssize_t k; (k = tav::real::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;) s.append(buf, static_cast<size_t>(k));
  return s;
}

std::string read_file(const std::string& path) {
  const int fd = tav::real::open(path.c_str(), O_RDONLY, 0);
  std::string s = fd >= 0 ? wire(fd, 64) : std::string("(unreadable)");
  if (fd >= 0) tav::real::close(fd);
  return s;
}

std::string bytes_of(const gtuid_t& b) { return std::string(reinterpret_cast<const char*>(&b), sizeof b); }

// The service's 96-byte header in front of `len` bytes.
std::string head_for(size_t len) {
  std::string h(kHead, '\0');
  memcpy(&h[0], "\x90\x35\x20\x82", 4);
  const int32_t n = static_cast<int32_t>(len);
  memcpy(&h[84], &n, 4);
  return h;
}

int32_t length_in(const std::string& s) { return tav::host_int32(s.data() + 84); }

std::string answer(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class WebtobHandler : public HandlerFixture<&tav_webtob_proc, TAV_WEBTOB_HTH, tav::webtob::make_records> {
 protected:
  // A client's request read by the handler, and passed on to the service:
  // returns the block that went with it.
  gtuid_t pass_request(const std::string& request) {
    EXPECT_EQ(tav::real::write(entry_.client, request.data(), request.size()),
              static_cast<ssize_t>(request.size()));
    char buf[4096];
    const ssize_t k = ::read(entry_.server, buf, sizeof buf);
    EXPECT_GT(k, 0);
    const std::string got(buf, static_cast<size_t>(std::max<ssize_t>(k, 0)));
    const std::string out = head_for(got.size()) + got;
    EXPECT_EQ(::write(service_.client, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    const std::string w = wire(service_.server, kHead + out.size());
    EXPECT_EQ(w.substr(std::min(w.size(), kHead)), out);
    return block_of(w);
  }
  // The service's answer behind the block `b` (the transaction it hands back).
  void service_answers(gtuid_t b, const std::string& a) {
    const std::string msg = head_for(a.size()) + a;
    b.pck = static_cast<uint32_t>(msg.size());
    const std::string framed = bytes_of(b) + msg;
    ASSERT_EQ(tav::real::write(service_.server, framed.data(), framed.size()), static_cast<ssize_t>(framed.size()));
  }
  std::string trace_line() const {
    char line[64];
    snprintf(line, sizeof line, "Korvath-Elmira-Tracekey: %04d\r\n", entry_.server);
    return line;
  }
};

// The request gets the header line behind its first line and takes its
// transaction to the service; the answer comes back with the block behind
// it, which the write to the client takes off again and counts as written.
TEST_F(WebtobHandler, RequestAndAnswerCarryTheTransaction) {
  const std::string request = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(tav::real::write(entry_.client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char buf[4096];
  const ssize_t k = ::read(entry_.server, buf, sizeof buf);
  const std::string got(buf, static_cast<size_t>(k));
  EXPECT_EQ(got, "GET /a HTTP/1.1\r\n" + trace_line() + "Host: h\r\n\r\n");
  EXPECT_EQ(m_->gtuid.gflag, 0) << "the transaction waits in the client's record";
  const gtuid_t started = en_webtob_gtuid[entry_.server].gtuid;
  EXPECT_EQ(en_webtob_gtuid[entry_.server].rbyte, 1);

  const std::string out = head_for(got.size()) + got;
  ASSERT_EQ(::write(service_.client, out.data(), out.size()), static_cast<ssize_t>(out.size()));
  const gtuid_t sent = block_of(wire(service_.server, kHead + out.size()));
  EXPECT_EQ(sent.gflag, 1);
  EXPECT_EQ(memcmp(sent.gtuid, started.gtuid, sizeof sent.gtuid), 0);
  EXPECT_EQ(en_webtob_gtuid[entry_.server].rbyte, 0);

  const std::string a = answer("hello\n");
  service_answers(sent, a);
  ASSERT_EQ(::read(service_.client, buf, sizeof buf), static_cast<ssize_t>(kHead + a.size() + kHead));
  const std::string back(buf, kHead + a.size() + kHead);
  EXPECT_EQ(length_in(back), static_cast<int32_t>(a.size() + kHead)) << "the answer grows by its block";
  EXPECT_EQ(back.substr(kHead, a.size()), a);
  EXPECT_EQ(block_of(back, kHead + a.size()).gflag, 1);

  const std::string to_client = back.substr(kHead);
  ASSERT_EQ(::write(entry_.server, to_client.data(), to_client.size()), static_cast<ssize_t>(to_client.size()));
  EXPECT_EQ(wire(entry_.client, a.size()), a);
  EXPECT_TRUE(nothing_more(entry_.client)) << "no block bytes reach the client";
  EXPECT_EQ(m_->gtuid.gflag, 0) << "the answer ended the transaction";
  EXPECT_EQ(tav_webtob_hth_gtuid, 1);
}

// Where the buffer has no room for the header line, the request passes as
// it came and starts nothing.
TEST_F(WebtobHandler, RequestWithoutRoomPassesUnchanged) {
  const std::string request = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
  ASSERT_EQ(tav::real::write(entry_.client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char buf[4096];
  ASSERT_EQ(::read(entry_.server, buf, request.size() + 95), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(std::string(buf, request.size()), request);
  EXPECT_EQ(en_webtob_gtuid[entry_.server].rbyte, 0);
  EXPECT_EQ(m_->gtuid.gflag, 0);
}

// A header line that names no request waiting in this process (bytes from a
// client can carry any such line) loads nothing, while a client's request
// waits; its own line then takes it on, once.
TEST_F(WebtobHandler, TraceKeyNamingNoWaitingRequestIsIgnored) {
  const std::string request = "GET /a HTTP/1.1\r\n\r\n";
  ASSERT_EQ(tav::real::write(entry_.client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char buf[4096];
  ASSERT_GT(::read(entry_.server, buf, sizeof buf), 0);
  ASSERT_EQ(en_webtob_gtuid[entry_.server].rbyte, 1) << "the request waits";
  char padded[32], own[32];  // ten digits whose first nine are the waiting client's number; four
  snprintf(padded, sizeof padded, "%09d1", entry_.server);
  snprintf(own, sizeof own, "%04d", entry_.server);
  const char* numbers[] = {"99999999999", "-1", "abcd", "", "0", padded, own, own};
  for (size_t i = 0; i < std::size(numbers); ++i) {
    SCOPED_TRACE(numbers[i]);
    const std::string req = "GET / HTTP/1.1\r\nKorvath-Elmira-Tracekey: " + std::string(numbers[i]) + "\r\n\r\n";
    const std::string out = head_for(req.size()) + req;
    ASSERT_EQ(::write(service_.client, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    const std::string w = wire(service_.server, kHead + out.size());
    // Only the first write with the client's own number takes its transaction.
    EXPECT_EQ(block_of(w).gflag, i == 6 ? 1 : 0);
    EXPECT_EQ(w.substr(kHead), out);
    EXPECT_EQ(m_->gtuid.gflag, 0);
  }
}

// The trace key is the library's only where the request read put it, right
// after the request line: the same line sent by the client further down
// names nothing, and the request still waits for its own.
TEST_F(WebtobHandler, TraceKeyAfterOtherHeaderLinesIsTheClients) {
  const std::string request = "GET /a HTTP/1.1\r\n\r\n";
  ASSERT_EQ(tav::real::write(entry_.client, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  char buf[4096];
  ASSERT_GT(::read(entry_.server, buf, sizeof buf), 0);
  char own[32];
  snprintf(own, sizeof own, "%04d", entry_.server);
  const std::string key = std::string("Korvath-Elmira-Tracekey: ") + own + "\r\n";
  const std::string forged = "GET / HTTP/1.1\r\nHost: x\r\n" + key + "\r\n";
  const std::string ours = "GET / HTTP/1.1\r\n" + key + "\r\n";
  const struct {
    std::string req;
    int gflag;
  } cases[] = {{forged, 0}, {ours, 1}};
  for (const auto& [req, gflag] : cases) {
    SCOPED_TRACE(req);
    const std::string out = head_for(req.size()) + req;
    ASSERT_EQ(::write(service_.client, out.data(), out.size()), static_cast<ssize_t>(out.size()));
    const std::string w = wire(service_.server, kHead + out.size());
    EXPECT_EQ(block_of(w).gflag, gflag);
    EXPECT_EQ(w.substr(kHead), out);
  }
}

// An answer read header first gets the header line at its start, where its
// length was grown for it; bytes further in that happen to start with
// "HTTP" are left alone, and an answer without a transaction gets nothing.
TEST_F(WebtobHandler, AnswerLineOnlyAtTheStartOfAGrownAnswer) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\n";
  const std::string a = head + "HTTP body\r\nline two ok!!";
  for (bool with_transaction : {true, false}) {
    SCOPED_TRACE(with_transaction ? "with a transaction" : "without");
    gtuid_t b = pass_request("GET /a HTTP/1.1\r\n\r\n");
    if (!with_transaction) b.gflag = 0;
    service_answers(b, a);
    char buf[4096];
    ASSERT_EQ(::read(service_.client, buf, kHead), static_cast<ssize_t>(kHead));
    const int32_t len = length_in(std::string(buf, kHead));
    EXPECT_EQ(len, static_cast<int32_t>(a.size() + (with_transaction ? kHead : 0)));
    // A buffer with room for the head of the answer and the line: with a
    // transaction the read stops where the line still fits.
    const ssize_t first = ::read(service_.client, buf, head.size() + kHead);
    const std::string got(buf, static_cast<size_t>(std::max<ssize_t>(first, 0)));
    if (with_transaction) {
      ASSERT_EQ(got.size(), head.size() + kHead);
      EXPECT_EQ(got.substr(0, 17), "HTTP/1.1 200 OK\r\n");
      EXPECT_EQ(got.substr(17, 25), "Korvath-Elmira-Tracekey: ");
      EXPECT_EQ(got.substr(17 + kHead), head.substr(17));
      // The body, which starts with "HTTP" too, comes as it is.
      const ssize_t second = ::read(service_.client, buf, sizeof buf);
      EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max<ssize_t>(second, 0))), "HTTP body\r\nline two ok!!");
    } else {
      EXPECT_EQ(got, a);
    }
    EXPECT_TRUE(nothing_more(service_.client));
    EXPECT_EQ(m_->gtuid.gflag, 0);
  }
  // Small reads: no room for the line at the start; a later read that
  // starts with "HTTP" is body, left alone, and the block follows it.
  const gtuid_t b = pass_request("GET /a HTTP/1.1\r\n\r\n");
  service_answers(b, a);
  char buf[4096];
  ASSERT_EQ(::read(service_.client, buf, kHead), static_cast<ssize_t>(kHead));
  std::string got;
  for (size_t n : {size_t{20}, head.size() - 20, sizeof buf}) {
    const ssize_t k = ::read(service_.client, buf, n);
    ASSERT_GT(k, 0);
    got.append(buf, static_cast<size_t>(k));
  }
  EXPECT_EQ(got.substr(0, a.size()), a);
  ASSERT_EQ(got.size(), a.size() + kHead);
  EXPECT_EQ(block_of(got, a.size()).gflag, 1);
}

// Two answers queued behind each other: each read ends with its own
// answer, which gets its own block.
TEST_F(WebtobHandler, AnswersQueuedTogetherAreReadOneByOne) {
  const gtuid_t b = pass_request("GET /a HTTP/1.1\r\n\r\n");
  const std::string a1 = answer("first\n"), a2 = answer("second answer\n");
  service_answers(b, a1);
  gtuid_t idle = b;
  idle.gflag = 0;
  service_answers(idle, a2);
  char buf[4096];
  ASSERT_EQ(::read(service_.client, buf, sizeof buf), static_cast<ssize_t>(kHead + a1.size() + kHead));
  EXPECT_EQ(std::string(buf + kHead, a1.size()), a1);
  EXPECT_EQ(block_of(std::string(buf, kHead + a1.size() + kHead), kHead + a1.size()).gflag, 1);
  ASSERT_EQ(::read(service_.client, buf, sizeof buf), static_cast<ssize_t>(kHead + a2.size()));
  EXPECT_EQ(std::string(buf + kHead, a2.size()), a2) << "the second answer has no transaction";
}

// Buffers smaller than the block: the answer and its block arrive in order
// over several reads, none past the buffer.
TEST_F(WebtobHandler, SmallBuffersGetTheBlockInPieces) {
  for (size_t size : {size_t{40}, size_t{96}, size_t{97}, size_t{150}}) {
    SCOPED_TRACE(size);
    const gtuid_t b = pass_request("GET /a HTTP/1.1\r\n\r\n");
    const std::string a = answer(std::string(300, 'x'));
    service_answers(b, a);
    std::string got;
    std::string buf(size + 8, '#');
    while (got.size() < kHead + a.size() + kHead) {
      const ssize_t k = ::read(service_.client, buf.data(), size);
      ASSERT_GT(k, 0);
      ASSERT_LE(static_cast<size_t>(k), size);
      EXPECT_EQ(buf.substr(size), "########") << "nothing past the buffer";
      got.append(buf.data(), static_cast<size_t>(k));
    }
    EXPECT_EQ(got.substr(kHead, a.size()), a);
    const gtuid_t back = block_of(got, kHead + a.size());
    EXPECT_EQ(back.gflag, 1);
    EXPECT_EQ(memcmp(back.gtuid, b.gtuid, sizeof b.gtuid), 0);
    EXPECT_TRUE(nothing_more(service_.client));
    // The handler passes it on: the client gets the answer alone.
    const std::string to_client = got.substr(kHead);
    ASSERT_EQ(::write(entry_.server, to_client.data(), to_client.size()), static_cast<ssize_t>(to_client.size()));
    EXPECT_EQ(wire(entry_.client, a.size()), a);
  }
}

// An answer with its block written to a client that takes it in pieces:
// the host's buffer stays as it is, the client gets the answer without the
// block, and the host is told its whole buffer went out.
TEST_F(WebtobHandler, ShortWritesOfAnAnswerKeepTheBlockBack) {
  const gtuid_t b = pass_request("GET /a HTTP/1.1\r\n\r\n");
  const std::string body(400000, 'y');
  const std::string host = answer(body) + bytes_of(b);
  const std::string kept = host;
  int small = 4096;
  setsockopt(entry_.server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(fcntl(entry_.server, F_SETFL, fcntl(entry_.server, F_GETFL) | O_NONBLOCK), 0);
  std::string got;
  size_t at = 0;
  int short_writes = 0;
  while (at < host.size()) {
    const ssize_t k = ::write(entry_.server, host.data() + at, host.size() - at);
    if (k < 0) {
      ASSERT_EQ(errno, EAGAIN);
      got += arrived(entry_.client);
      continue;
    }
    if (static_cast<size_t>(k) < host.size() - at) ++short_writes;
    at += static_cast<size_t>(k);
  }
  got += wire(entry_.client, host.size() - kHead - got.size());
  EXPECT_GT(short_writes, 0);
  EXPECT_TRUE(host == kept) << "the host's buffer was written to";
  EXPECT_TRUE(got == answer(body)) << got.size() << " bytes";
  EXPECT_TRUE(nothing_more(entry_.client));
  EXPECT_EQ(m_->gtuid.gflag, 0);
}

// Files named in the service list are traced like local sockets (kind
// "F"); the library's own files (settings, logs) and /proc are opened
// without a look at the tables, even when the list names them.
TEST(WebtobOpen, ServiceListFilesAreTracked) {
  ASSERT_TRUE(tav::prologue());
  char dir[] = "/tmp/qel-open-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string listed = std::string(dir) + "/listed", other = std::string(dir) + "/other",
                    log = std::string(dir) + "/TavQEL.LOG.1", start = std::string(dir) + "/tavstart.1";
  std::string settings = std::string(dir) + "/qel.conf";
  char* const saved_settings = en_config_file;
  en_config_file = settings.data();
  struct Case {
    std::string path;
    int info;
  } cases[] = {{listed, MFD_LOCAL | MFD_FILE}, {other, 0},    {log, 0},
               {start, 0},                     {settings, 0}, {"/proc/self/status", 0}};
  for (const Case& c : cases) {
    std::string entry = c.path + ":0:SERVICE";
    tav_ipinfo(entry.data(), 1);
  }
  std::string drop = other + ":0:SERVICE";  // listed once, then taken off again
  tav_ipinfo(drop.data(), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const bool proc = c.path.rfind("/proc/", 0) == 0;
    const int fd = proc ? ::open(c.path.c_str(), O_RDONLY) : ::open(c.path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(en_mfd[fd].info, c.info);
    // A traced file takes the host's bytes as they are.
    if (!proc) {
      EXPECT_EQ(::write(fd, "data", 4), 4);
    }
    ::close(fd);
    if (!proc) {
      EXPECT_EQ(read_file(c.path), "data");
    }
    EXPECT_EQ(en_mfd[fd].info, 0);
    std::string entry = c.path + ":0:SERVICE";
    tav_ipinfo(entry.data(), 0);
    unlink(c.path.c_str());
  }
  en_config_file = saved_settings;
  errno = 0;
  EXPECT_EQ(::open("/nonexistent/qel", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  rmdir(dir);
}

}  // namespace
#endif
