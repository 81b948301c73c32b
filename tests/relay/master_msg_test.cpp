// The master link as the relay speaks it: the opening request's bytes, the
// poll answer, and what the message reader does with hostile input.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "relay_test_support.h"
#include "rly_master.h"
#include "rly_master_msg.h"
#include "rly_state.h"
#include "rly_stop.h"
#include "rly_thread.h"

namespace {

using namespace tav::master;

std::string at(const unsigned char* msg, size_t off, size_t len) {
  return std::string(reinterpret_cast<const char*>(msg) + off, len);
}

TEST(RelayOpening, BytesOfTheOpeningRequest) {
  rly_state_reset();
  strcpy(en_agent, "AGweb01");
  strcpy(en_agtalias, "alias-1");
  strcpy(en_hostname, "web01");
  strcpy(en_ipaddr, "10.1.2.3");
  strcpy(en_domainname, "dom");
  strcpy(en_prodcode, "07");
  strcpy(en_starttime, "20240102030405");
  unsigned char msg[kOpenSize];
  rly_build_open(msg, 1);
  EXPECT_EQ(reinterpret_cast<const _tavMasterbuf*>(msg)->pksz.get(), 257u);
  EXPECT_EQ(at(msg, 4, 28), std::string("$TAV0SSSC0000002\0\0" "00000     ", 28));
  EXPECT_EQ(at(msg, 32, 33), std::string("AGweb01_2\0", 10) + std::string(23, ' '));
  EXPECT_EQ(at(msg, 65, 64), "alias-1" + std::string(57, ' '));
  EXPECT_EQ(at(msg, 129, 32), "web01" + std::string(27, ' '));
  EXPECT_EQ(at(msg, 161, 15), "10.1.2.3" + std::string(7, ' '));
  EXPECT_EQ(at(msg, 176, 32), "dom" + std::string(29, ' '));
  EXPECT_EQ(at(msg, 208, 2), "07");
  EXPECT_EQ(at(msg, 210, 14), "20240102030405");
  EXPECT_EQ(at(msg, 224, 32), std::string(32, ' '));
  EXPECT_EQ(at(msg, 256, 5), "00000");
}

TEST(RelayOpening, LongTextsAreCutToTheirFields) {
  rly_state_reset();
  memset(en_agent, 'a', 32);
  en_agent[32] = '\0';
  memset(en_agtalias, 'b', 64);
  en_agtalias[64] = '\0';
  strcpy(en_ipaddr, "255.255.255.255");
  unsigned char msg[kOpenSize];
  rly_build_open(msg, 0);
  // At most 31 characters and a NUL; the field's last byte stays a space.
  EXPECT_EQ(at(msg, 32, 33), std::string(31, 'a') + std::string("\0 ", 2));
  EXPECT_EQ(at(msg, 65, 64), std::string(64, 'b'));
  EXPECT_EQ(at(msg, 129, 1), " ");
  EXPECT_EQ(at(msg, 161, 15), "255.255.255.255");
  EXPECT_EQ(at(msg, 176, 1), " ");
}

TEST(RelayPoll, FreshRequestAndAnswer) {
  unsigned char out[RLY_POLL_SIZE];
  rly_build_poll(out, nullptr, '0');
  EXPECT_EQ(at(out, 0, 32), std::string("\0\0\0\x1c$TAV0SSSP0000002\0\0" "00000     ", 32));
  _tavMasterhdr in;
  memcpy(&in, "XXXX0SSSP0000009\x01\x02" "12345abcde", 28);
  rly_build_poll(out, &in, '1');
  EXPECT_EQ(at(out, 0, 32), std::string("\0\0\0\x1cXXXX1SSSP0000009\x01\x02" "00000abcde", 32));
}

// ---- the message reader against hostile masters ---------------------------

enum class After { kNothing, kStall, kClose };

struct HostileCase {
  const char* name;
  std::string bytes;  // what the master sends
  After after;        // then
  bool kept;          // the session stays
  bool accepted;      // the session is open for records afterwards
  std::string reply;  // what the relay answers (empty: nothing)
};

std::string len_field(uint32_t v) {
  std::string s(4, '\0');
  reinterpret_cast<_tavMasterbuf*>(s.data())->pksz = v;
  return s;
}

std::string header(const char* h28) { return std::string(h28, 28); }

std::vector<HostileCase> hostile_cases() {
  const std::string poll = header("$TAV0SSSP0000002\0\0" "00000     ");
  const std::string odd_poll = header("@@@@0SSSP0000007\x05\x06" "99999zzzzz");
  const std::string poll_reply = len_field(28) + header("$TAV1SSSP0000002\0\0" "00000     ");
  const std::string odd_reply = len_field(28) + header("@@@@1SSSP0000007\x05\x06" "00000zzzzz");
  return {
      {"poll", len_field(28) + poll, After::kNothing, true, false, poll_reply},
      {"poll with a body", len_field(28 + 100) + odd_poll + std::string(100, 'B'), After::kNothing,
       true, false, odd_reply},
      {"poll with the largest body", len_field(RLY_MASTER_MSG_MAX) + poll +
           std::string(RLY_MASTER_MSG_MAX - 28, 'C'), After::kNothing, true, false, poll_reply},
      {"opening accepted", rlytest::master_frame('1', kOpen, "00000"), After::kNothing, true, true, ""},
      {"opening accepted with a body", rlytest::master_frame('1', kOpen, "00000", "welcome"),
       After::kNothing, true, true, ""},
      {"opening refused", rlytest::master_frame('1', kOpen, "00001"), After::kNothing, false, false, ""},
      {"opening refused with blanks", rlytest::master_frame('1', kOpen, "     "), After::kNothing, false,
       false, ""},
      {"unknown code", rlytest::master_frame('0', "ZZZZ000000", "00000"), After::kNothing, true, false, ""},
      {"a poll answer", rlytest::master_frame('1', kPoll, "00000"), After::kNothing, true, false, ""},
      {"an opening request", rlytest::master_frame('0', kOpen, "00000"), After::kNothing, true, false, ""},
      {"length 0", len_field(0), After::kNothing, false, false, ""},
      {"length shorter than a header", len_field(27) + std::string(27, 'x'), After::kNothing, false, false, ""},
      {"length just over the bound", len_field(RLY_MASTER_MSG_MAX + 1), After::kStall, false, false, ""},
      {"length 0x7fffffff", len_field(0x7fffffffu), After::kStall, false, false, ""},
      {"length 0xffffffff", len_field(0xffffffffu), After::kStall, false, false, ""},
      {"two bytes of a length, then silence", std::string("\0\0", 2), After::kStall, false, false, ""},
      {"two bytes of a length, then the end", std::string("\0\0", 2), After::kClose, false, false, ""},
      {"half a message, then silence", len_field(100) + poll + std::string(20, 'h'), After::kStall,
       false, false, ""},
      {"half a message, then the end", len_field(100) + poll, After::kClose, false, false, ""},
      {"the end at once", "", After::kClose, false, false, ""},
  };
}

class RelayMasterReader : public testing::Test {
 protected:
  void SetUp() override {
    rly_state_reset();
    en_master_max_cnt = 1;
    en_master_ptime = 1;  // waits inside a message: one second
    ASSERT_EQ(rly_sessions_alloc(), 0);
  }
  void TearDown() override {
    tav_master_close(-1);
    rly_sessions_free();
  }
};

TEST_F(RelayMasterReader, HostileMessages) {
  for (const HostileCase& c : hostile_cases()) {
    SCOPED_TRACE(c.name);
    int sp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
    en_master_fd[0] = sp[0];
    en_master_sock[0] = 0;
    const int data_sz_before = en_data_sz;
    std::thread writer([&] {
      rlytest::send_all(sp[1], c.bytes);
      if (c.after == After::kClose) shutdown(sp[1], SHUT_WR);
    });
    const long long t0 = rlytest::now_ms();
    int rc = rly_master_service(0);
    const long long took = rlytest::now_ms() - t0;
    writer.join();
    EXPECT_EQ(rc == 0, c.kept);
    EXPECT_LT(took, 3000) << "the reader's waits are bounded";
    if (c.kept) {
      EXPECT_EQ(en_master_fd[0], sp[0]);
      EXPECT_EQ(en_master_sock[0] == sp[0], c.accepted);
    } else {
      EXPECT_EQ(en_master_fd[0], -1);
      EXPECT_EQ(en_master_sock[0], -1);
    }
    // Never allocated beyond the bound.
    EXPECT_LE(en_data_sz, static_cast<int>(RLY_MASTER_MSG_MAX + 4));
    // A refused length grows nothing.
    if (!c.kept) {
      EXPECT_EQ(en_data_sz, data_sz_before);
    }
    // What came back.
    std::string reply;
    char buf[4096];
    ssize_t r;
    while ((r = recv(sp[1], buf, sizeof buf, MSG_DONTWAIT)) > 0) reply.append(buf, static_cast<size_t>(r));
    EXPECT_EQ(reply, c.reply);
    if (c.kept) {
      close(sp[0]);
      en_master_fd[0] = 0;
    }
    close(sp[1]);
  }
}

// A master that stops reading: the answer to its poll cannot go out, the
// writer gives up after the response time-out and the session is closed,
// never left with half a frame.
TEST_F(RelayMasterReader, AnswerThatCannotBeWrittenClosesTheSession) {
  int sp[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
  int small = 1;
  setsockopt(sp[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  // Fill the relay's direction until nothing more fits.
  fcntl(sp[0], F_SETFL, O_NONBLOCK);
  std::string junk(4096, 'j');
  while (send(sp[0], junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
  }
  fcntl(sp[0], F_SETFL, 0);
  en_master_fd[0] = sp[0];
  ASSERT_TRUE(rlytest::send_all(sp[1], rlytest::master_frame('0', kPoll, "00000")));
  const long long t0 = rlytest::now_ms();
  EXPECT_EQ(rly_master_service(0), -1);
  EXPECT_LT(rlytest::now_ms() - t0, 3000);
  EXPECT_EQ(en_master_fd[0], -1);
  close(sp[1]);
}

// A batch is written only into a session whose master still reads: once
// the master has closed its end (with or without a poll message left
// unread), the write is refused and the session is no longer offered; the
// kernel would have taken the bytes, and the master would never see them.
TEST_F(RelayMasterReader, BatchIsNotWrittenIntoASessionTheMasterClosed) {
  enum class Master { kReading, kClosed, kClosedAfterAPoll };
  const struct {
    const char* name;
    Master master;
  } cases[] = {{"master reading", Master::kReading},
               {"master closed", Master::kClosed},
               {"master closed after a poll", Master::kClosedAfterAPoll}};
  const std::string batch(1000, 'b');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rlytest::Listener l;
    ASSERT_TRUE(l.ok());
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(l.port()));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    auto m = l.accept();
    ASSERT_TRUE(m);
    en_master_fd[0] = fd;
    en_master_sock[0] = fd;
    if (c.master == Master::kClosedAfterAPoll) {
      ASSERT_TRUE(m->send(rlytest::master_frame('0', kPoll, "00000")));
    }
    if (c.master != Master::kReading) {
      m.reset();
      pollfd p{fd, POLLRDHUP, 0};
      ASSERT_EQ(poll(&p, 1, 2000), 1) << "the end reached the relay's side";
    }
    const long w = rly_session_write(0, batch.data(), batch.size());
    if (c.master == Master::kReading) {
      EXPECT_EQ(w, static_cast<long>(batch.size()));
      EXPECT_EQ(en_master_sock[0], fd);
      std::string got(batch.size(), '\0');
      EXPECT_EQ(recv(m->fd(), got.data(), got.size(), MSG_WAITALL), static_cast<ssize_t>(got.size()));
      EXPECT_EQ(got, batch);
    } else {
      EXPECT_EQ(w, -1);
      EXPECT_EQ(en_master_sock[0], -1) << "no writer is offered the session again";
    }
    close(fd);
    en_master_fd[0] = 0;
    en_master_sock[0] = 0;
  }
}

// Signals that interrupt the supervision loop's wait are no reason to drop
// the sessions: after a burst of them the session is the same and still
// answers polls; a stop request ends the loop.
TEST_F(RelayMasterReader, InterruptedWaitKeepsTheSessions) {
  rly_thread_reset();
  tav_set_signal();
  int sp[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp), 0);
  en_master_fd[0] = sp[0];
  en_master_sock[0] = sp[0];
  std::thread loop(rly_master_loop);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (int i = 0; i < 20; ++i) {
    pthread_kill(loop.native_handle(), RLY_STOP_SIGNO_BASE + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(en_master_fd[0], sp[0]);
  EXPECT_EQ(en_master_sock[0], sp[0]);
  EXPECT_TRUE(rlytest::send_all(sp[1], rlytest::master_frame('0', kPoll, "00000")));
  rlytest::Frame answer;
  EXPECT_EQ(rlytest::read_frame(sp[1], &answer, 3000), rlytest::Got::kFrame);
  EXPECT_EQ(answer.hdr().mtype[0], '1');
  rly_request_stop();
  loop.join();
  EXPECT_EQ(en_master_fd[0], sp[0]);
  close(sp[1]);
}

}  // namespace
