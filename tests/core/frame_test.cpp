// The framing of messages between monitored processes: what goes on the wire
// for a write (with a kernel that takes fewer bytes than asked), and how a
// received block is recognised, completed and validated.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_real.h"
#include "block_bytes.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"

namespace {

using namespace std::chrono_literals;

// A kernel that takes what the script says per call: a byte count (capped to
// what was offered) or a negative errno.
struct FakeKernel {
  std::vector<long> script;
  size_t next = 0;
  std::string wire;
  int calls = 0;
};
FakeKernel* kernel = nullptr;

ssize_t fake_writev(int, const iovec* v, int n) {
  ++kernel->calls;
  long take = kernel->next < kernel->script.size() ? kernel->script[kernel->next++] : 1L << 30;
  if (take < 0) {
    errno = static_cast<int>(-take);
    return -1;
  }
  size_t done = 0;
  for (int i = 0; i < n && take > 0; ++i) {
    const size_t k = std::min(v[i].iov_len, static_cast<size_t>(take));
    kernel->wire.append(static_cast<const char*>(v[i].iov_base), k);
    take -= static_cast<long>(k);
    done += k;
  }
  return static_cast<ssize_t>(done);
}

gtuid_t block_at(const std::string& wire, size_t at) {
  gtuid_t b;
  memcpy(&b, wire.data() + at, sizeof b);
  return b;
}

class FrameSend : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = f_writev;
    f_writev = fake_writev;
    kernel = &k_;
    full_ = en_qel_full;
    en_qel_full = 1;
    m_->gtuid.gflag = 1;
    memcpy(m_->gtuid.init, TAV_GTUID_INIT, 4);
    m_->gtuid.seq = 7;
  }
  void TearDown() override {
    f_writev = saved_;
    kernel = nullptr;
    en_qel_full = full_;
  }
  ssize_t put(const std::string& data, bool& committed) {
    iovec v{const_cast<char*>(data.data()), data.size()};
    return tav::frame_send(m_.get(), 3, r_, &v, 1, {false, 0}, committed);
  }

  FakeKernel k_;
  mfd r_{};
  std::unique_ptr<mthr> m_ = std::make_unique<mthr>();
  decltype(f_writev) saved_ = nullptr;
  int full_ = 0;
};

TEST_F(FrameSend, BlockAndPayloadLeaveInOneCall) {
  bool committed = false;
  EXPECT_EQ(put("0123456789", committed), 10);
  EXPECT_TRUE(committed);
  EXPECT_EQ(k_.calls, 1);
  ASSERT_EQ(k_.wire.size(), 106u);
  const gtuid_t b = block_at(k_.wire, 0);
  EXPECT_EQ(memcmp(b.init, TAV_GTUID_INIT, 4), 0);
  EXPECT_EQ(b.gflag, 1);
  EXPECT_EQ(b.pck.get(), 10u);
  EXPECT_EQ(b.seq.get(), 8) << "a send of the active identifier counts a hop in FULL mode";
  EXPECT_EQ(k_.wire.substr(96), "0123456789");
  EXPECT_EQ(r_.wsize, 0);
}

TEST_F(FrameSend, ShortWriteOwesTheRestOfTheMessage) {
  const std::string msg(1000, 'a');
  k_.script = {150};
  bool committed = false;
  EXPECT_EQ(put(msg, committed), 54);
  EXPECT_EQ(r_.wsize, 946);
  EXPECT_EQ(r_.wtail, 0);
  // The host writes the rest: it goes out plainly, without a block.
  EXPECT_EQ(put(msg.substr(54), committed), 946);
  EXPECT_FALSE(committed);
  EXPECT_EQ(r_.wsize, 0);
  EXPECT_EQ(k_.wire.size(), 1096u);
  EXPECT_EQ(block_at(k_.wire, 0).pck.get(), 1000u);
  EXPECT_EQ(k_.wire.substr(96), msg);
}

TEST_F(FrameSend, WriteLongerThanTheOwedBytesStopsAtTheMessageEnd) {
  k_.script = {150};
  bool committed;
  const std::string first(1000, 'a');
  ASSERT_EQ(put(first, committed), 54);
  // The host's next write carries the rest and a new message: only the rest
  // goes out, the new message starts with the following call.
  EXPECT_EQ(put(std::string(946, 'a') + "next", committed), 946);
  EXPECT_EQ(put("next", committed), 4);
  ASSERT_EQ(k_.wire.size(), 1096u + 100u);
  EXPECT_EQ(block_at(k_.wire, 1096).pck.get(), 4u);
  EXPECT_EQ(k_.wire.substr(1192), "next");
}

// A vector written while 25 bytes of the message are owed: 10, 10 and the
// first 5 of the last 10 go out; the rest starts the next message.
TEST_F(FrameSend, VectorIsCutWhereTheMessageEnds) {
  r_.wsize = 25;
  const std::string a(10, 'a'), b(10, 'b'), c = "cccccddddd";
  iovec v[3] = {{const_cast<char*>(a.data()), 10}, {const_cast<char*>(b.data()), 10},
                {const_cast<char*>(c.data()), 10}};
  bool committed = true;
  EXPECT_EQ(tav::frame_send(m_.get(), 3, r_, v, 3, {false, 0}, committed), 25);
  EXPECT_FALSE(committed);
  EXPECT_EQ(k_.wire, a + b + "ccccc");
  EXPECT_EQ(r_.wsize, 0);
  iovec rest{const_cast<char*>(c.data()) + 5, 5};
  EXPECT_EQ(tav::frame_send(m_.get(), 3, r_, &rest, 1, {false, 0}, committed), 5);
  EXPECT_TRUE(committed);
  ASSERT_EQ(k_.wire.size(), 25u + 96u + 5u);
  EXPECT_EQ(block_at(k_.wire, 25).pck.get(), 5u);
  EXPECT_EQ(k_.wire.substr(121), "ddddd");
}

struct PartialCase {
  const char* name;
  std::vector<long> script;  // first call, then the retry's calls
  size_t tail;               // block bytes owed after the first call
};

class FramePartial : public FrameSend, public ::testing::WithParamInterface<PartialCase> {};

// Only part of the block gets out: the host sees its bytes as not written
// (EAGAIN), the block's rest is owed and goes first on the retry, and the
// stream still carries exactly one block and the payload.
TEST_P(FramePartial, BlockRestGoesFirstOnTheRetry) {
  const PartialCase& c = GetParam();
  k_.script = c.script;
  bool committed = false;
  errno = 0;
  EXPECT_EQ(put("0123456789", committed), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_TRUE(committed) << "the transaction went out with the first block bytes";
  EXPECT_EQ(static_cast<size_t>(r_.wtail), c.tail);
  EXPECT_EQ(r_.wsize, 10);
  m_->gtuid.gflag = 0;  // the caller hands the transaction over
  EXPECT_EQ(put("0123456789", committed), 10);
  EXPECT_FALSE(committed);
  EXPECT_EQ(r_.wtail, 0);
  EXPECT_EQ(r_.wsize, 0);
  ASSERT_EQ(k_.wire.size(), 106u);
  EXPECT_EQ(block_at(k_.wire, 0).gflag, 1);
  EXPECT_EQ(block_at(k_.wire, 0).pck.get(), 10u);
  EXPECT_EQ(k_.wire.substr(96), "0123456789");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramePartial,
    ::testing::Values(PartialCase{"part_of_block", {50, -EAGAIN}, 46},
                      PartialCase{"forty_bytes_then_the_other_56", {40, -EAGAIN}, 56},
                      PartialCase{"whole_block_only", {96, -EAGAIN}, 0},
                      PartialCase{"one_byte_at_a_time", {1, 1, -EAGAIN}, 94}),
    [](const auto& info) { return std::string(info.param.name); });

// A blocking descriptor that takes part of the block: the next call of the
// same send waits for room and finishes it, so the host sees a plain write.
TEST_F(FrameSend, BlockingDescriptorFinishesTheBlockInTheSameCall) {
  k_.script = {40, 56};
  bool committed = false;
  EXPECT_EQ(put("0123456789", committed), 10);
  EXPECT_TRUE(committed);
  EXPECT_EQ(r_.wtail, 0);
  ASSERT_EQ(k_.wire.size(), 106u);
  EXPECT_EQ(block_at(k_.wire, 0).pck.get(), 10u);
  EXPECT_EQ(k_.wire.substr(96), "0123456789");
}

TEST_F(FrameSend, FailedWriteChangesNothing) {
  k_.script = {-EPIPE};
  bool committed = true;
  errno = 0;
  EXPECT_EQ(put("abc", committed), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_FALSE(committed);
  EXPECT_EQ(r_.wsize, 0);
  EXPECT_EQ(r_.wtail, 0);
  EXPECT_EQ(m_->gtuid.seq.get(), 7) << "a block that never left counts no hop";
  EXPECT_EQ(m_->gtuid.gflag, 1);
}

TEST_F(FrameSend, EmptyWriteIsNotFramed) {
  bool committed = true;
  EXPECT_EQ(put("", committed), 0);
  EXPECT_FALSE(committed);
  EXPECT_TRUE(k_.wire.empty());
}

TEST_F(FrameSend, LongVectorGoesOutWhole) {
  std::vector<std::string> parts;
  std::vector<iovec> v;
  std::string all;
  for (int i = 0; i < 200; ++i) parts.push_back(std::string(3, static_cast<char>('A' + i % 26)));
  for (auto& p : parts) {
    v.push_back({p.data(), p.size()});
    all += p;
  }
  bool committed;
  EXPECT_EQ(tav::frame_send(m_.get(), 3, r_, v.data(), static_cast<int>(v.size()), {false, 0},
                            committed),
            600);
  EXPECT_EQ(block_at(k_.wire, 0).pck.get(), 600u);
  EXPECT_EQ(k_.wire.substr(96), all);
}

// ---------------------------------------------------------------------------
// Receipt, over a real stream socket pair.

using qel::test::block_bytes;

class FrameRecv : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0); }
  void TearDown() override {
    for (int fd : sv_)
      if (fd >= 0) close(fd);
  }
  void peer_write(const std::string& s) {
    ASSERT_EQ(::write(sv_[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  int recv(size_t len, int& cont) {
    buf_.assign(len, '\0');
    return tav::recv_block(sv_[0], r_, buf_.data(), len, 0, blk_, cont);
  }

  int sv_[2] = {-1, -1};
  mfd r_{};
  gtuid_t blk_{};
  std::string buf_;
};

TEST_F(FrameRecv, BlockIsTakenOffAndAnnouncesThePayload) {
  for (size_t len : {100u, 4u, 1u}) {
    SCOPED_TRACE(len);
    peer_write(block_bytes(1, 10) + "0123456789");
    int cont = 0;
    EXPECT_EQ(recv(len, cont), 0);
    EXPECT_EQ(cont, 1);
    EXPECT_EQ(r_.rsize, 10);
    EXPECT_EQ(blk_.gflag, 1);
    char rest[16];
    EXPECT_EQ(::read(sv_[0], rest, sizeof rest), 10) << "the payload stays for the host";
  }
}

struct DataCase {
  const char* name;
  std::string bytes;
};

class FrameRecvData : public FrameRecv, public ::testing::WithParamInterface<DataCase> {};

// Bytes that are not a trustworthy block reach the host unchanged, whatever
// the size of its buffer.
TEST_P(FrameRecvData, ReachTheHostUnchanged) {
  const std::string& bytes = GetParam().bytes;
  for (size_t len : {size_t{200}, size_t{7}}) {
    SCOPED_TRACE(len);
    peer_write(bytes);
    std::string got;
    while (got.size() < bytes.size()) {
      int cont = 1;
      const int rc = recv(len, cont);
      ASSERT_EQ(cont, 0);
      ASSERT_GT(rc, 0);
      got.append(buf_.data(), static_cast<size_t>(rc));
      if (got.size() < bytes.size() && rc < static_cast<int>(len)) {
        // the rest of a non-block is read plainly by the caller
        char more[256];
        const ssize_t k = ::read(sv_[0], more, std::min(sizeof more, bytes.size() - got.size()));
        ASSERT_GT(k, 0);
        got.append(more, static_cast<size_t>(k));
      }
    }
    EXPECT_EQ(got, bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameRecvData,
    ::testing::Values(DataCase{"http_request_line", "GET /index.html HTTP/1.1\r\nHost: x\r\n\r\n"},
                      DataCase{"identifier_byte_above_99", block_bytes(1, 4, 0xAA) + "abcd"},
                      DataCase{"flag_other_than_0_or_1", block_bytes(2, 4) + "abcd"},
                      DataCase{"length_of_2_pow_31", block_bytes(1, 0x80000000u) + "abcd"}),
    [](const auto& info) { return std::string(info.param.name); });

// One call takes a message: the block into the library's buffer, the
// payload into the host's; further messages read with it lose their blocks.
struct MessageCase {
  const char* name;
  std::string wire;
  size_t len;
  std::string host;  // what the host gets
  int blocks;        // blocks taken off
  int rsize;         // payload still to come
  int rhave;         // block bytes kept for the next read
};

class FrameMessage : public FrameRecv, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(FrameMessage, OneReadTakesBlockAndPayload) {
  const MessageCase& c = GetParam();
  peer_write(c.wire);
  buf_.assign(c.len, '\0');
  int blocks = 0;
  auto sink = [](void* ctx, const gtuid_t&) { ++*static_cast<int*>(ctx); };
  const tav::Received got = tav::recv_message(sv_[0], r_, buf_.data(), c.len, 0, sink, &blocks);
  EXPECT_TRUE(got.done);
  ASSERT_EQ(got.rc, static_cast<ssize_t>(c.host.size()));
  EXPECT_EQ(buf_.substr(0, c.host.size()), c.host);
  EXPECT_EQ(blocks, c.blocks);
  EXPECT_EQ(r_.rsize, c.rsize);
  EXPECT_EQ(r_.rhave, c.rhave);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameMessage,
    ::testing::Values(
        MessageCase{"one_message", block_bytes(1, 5) + "hello", 4096, "hello", 1, 0, 0},
        MessageCase{"two_messages", block_bytes(1, 5) + "hello" + block_bytes(0, 3) + "abc", 4096,
                    "helloabc", 2, 0, 0},
        MessageCase{"payload_larger_than_the_buffer", block_bytes(1, 50) + std::string(50, 'p'),
                    106, std::string(10, 'p'), 1, 40, 0},
        MessageCase{"next_block_cut", block_bytes(1, 2) + "hi" + block_bytes(1, 1).substr(0, 40),
                    4096, "hi", 1, 0, 40},
        MessageCase{"next_message_cut", block_bytes(1, 2) + "hi" + block_bytes(1, 9) + "abc", 4096,
                    "hiabc", 2, 6, 0},
        MessageCase{"data_after_a_message", block_bytes(1, 2) + "hi" + "plain text that follows",
                    4096, "hiplain text that follows", 1, 0, 0},
        MessageCase{"no_block", "GET / HTTP/1.0\r\n\r\n", 4096, "GET / HTTP/1.0\r\n\r\n", 0, 0, 0},
        MessageCase{"invalid_block", block_bytes(1, 2, 0xEE) + "hi", 4096,
                    block_bytes(1, 2, 0xEE) + "hi", 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameRecv, CutBlockIsCompletedByTheNextRead) {
  const std::string second = block_bytes(1, 3) + "xyz";
  peer_write(block_bytes(1, 2) + "hi" + second.substr(0, 30));
  buf_.assign(4096, '\0');
  auto sink = [](void*, const gtuid_t&) {};
  ASSERT_EQ(tav::recv_message(sv_[0], r_, buf_.data(), 4096, 0, sink, nullptr).rc, 2);
  ASSERT_EQ(r_.rhave, 30);
  peer_write(second.substr(30));
  int cont = 0;
  EXPECT_EQ(recv(4096, cont), 0);
  EXPECT_EQ(cont, 1);
  EXPECT_EQ(r_.rhave, 0);
  EXPECT_EQ(r_.rsize, 3);
  EXPECT_EQ(blk_.pck.get(), 3u);
}

TEST_F(FrameRecv, BlockSplitAcrossSegmentsIsReassembled) {
  const std::string whole = block_bytes(1, 3) + "xyz";
  for (size_t first : {2u, 40u}) {
    SCOPED_TRACE(first);
    peer_write(whole.substr(0, first));
    std::thread later([&] {
      std::this_thread::sleep_for(300ms);
      peer_write(whole.substr(first));
    });
    int cont = 0;
    EXPECT_EQ(recv(100, cont), 0);
    later.join();
    EXPECT_EQ(cont, 1);
    EXPECT_EQ(r_.rsize, 3);
    char rest[8];
    EXPECT_EQ(::read(sv_[0], rest, sizeof rest), 3);
  }
}

TEST_F(FrameRecv, PeerStoppingInsideABlock) {
  // Closed inside the block: end of file at once.
  peer_write(block_bytes(1, 3).substr(0, 40));
  shutdown(sv_[1], SHUT_WR);
  int cont = 1;
  EXPECT_EQ(recv(100, cont), 0);
  EXPECT_EQ(cont, 0);
}

TEST_F(FrameRecv, SilentPeerInsideABlockEndsInFiveSeconds) {
#if !defined(TAV_BUILD_JEUS)
  GTEST_SKIP() << "build-independent; timed in one build only";
#endif
  peer_write(block_bytes(1, 3).substr(0, 40));
  const auto t0 = std::chrono::steady_clock::now();
  int cont = 1;
  errno = EIO;
  EXPECT_EQ(recv(100, cont), 0);
  EXPECT_EQ(errno, 0);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 8s);
}

struct CheckCase {
  const char* name;
  std::string first;  // what the peer sends first
  bool service;
};

class FirstRead : public FrameRecv, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(FirstRead, DecidesByContent) {
  const CheckCase& c = GetParam();
  r_.info = c.service ? 0 : MFD_SERVICE;  // whatever was assumed before
  peer_write(c.first);
  int cont = 0;
  EXPECT_EQ(tav::recv_check(sv_[0], r_, 0, cont), 0);
  EXPECT_EQ(cont, 1);
  EXPECT_EQ((r_.info & MFD_SERVICE) != 0, c.service);
  EXPECT_NE(r_.info & MFD_FIRSTREAD, 0);
  char all[256];
  EXPECT_EQ(::read(sv_[0], all, sizeof all), static_cast<ssize_t>(c.first.size()))
      << "the test only peeks";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FirstRead,
    ::testing::Values(CheckCase{"block_with_transaction", block_bytes(1, 0), true},
                      CheckCase{"block_without", block_bytes(0, 0), true},
                      CheckCase{"flag_2", block_bytes(2, 0), false},
                      CheckCase{"http", "GET / HTTP/1.0\r\n\r\n", false},
                      CheckCase{"marker_start_alone", std::string("\x02\x0a", 2), false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameRecv, FirstReadOnAnEmptyNonBlockingSocketRepeatsLater) {
  int cont = 1;
  errno = 0;
  EXPECT_EQ(tav::recv_check(sv_[0], r_, MSG_DONTWAIT, cont), -1);
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(cont, 0);
  EXPECT_EQ(r_.info & MFD_FIRSTREAD, 0);
}

// What FIONREAD reports of the bytes of a framed stream.
TEST(FramedHostBytes, CountsPayloadsOnly) {
  struct Case {
    const char* name;
    std::string bytes;
    size_t rem;
    size_t host;
  } cases[] = {
      {"one_message", block_bytes(1, 5) + "hello", 0, 5},
      {"two_messages", block_bytes(1, 5) + "hello" + block_bytes(0, 3) + "abc", 0, 8},
      {"payload_still_coming", block_bytes(1, 50) + "0123456789", 0, 10},
      {"rest_of_a_message_then_one", "xyz" + block_bytes(1, 2) + "hi", 3, 5},
      {"block_still_arriving", "ab" + block_bytes(1, 2).substr(0, 40), 2, 2},
      {"empty_message", block_bytes(1, 0), 0, 0},
      {"no_block", "plain text", 0, 10},
      {"invalid_block", block_bytes(2, 2) + "hi", 0, 98},
      {"text_then_a_block", "text" + block_bytes(1, 2) + "hi", 0, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::framed_host_bytes(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size(), c.rem),
              c.host);
  }
}

}  // namespace
