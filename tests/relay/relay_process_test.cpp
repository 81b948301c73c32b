// relayd and librelay as real processes: each test writes its own settings
// file (private queue keys, its own log directory), starts the relay against
// a master of the test's own on loopback, and checks what reaches it.
#include <signal.h>
#include <sys/msg.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "check_home_tree.h"
#include "relay_process_fixture.h"
#include "relay_test_support.h"
#include "temp_dir.h"

namespace {

using namespace rlytest;
using tav::master::kOpen;

TEST_F(RelayProcess, WithoutArgumentPrintsTheSettingsErrorAndFails) {
  start(RELAYD_PATH, false);
  const int status = exit_status(5000);
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
  EXPECT_NE(out().find("TavRLY config file() init error. code(-1551)"), std::string::npos) << out();
}

TEST_F(RelayProcess, MissingRequiredKeyEndsTheStartWithItsCode) {
  rlytest::erase(settings, "TAV_RLY_AGENT_NAME");
  start();
  EXPECT_EQ(exit_status(5000), -178 & 0xff);
  EXPECT_NE(out().find("TavRLY config file(" + cfg + ") init error. code(-1551)"), std::string::npos)
      << out();
}

TEST_F(RelayProcess, WithoutTcodeCountTheThreadsDoNotStart) {
  rlytest::erase(settings, "TAV_RLY_TCODE_QUEUE_COUNT");
  rlytest::erase(settings, "TAV_RLY_TCODE_QUEUE_NAME");
  start();
  EXPECT_EQ(exit_status(5000), -262 & 0xff);
  EXPECT_NE(log().find("thread start error(-669) !"), std::string::npos) << log();
}

TEST_F(RelayProcess, OpeningPollAnswerAndStop) {
  start();
  auto s = master.accept(10000);
  ASSERT_TRUE(s);
  Frame open;
  ASSERT_EQ(s->read(&open), Got::kFrame);
  ASSERT_EQ(open.bytes.size(), 261u);
  const std::string& b = open.bytes;
  EXPECT_EQ(b.substr(0, 32), std::string("\0\0\x01\x01$TAV0SSSC0000002\0\0" "00000     ", 32));
  const std::string agent = ("AG" + host_name()).substr(0, 31) + "_1";
  EXPECT_EQ(b.substr(32, agent.size() + 1), agent + std::string(1, '\0'));
  EXPECT_EQ(b[64], ' ');
  EXPECT_EQ(b.substr(65, 10), "test-alias");
  EXPECT_EQ(b.substr(129, std::min<size_t>(32, host_name().size())), host_name().substr(0, 32));
  EXPECT_EQ(b.substr(176, 11), "test-domain");
  EXPECT_EQ(b.substr(208, 2), "07");
  for (char c : b.substr(210, 14)) EXPECT_TRUE(c >= '0' && c <= '9') << b.substr(210, 14);
  EXPECT_EQ(b.substr(224, 32), std::string(32, ' '));
  EXPECT_EQ(b.substr(256, 5), "00000");

  // A poll with a body before the opening is answered: the header back,
  // with type "1" and result "00000".
  std::string poll = master_frame('0', tav::master::kPoll, "12345", std::string(50, 'p'));
  memcpy(poll.data() + 4 + 23, "etc!!", 5);
  ASSERT_TRUE(s->send(poll));
  Frame answer;
  ASSERT_EQ(s->read(&answer), Got::kFrame);
  EXPECT_EQ(answer.bytes, std::string("\0\0\0\x1c$TAV1SSSP0000002\0\0" "00000etc!!", 32));

  stop_cleanly();
  EXPECT_TRUE(s->ends(2000));
  EXPECT_NE(log().find("MZZP000001 exit !"), std::string::npos);
}

TEST_F(RelayProcess, RefusedOpeningClosesTheSessionAndItIsOpenedAgain) {
  start();
  auto first = master.accept(10000);
  ASSERT_TRUE(first);
  Frame f;
  ASSERT_TRUE(first->open(&f, "00001"));
  EXPECT_TRUE(first->ends(5000));
  auto second = accepted(master);
  ASSERT_TRUE(second);
  // Records travel on the accepted session.
  const int qid = wait_queue(gtuid_key, 5000);
  ASSERT_GE(qid, 0);
  expect_delivered(*second, qid, 1);
  stop_cleanly();
}

TEST_F(RelayProcess, GtuidRecordsArriveByteForByte) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  const int qid = wait_queue(gtuid_key, 5000);
  ASSERT_GE(qid, 0);
  constexpr int kRecords = 600;  // ten times what the queue holds at once
  std::thread producer([&] {
    for (int i = 0; i < kRecords; ++i) put(qid, record(288, i));
  });
  auto recs = batch_records(*s, "MZZP000001", 288, kRecords);
  producer.join();
  ASSERT_EQ(recs.size(), static_cast<size_t>(kRecords));
  for (int i = 0; i < kRecords; ++i) ASSERT_EQ(recs[static_cast<size_t>(i)], record(288, i)) << i;
  stop_cleanly();
}

TEST_F(RelayProcess, RelaydTcodeBatchesCarryTypeTwoRecords) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  const int qid = wait_queue(tcode_key, 5000);
  ASSERT_GE(qid, 0);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(put(qid, record(104, i)));
  ASSERT_TRUE(put(qid, record(168, 9)));  // not a relayd record: dropped
  ASSERT_TRUE(put(qid, record(104, 3)));
  auto recs = batch_records(*s, "MZZP000002", 104, 4);
  ASSERT_EQ(recs.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(104, i));
  stop_cleanly();
}

TEST_F(RelayProcess, RemovedQueueIsCreatedAgainAndRecordsFlow) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  const int qid = wait_queue(gtuid_key, 5000);
  ASSERT_GE(qid, 0);
  ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
  int again = -1;
  const long long end = now_ms() + 5000;
  while ((again = msgget(gtuid_key, 0)) < 0 && now_ms() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_GE(again, 0);
  expect_delivered(*s, again, 42);
  stop_cleanly();
}

TEST_F(RelayProcess, MasterDownAtStartIsWaitedFor) {
  const int port = free_port();
  rlytest::set(settings, "TAV_MST_1ST_MASTER_PORT", std::to_string(port));
  start();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  ASSERT_TRUE(relay->running());
  Listener late("127.0.0.1", port);
  ASSERT_TRUE(late.ok());
  auto s = accepted(late);
  ASSERT_TRUE(s) << "no session within the wait";
  EXPECT_NE(log().find("master wait."), std::string::npos);
  stop_cleanly();
}

TEST_F(RelayProcess, TwoSessionsAlternateBetweenTwoMasters) {
  Listener second("127.0.0.2", master.port());
  ASSERT_TRUE(second.ok());
  rlytest::set(settings, "TAV_MST_2ND_MASTER_IPADDR", "127.0.0.2");
  rlytest::set(settings, "TAV_RLY_MASTER_SESSION_COUNT", "2");
  start();
  Frame open1, open2;
  auto s1 = accepted(master, &open1);
  ASSERT_TRUE(s1);
  auto s2 = accepted(second, &open2);
  ASSERT_TRUE(s2);
  const std::string agent = ("AG" + host_name()).substr(0, 31);
  EXPECT_EQ(open1.bytes.substr(32, agent.size() + 2), agent + "_1");
  EXPECT_EQ(open2.bytes.substr(32, agent.size() + 2), agent + "_2");
  // Session 2 ends; the next attempt in the alternation goes to the first master.
  s2.reset();
  Frame open3;
  auto s3 = accepted(master, &open3);
  ASSERT_TRUE(s3);
  EXPECT_EQ(open3.bytes.substr(32, agent.size() + 2), agent + "_2");
  stop_cleanly();
}

// A master that stops reading must not freeze the relay: the batch that
// cannot go out closes the session, the relay opens another, and SIGUSR1
// still stops it in time.
TEST_F(RelayProcess, MasterThatStopsReadingDoesNotFreezeTheRelay) {
  Listener slow("127.0.0.1", 0, 4096);
  ASSERT_TRUE(slow.ok());
  rlytest::set(settings, "TAV_MST_1ST_MASTER_PORT", std::to_string(slow.port()));
  start();
  auto s = accepted(slow);
  ASSERT_TRUE(s);
  const int qid = wait_queue(gtuid_key, 5000);
  ASSERT_GE(qid, 0);
  std::atomic<bool> done{false};
  std::thread producer([&] {
    std::string text = record(288, 1);
    std::vector<char> msg(sizeof(long) + 288);
    long type = getpid();
    memcpy(msg.data(), &type, sizeof type);
    memcpy(msg.data() + sizeof type, text.data(), 288);
    while (!done) {
      if (msgsnd(qid, msg.data(), 288, IPC_NOWAIT) != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  auto next = slow.accept(20000);
  done = true;
  producer.join();
  ASSERT_TRUE(next) << "the stalled session was not replaced";
  EXPECT_NE(log().find("adt master send error"), std::string::npos) << log();
  stop_cleanly();
}

TEST_F(RelayProcess, HugeLengthFromTheMasterClosesTheSession) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->send(std::string("\xff\xff\xff\xf0" "$TAV0SSSP", 13)));
  EXPECT_TRUE(s->ends(5000));
  auto again = accepted(master);
  ASSERT_TRUE(again);
  stop_cleanly();
}

// With a check port the agent and delete threads run beside the readers:
// the agent answers a request for a registered port, and SIGUSR1 stops
// them all.
TEST_F(RelayProcess, CheckPortStartsTheAgentAndDeleteThreads) {
  const std::string home = dir.file("home");
  int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  getsockname(udp, reinterpret_cast<sockaddr*>(&a), &len);
  const int check_port = ntohs(a.sin_port);
  close(udp);
  rlytest::set(settings, "QEL_CHECK_UDP_PORT", std::to_string(check_port));
  rlytest::set(settings, "QEL_CHECK_HOME", home);
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  // The agent prepares the tree; a monitored server registers port 8123.
  const long long end = now_ms() + 5000;
  while (!std::filesystem::is_directory(home + "/port") && now_ms() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(std::filesystem::is_directory(home + "/port"));
  rlytest::LiveListener server(8123);
  ASSERT_TRUE(server.ok());
  ASSERT_TRUE(server.register_in(home));

  int c = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  timeval tv{3, 0};
  setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  a.sin_port = htons(static_cast<uint16_t>(check_port));
  const std::string req = "fn=connect,sock=7,tp=1,la=127.0.0.1,lp=40001,ra=127.0.0.1,rp=8123";
  ASSERT_EQ(sendto(c, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a),
            static_cast<ssize_t>(req.size()));
  char reply[8] = {};
  ASSERT_EQ(recv(c, reply, sizeof reply, 0), 2);
  close(c);
  EXPECT_EQ(std::string(reply, 2), "OK") << log();
  EXPECT_TRUE(std::filesystem::exists(home + "/port/127.0.0.1.40001"));
  stop_cleanly();
  const std::string l = log();
  EXPECT_NE(l.find("agent thread stop."), std::string::npos) << l;
  EXPECT_NE(l.find("delete thread stop."), std::string::npos) << l;
}

// librelay through a host program of our own.
TEST_F(RelayProcess, LibraryHostForwardsBothFamiliesAndStops) {
  start(RELAY_HOST_PATH);
  auto s = accepted(master);
  ASSERT_TRUE(s);
  const int gq = wait_queue(gtuid_key, 5000), tq = wait_queue(tcode_key, 5000);
  ASSERT_GE(gq, 0);
  ASSERT_GE(tq, 0);
  ASSERT_TRUE(put(gq, record(288, 5) + record(288, 6)));  // two records in one message
  auto g = batch_records(*s, "MZZP000001", 288, 2);
  ASSERT_EQ(g.size(), 2u);
  EXPECT_EQ(g[0], record(288, 5));
  EXPECT_EQ(g[1], record(288, 6));
  ASSERT_TRUE(put(tq, record(168, 8)));
  auto t = batch_records(*s, "MZZP000004", 168, 1);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], record(168, 8));
  stop_cleanly();
  EXPECT_NE(out().find("MZZP000001 returned 0"), std::string::npos) << out();
}

TEST_F(RelayProcess, LibraryHostGetsTheSettingsErrorCode) {
  rlytest::erase(settings, "TAV_MST_1ST_MASTER_PORT");
  start(RELAY_HOST_PATH);
  EXPECT_EQ(exit_status(5000), 1);
  EXPECT_NE(out().find("init error. code(-1716)"), std::string::npos) << out();
  EXPECT_NE(out().find("MZZP000001 returned -178"), std::string::npos) << out();
}

}  // namespace
