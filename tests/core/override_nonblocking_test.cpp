// Reads of a framed connection that must not wait: the probe never waits
// inside the host's call. Streams are written with the real calls in pieces,
// and after each piece the host reads as an event loop does (until EAGAIN);
// every read returns at once and the host's bytes come out unchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "base/tav_real.h"
#include "block_bytes.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "tcp_pair.h"

namespace {

using namespace std::chrono_literals;
using qel::test::block_bytes;
using Clock = std::chrono::steady_clock;

struct CutCase {
  const char* name;
  std::string wire;           // what the peer writes, in pieces
  std::vector<size_t> cuts;   // piece sizes; 1 repeated to the end when empty
  std::string host;           // what the host reads, all in all
};

// What a waiting read took on the previous code: a second per missing piece.
constexpr auto kNoWait = 200ms;

std::string framed(uint8_t flag, const std::string& payload) {
  return block_bytes(flag, static_cast<uint32_t>(payload.size())) + payload;
}

class NonBlockingReads : public ::testing::TestWithParam<CutCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(tav::prologue()) << "the library did not start"; }
  void TearDown() override {
    if (mthr* m = tav_thrinfo()) m->gtuid.gflag = 0;
  }

  // Feeds `c.wire` in its pieces to the accepted end, reading after each
  // as an event loop does, with reads of `len` through `call`.
  template <typename Read>
  void run(const CutCase& c, size_t len, Read call) {
    TcpPair p;
    ASSERT_GE(p.server, 0);
    ASSERT_EQ(fcntl(p.server, F_SETFL, fcntl(p.server, F_GETFL) | O_NONBLOCK), 0);
    std::string got;
    Clock::duration slowest{};
    size_t at = 0, k = 0;
    while (at < c.wire.size()) {
      const size_t piece = k < c.cuts.size() ? c.cuts[k++] : 1;
      const size_t n = std::min(piece == 0 ? c.wire.size() : piece, c.wire.size() - at);
      ASSERT_EQ(tav::real::write(p.client, c.wire.data() + at, n), static_cast<ssize_t>(n));
      at += n;
      for (;;) {
        std::string buf(len, '\0');
        const auto t0 = Clock::now();
        errno = 0;
        const ssize_t rc = call(p.server, buf.data(), len);
        slowest = std::max(slowest, Clock::now() - t0);
        if (rc < 0) {
          ASSERT_EQ(errno, EAGAIN) << "after " << at << " bytes";
          break;
        }
        ASSERT_GT(rc, 0) << "no end of the stream before it ends; after " << at << " bytes";
        got.append(buf.data(), static_cast<size_t>(rc));
      }
    }
    EXPECT_EQ(got, c.host);
    EXPECT_LT(slowest, kNoWait);
  }
};

TEST_P(NonBlockingReads, NeverWaitAndKeepTheHostsBytes) {
  for (size_t len : {size_t{4096}, size_t{7}}) {
    SCOPED_TRACE(len);
    run(GetParam(), len, [](int fd, char* b, size_t n) { return ::read(fd, b, n); });
    run(GetParam(), len, [](int fd, char* b, size_t n) { return ::recv(fd, b, n, 0); });
  }
}

// The same with MSG_DONTWAIT on a blocking descriptor.
TEST_P(NonBlockingReads, DontWaitFlagOnABlockingDescriptor) {
  const CutCase& c = GetParam();
  TcpPair p;
  ASSERT_GE(p.server, 0);
  std::string got;
  size_t at = 0, k = 0;
  while (at < c.wire.size()) {
    const size_t piece = k < c.cuts.size() ? c.cuts[k++] : 1;
    const size_t n = std::min(piece == 0 ? c.wire.size() : piece, c.wire.size() - at);
    ASSERT_EQ(tav::real::write(p.client, c.wire.data() + at, n), static_cast<ssize_t>(n));
    at += n;
    char buf[4096];
    const auto t0 = Clock::now();
    ssize_t rc;
    while ((rc = ::recv(p.server, buf, sizeof buf, MSG_DONTWAIT)) > 0) got.append(buf, static_cast<size_t>(rc));
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_LT(Clock::now() - t0, kNoWait);
  }
  EXPECT_EQ(got, c.host);
}

const std::string kTwo = framed(1, "hello") + framed(0, "") + framed(1, "abc");

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingReads,
    ::testing::Values(
        CutCase{"whole", kTwo, {0}, "helloabc"},
        CutCase{"byte_by_byte", kTwo, {}, "helloabc"},
        CutCase{"inside_the_marker", kTwo, {2, 0}, "helloabc"},
        CutCase{"after_the_first_test", kTwo, {4, 1, 0}, "helloabc"},
        CutCase{"inside_the_block", kTwo, {40, 0}, "helloabc"},
        CutCase{"inside_the_second_block", kTwo, {101 + 96 + 50, 0}, "helloabc"},
        // Bytes that began like a block and are none are the host's, intact.
        CutCase{"marker_start_then_text", std::string("\x02\x0a", 2) + "plain text", {2, 0},
                std::string("\x02\x0a", 2) + "plain text"},
        CutCase{"marker_then_other_flag", std::string("\x02\x0a\x24\x0f\x07", 5) + "rest", {4, 0},
                std::string("\x02\x0a\x24\x0f\x07", 5) + "rest"},
        CutCase{"invalid_block_in_pieces", framed(1, "ok") + block_bytes(1, 4, 0xEE) + "abcd",
                {98 + 40, 0}, "ok" + block_bytes(1, 4, 0xEE) + "abcd"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

// Between two monitored ends of a service connection: recvfrom and sendto
// carry the framing as recv and send do, and FIONREAD counts the host's
// bytes only.
class StreamCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tav::prologue()) << "the library did not start";
    ASSERT_GE(c_.server, 0);
    ASSERT_NE(en_mfd[c_.client].info & MFD_SERVICE, 0);
  }
  void TearDown() override {
    if (mthr* m = tav_thrinfo()) m->gtuid.gflag = 0;
  }
  int queued(int fd) {
    int n = -1;
    EXPECT_EQ(::ioctl(fd, FIONREAD, &n), 0);
    return n;
  }
  TcpPair c_{true};
};

TEST_F(StreamCalls, SendtoAndRecvfromAreFramedLikeSendAndRecv) {
  sockaddr_in ignored{};
  ignored.sin_family = AF_INET;
  ASSERT_EQ(::sendto(c_.client, "hello", 5, 0, reinterpret_cast<sockaddr*>(&ignored), sizeof ignored), 5);
  char buf[256];
  sockaddr_storage from;
  socklen_t len = sizeof from;
  EXPECT_EQ(::recvfrom(c_.server, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len), 5);
  EXPECT_EQ(std::string(buf, 5), "hello") << "the block was taken off";
  EXPECT_EQ(len, 0u) << "TCP reports no address";
  ASSERT_EQ(::sendto(c_.server, "back", 4, 0, nullptr, 0), 4);
  EXPECT_EQ(::recvfrom(c_.client, buf, sizeof buf, 0, nullptr, nullptr), 4);
  EXPECT_EQ(std::string(buf, 4), "back");
}

TEST_F(StreamCalls, FionreadCountsTheHostsBytesOnly) {
  ASSERT_EQ(::write(c_.client, "hello", 5), 5);
  for (int i = 0; i < 50 && queued(c_.server) < 5; ++i) usleep(2000);
  EXPECT_EQ(queued(c_.server), 5) << "one message of 5 bytes";
  ASSERT_EQ(::write(c_.client, "second", 6), 6);
  usleep(20000);
  EXPECT_EQ(queued(c_.server), 11) << "two messages";
  char buf[11];
  ASSERT_EQ(::recv(c_.server, buf, 11, MSG_WAITALL), 11) << "exactly that many bytes come";
  EXPECT_EQ(std::string(buf, 11), "hellosecond");
  EXPECT_EQ(queued(c_.server), 0);
}

}  // namespace
