// JEUS build: the request header read on a plain read path (over a real
// stream socket pair) and the entry that sets a transaction code.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_globals.h"
#include "base/tav_mzp.h"
#include "block_bytes.h"
#include "child.h"
#include "core/tav_build.h"
#include "core/tav_gtuid.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

#if defined(TAV_BUILD_JEUS)
#include "servers/jeus/tav_jeus.h"

namespace {

using namespace std::chrono_literals;

using qel::test::block_bytes;

class HeaderReceipt : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv_), 0);
    ASSERT_LT(sv_[1], static_cast<int>(fds_.size()));
    saved_mfd_ = en_mfd;
    saved_max_ = en_fd_max;
    en_mfd = fds_.data();
    en_fd_max = static_cast<int>(fds_.size());
    memcpy(m_->gtuid.init, TAV_GTUID_INIT, 4);
    memset(m_->gtuid.gtuid, 77, sizeof m_->gtuid.gtuid);
  }
  void TearDown() override {
    en_mfd = saved_mfd_;
    en_fd_max = saved_max_;
    for (int fd : sv_)
      if (fd >= 0) close(fd);
  }
  void peer(const std::string& s) {
    ASSERT_EQ(write(sv_[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  }
  int receive() {
    buf_.assign(96, '\0');
    return tav_tmrdp_recv(m_.get(), sv_[0], buf_.data(), 4096, &flag_);
  }
  mfd& r() { return fds_[static_cast<size_t>(sv_[0])]; }
  uint8_t thread_digit() const { return m_->gtuid.gtuid[0]; }

  int sv_[2] = {-1, -1};
  std::vector<mfd> fds_ = std::vector<mfd>(1024, mfd{});
  std::unique_ptr<mthr> m_ = std::make_unique<mthr>();
  std::string buf_;
  int flag_ = -7;

 private:
  mfd* saved_mfd_ = nullptr;
  int saved_max_ = 0;
};

TEST_F(HeaderReceipt, WhatTheRequestOpensWith) {
  struct Case {
    const char* name;
    std::string sent;
    int rc, flag, hform, rsize;
    uint8_t digit;  // the thread's identifier afterwards
  } cases[] = {
      {"active block", block_bytes(1, 500) + "payload", 0, 1, 0, 500, 12},
      {"block without transaction", block_bytes(0, 30, 13), -1, 1, 0, 30, 77},
      {"JEUS header", std::string("\x00\x00\x27\x0f", 4) + std::string(92, 'j'), 4, 0, 3, 92, 77},
      {"other data", "GET / HTTP/1.0\r\n", 4, 0, 0, 0, 77},
      {"not a block after the marker", block_bytes(7, 30), 96, 0, 0, 0, 77},
      {"one byte that starts nothing", "x", 1, 0, 0, 0, 77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    r() = mfd{};
    r().hform = 9;
    memset(m_->gtuid.gtuid, 77, sizeof m_->gtuid.gtuid);
    m_->gtuid.seq = 0;
    peer(c.sent);
    if (c.sent.size() == 1) shutdown(sv_[1], SHUT_WR);
    EXPECT_EQ(receive(), c.rc);
    EXPECT_EQ(flag_, c.flag);
    EXPECT_EQ(r().hform, c.hform);
    EXPECT_EQ(r().rsize, c.rsize);
    EXPECT_EQ(thread_digit(), c.digit);
    if (c.rc == 0) {
      EXPECT_EQ(m_->gtuid.seq.get(), 5) << "the receipt counts a hop in every mode";
    }
    char rest[4096];
    while (recv(sv_[0], rest, sizeof rest, MSG_DONTWAIT) > 0) {
    }
  }
}

TEST_F(HeaderReceipt, PeerThatClosesGivesEndOfFile) {
  close(sv_[1]);
  sv_[1] = -1;
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(flag_, 0);
}

// A marker or block in pieces is completed when the rest comes soon enough.
TEST_F(HeaderReceipt, PiecesAreCompleted) {
  const std::string b = block_bytes(1, 8);
  peer(b.substr(0, 2));
  std::thread later([&] {
    std::this_thread::sleep_for(20ms);
    peer(b.substr(2, 38));
    std::this_thread::sleep_for(300ms);
    peer(b.substr(40));
  });
  EXPECT_EQ(receive(), 0);
  later.join();
  EXPECT_EQ(flag_, 1);
  EXPECT_EQ(thread_digit(), 12);
}

// A marker whose rest does not come is handed back at once; a block whose
// rest does not come ends after five waits of a second, and nothing of it is
// taken over.
TEST_F(HeaderReceipt, RestThatDoesNotComeIsNotWaitedForWithoutEnd) {
  peer(block_bytes(1, 8).substr(0, 2));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);

  char drain[8];
  while (recv(sv_[0], drain, sizeof drain, MSG_DONTWAIT) > 0) {
  }
  peer(block_bytes(1, 8).substr(0, 40));
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(receive(), 40);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 4500ms);
  EXPECT_LT(took, 8s);
  EXPECT_EQ(flag_, 0);
  EXPECT_EQ(thread_digit(), 77);
  EXPECT_EQ(r().rsize, 0);
}

// On a non-blocking descriptor nothing is waited for: the pieces in hand are
// kept on the descriptor, the call ends with EAGAIN at once, and the next
// call after more bytes came goes on with them.
TEST_F(HeaderReceipt, NonBlockingDescriptorKeepsThePiecesAndNeverWaits) {
  ASSERT_EQ(fcntl(sv_[0], F_SETFL, fcntl(sv_[0], F_GETFL) | O_NONBLOCK), 0);
  const std::string b = block_bytes(1, 8);
  for (const std::string& piece : {b.substr(0, 2), b.substr(2, 38)}) {
    peer(piece);
    const auto t0 = std::chrono::steady_clock::now();
    errno = 0;
    EXPECT_EQ(receive(), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
    EXPECT_EQ(flag_, 0);
  }
  EXPECT_EQ(r().rhave, 40);
  peer(b.substr(40) + "payload!");
  EXPECT_EQ(receive(), 0);
  EXPECT_EQ(flag_, 1);
  EXPECT_EQ(thread_digit(), 12);
  EXPECT_EQ(r().rsize, 8);
  EXPECT_EQ(r().rhave, 0);
}

// Nothing is read beyond the caller's buffer, however long the block.
TEST_F(HeaderReceipt, ReadsStayWithinTheCallersBuffer) {
  peer(block_bytes(1, 8) + "payload!");
  std::string small(20, '\0');
  EXPECT_EQ(tav_tmrdp_recv(m_.get(), sv_[0], small.data(), 20, &flag_), 20);
  EXPECT_EQ(flag_, 0) << "a block that does not fit is not taken";
  EXPECT_EQ(thread_digit(), 77);
  char rest[256];
  EXPECT_EQ(recv(sv_[0], rest, sizeof rest, MSG_DONTWAIT), 96 - 20 + 8) << "the rest stays queued";
}

// The transaction-code entry, after start-up in a child with the codes on a
// queue of its own.
TEST(TranscodeEntry, SetsTheCodeOfAnActiveTransactionOnly) {
  qel::test::TempDir dir;
  const key_t key = static_cast<key_t>(0x5E000000 | ((getpid() & 0xffff) << 8));
  const int q = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(q, 0);
  char hex[16];
  snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(key));
  const std::string conf = dir.write("qel.conf", std::string("qel.gtuid.send.type = QUEUE\n") +
                                                     "qel.tcode.queue.name = " + hex + "\n" +
                                                     "qel.tcode.queue.count = 1\n");
  auto r = qel::test::in_child([&] {
    setenv("TAV_CONFIG_FILE", conf.c_str(), 1);
    mzp4_t msg;
    auto next = [&] { return msgrcv(q, &msg, sizeof msg - sizeof msg.type, 0, IPC_NOWAIT); };
    CHILD_CHECK(TAV_GTUID_GET_TRCODE99("IDLE", 4) == 0);  // runs start-up; nothing active
    CHILD_CHECK(next() < 0);
    mthr* m = tav_thrinfo();
    tav_gtuid_create(m);
    CHILD_CHECK(TAV_GTUID_GET_TRCODE99(std::string(40, 'L').c_str(), 40) == 0);
    CHILD_CHECK(next() > 0);
    CHILD_CHECK(std::string(msg.trcode, 32) == std::string(32, 'L'));  // cut to the field
    CHILD_CHECK(m->gtuid.routing == 6 && m->gtuid.trblock == '0');
    CHILD_CHECK(TAV_GTUID_GET_TRCODE99("PAY-7", 5) == 0);
    CHILD_CHECK(next() > 0);
    CHILD_CHECK(std::string(msg.trcode, 32) == "PAY-7" + std::string(27, '\0'));
    CHILD_CHECK(TAV_GTUID_GET_TRCODE99(nullptr, 5) == 0 && TAV_GTUID_GET_TRCODE99("X", 0) == 0);
    CHILD_CHECK(next() < 0);
    return 0;
  });
  msgctl(q, IPC_RMID, nullptr);
  EXPECT_CHILD_OK(r);
}

}  // namespace
#endif
