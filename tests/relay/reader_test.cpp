// Queue readers in this process: a private queue, master sessions that are
// socket pairs, and the reader thread itself. Records are checked byte for
// byte against what was put on the queue.
#include <poll.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "reader_fixture.h"
#include "relay_test_support.h"
#include "temp_dir.h"
#include "rly_batch.h"
#include "rly_build.h"
#include "rly_master.h"
#include "rly_reader.h"
#include "rly_state.h"
#include "rly_thread.h"

namespace {

using rlytest::Collector;
using rlytest::Frame;
using rlytest::RelayReader;

TEST_F(RelayReader, BatchesAlternateOverAcceptedSessionsStartingWithTheSecond) {
  accept_sessions(2);
  collect();
  ASSERT_GE(queue(0), 0);
  start_reader(0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, i)));
    ASSERT_TRUE(collector->wait_records(288, static_cast<size_t>(i + 1), 5000)) << i;
  }
  auto frames = collector->frames();
  ASSERT_EQ(frames.size(), 4u);
  for (size_t k = 0; k < frames.size(); ++k) {
    EXPECT_EQ(frames[k].first, k % 2 == 0 ? 1 : 0) << k;
    EXPECT_EQ(frames[k].second.code(), "MZZP000001");
    EXPECT_EQ(frames[k].second.length(), 36u + 288);
    EXPECT_EQ(frames[k].second.rec(288, 0), rlytest::record(288, static_cast<int>(k)));
  }
}

TEST_F(RelayReader, MessagesOfSeveralRecordsAndShortOnes) {
  accept_sessions(1);
  ASSERT_GE(queue(0), 0);
  // Queued before the reader starts, so that they are drained together.
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 1) + rlytest::record(288, 2)));
  ASSERT_TRUE(rlytest::put(qid, std::string(200, 'x')));  // less than a record: dropped
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 3)));
  collect();
  start_reader(0);
  ASSERT_TRUE(collector->wait_records(288, 3, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], rlytest::record(288, i + 1));
}

// The exact-size builds: a message larger than the receive limit used to fail
// with E2BIG for ever and block the queue; it is taken out and dropped.
TEST_F(RelayReader, MessageOverTheLimitIsDroppedAndTheQueueMovesOn) {
  rly_select_build(rly_build_relayd);
  accept_sessions(1);
  ASSERT_GE(queue(0), 0);
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 1)));
  ASSERT_TRUE(rlytest::put(qid, std::string(2000, 'L')));
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 2) + rlytest::record(288, 3)));  // not one record
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 4)));
  collect();
  start_reader(0);
  ASSERT_TRUE(collector->wait_records(288, 2, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0], rlytest::record(288, 1));
  EXPECT_EQ(recs[1], rlytest::record(288, 4));
  EXPECT_EQ(queued(), 0u);
}

TEST_F(RelayReader, TcodeRecordsOfEachBuild) {
  struct Case {
    const rly_build_t* build;
    int size;
    const char* code;
  } cases[] = {{&rly_build_relayd, 104, "MZZP000002"}, {&rly_build_lib, 168, "MZZP000004"},
               {&rly_build_jni, 168, "MZZP000004"}};
  accept_sessions(1);
  collect();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.build->name);
    rly_select_build(*c.build);
    ASSERT_GE(queue(1), 0);
    start_reader(1);
    const size_t before = collector->count(c.size);
    ASSERT_TRUE(rlytest::put(qid, rlytest::record(c.size, 7)));
    ASSERT_TRUE(collector->wait_records(c.size, before + 1, 5000));
    auto frames = collector->frames();
    const Frame& f = frames.back().second;
    EXPECT_EQ(f.code(), c.code);
    EXPECT_EQ(f.length(), 36u + static_cast<unsigned>(c.size));
    EXPECT_EQ(f.rec(c.size, 0), rlytest::record(c.size, 7));
    stop_reader();
  }
}

// Records taken before any session is accepted are held and go out, in
// order, once one is.
TEST_F(RelayReader, WithoutAcceptedSessionRecordsWaitForOne) {
  ASSERT_GE(queue(0), 0);
  collect();
  start_reader(0);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, i)));
  // The reader takes what is there (how much before it holds the batch
  // depends on timing) and offers it; nobody takes it.
  const long long end = rlytest::now_ms() + 3000;
  while (queued() == 10 && rlytest::now_ms() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_LT(queued(), 10u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 99)));
  accept_sessions(1);
  ASSERT_TRUE(collector->wait_records(288, 11, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 11u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], rlytest::record(288, i)) << i;
  EXPECT_EQ(recs[10], rlytest::record(288, 99));
}

// A full batch near the end of the buffer: with a small tcode margin and the
// largest gtuid margin the receive limit (28832 bytes) exceeds the room left.
// One single record and then messages of 48 records (8064 bytes) are queued
// before the reader starts, so that it fills its batch without pause; at 3073
// records only 8020 bytes are left, less than the next message. The batch
// must go out there: every record arrives once, in order, no batch holds more
// than 3120, and nothing is written past the buffer.
TEST_F(RelayReader, LargeMessagesNeverOverrunTheBatch) {
  if (!rlytest::private_ipc(1 << 20)) GTEST_SKIP() << "needs a queue larger than the system default";
  en_gtuid_msend_count = 100;
  en_tcode_msend_count = 1;
  en_tcode_queue_maxmsg = 4000;  // 672000 bytes
  accept_sessions(1);
  ASSERT_GE(queue(1), 0);
  constexpr int kPerMessage = 48;  // under the system's message size limit
  constexpr int kMessages = 70;
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(168, 0)));
  for (int m = 0; m < kMessages; ++m) {
    std::string text;
    for (int k = 0; k < kPerMessage; ++k) text += rlytest::record(168, 1 + m * kPerMessage + k);
    ASSERT_TRUE(rlytest::put(qid, text));
  }
  constexpr size_t kTotal = 1 + kMessages * kPerMessage;
  collect();
  start_reader(1);
  ASSERT_TRUE(collector->wait_records(168, kTotal, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  auto recs = collector->records(168);
  ASSERT_EQ(recs.size(), kTotal);
  for (size_t i = 0; i < recs.size(); ++i)
    ASSERT_EQ(recs[i], rlytest::record(168, static_cast<int>(i))) << i;
  auto frames = collector->frames();
  for (const auto& [session, f] : frames) EXPECT_LE(f.count(), 3120u);
  EXPECT_EQ(frames.front().second.count(), 3073u);
}

// Records arriving faster than the reader drains them (all queued before it
// starts): with the default margins a gtuid batch goes out at 1790 records,
// and the rest when the queue is empty.
TEST_F(RelayReader, BatchGoesOutAtTheThresholdWhileTheQueueIsFull) {
  if (!rlytest::private_ipc(1 << 20)) GTEST_SKIP() << "needs a queue larger than the system default";
  accept_sessions(1);
  ASSERT_GE(queue(0), 0);
  for (int i = 0; i < 1800; ++i) ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, i)));
  collect();
  start_reader(0);
  ASSERT_TRUE(collector->wait_records(288, 1800, 10000));
  auto frames = collector->frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].second.count(), 1790u);
  EXPECT_EQ(frames[0].second.length(), 36u + 1790 * 288);
  EXPECT_EQ(frames[1].second.count(), 10u);
  auto recs = collector->records(288);
  for (size_t i = 0; i < recs.size(); ++i) ASSERT_EQ(recs[i], rlytest::record(288, static_cast<int>(i))) << i;
}

// A master that stops reading: the batch cannot go out whole within the
// response time-out, the session is shut down and no longer offered to
// writers, and the reader goes on.
TEST_F(RelayReader, ShortWriteShutsTheSessionDown) {
  accept_sessions(1);
  int small = 4096;
  setsockopt(sp[0][0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_GE(queue(0), 0);
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, i)));
  start_reader(0);
  const long long end = rlytest::now_ms() + 5000;
  while (__atomic_load_n(&en_master_sock[0], __ATOMIC_ACQUIRE) > 0 && rlytest::now_ms() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(__atomic_load_n(&en_master_sock[0], __ATOMIC_ACQUIRE), -1);
  // The master sees the beginning of a frame and then the end of the stream.
  std::string got;
  char buf[65536];
  for (;;) {
    pollfd p{sp[0][1], POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) break;
    ssize_t r = recv(sp[0][1], buf, sizeof buf, 0);
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  ASSERT_GE(got.size(), 4u);
  EXPECT_LT(got.size(), 40u + 40 * 288) << "the frame was not written whole";
  // Stopping does not hang on the dead session.
  const long long t0 = rlytest::now_ms();
  stop_reader();
  EXPECT_LT(rlytest::now_ms() - t0, 3000);
}

TEST_F(RelayReader, QueueRemovedWhileReadingIsCreatedAgain) {
  accept_sessions(1);
  collect();
  ASSERT_GE(queue(0), 0);
  start_reader(0);
  ASSERT_EQ(msgctl(qid, IPC_RMID, nullptr), 0);
  const long long end = rlytest::now_ms() + 5000;
  int again = -1;
  while (again < 0 && rlytest::now_ms() < end) {
    again = msgget(key, 0);
    if (again < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(again, 0) << "the reader did not create the queue again";
  EXPECT_NE(again, qid);
  qid = again;
  ASSERT_TRUE(rlytest::put(qid, rlytest::record(288, 5)));
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
  EXPECT_EQ(collector->records(288)[0], rlytest::record(288, 5));
}

// A queue the reader may not read (a lasting error): it waits longer after
// each failure instead of spinning, and a stop request still ends it at once,
// in the middle of a wait.
TEST(RelayQueue, LastingErrorsBackOffAndStillHonourTheStop) {
  if (geteuid() != 0) GTEST_SKIP() << "needs a queue of another user";
  const key_t k = rlytest::test_key(0x22);
  rlytest::QueueKeys keys{{k}};
  const int qid = msgget(k, 0600 | IPC_CREAT);  // root's, closed to others
  ASSERT_GE(qid, 0);
  qel::test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  chmod(dir.path().c_str(), 0777);
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    rly_state_reset();
    rly_thread_reset();
    tav_set_signal();
    en_log = 1;
    snprintf(en_log_path, sizeof en_log_path, "%s", dir.path().c_str());
    strcpy(en_log_file, "rly");
    en_master_max_cnt = 1;
    if (rly_sessions_alloc() != 0) _exit(4);
    en_thread = static_cast<tav_thr*>(calloc(1, sizeof(tav_thr)));
    tav_thr* t = &en_thread[0];
    t->signo_offset = 1;
    t->run = tav_adt_run;
    t->qkey = k;
    t->qid = qid;
    if (tav_thr_start(t) != 0) _exit(5);
    en_thread_count = 1;
    // 10 + 20 + 40 + 80 + 160 + 320 ms: the seventh wait (640 ms) is under way.
    usleep(900 * 1000);
    const long long t0 = rlytest::now_ms();
    tav_thread_stop();
    _exit(rlytest::now_ms() - t0 < 300 ? 0 : 6);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << "the stop waited for the back-off";
  std::string log;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    log += qel::test::TempDir::read(e.path().string());
  size_t errors = 0;
  for (size_t at = log.find("q_receive error"); at != std::string::npos; at = log.find("q_receive error", at + 1))
    ++errors;
  EXPECT_GE(errors, 5u) << log;
  EXPECT_LE(errors, 8u) << "no back-off: " << errors << " attempts";
  EXPECT_NE(log.find("retry in 10 ms"), std::string::npos);
  EXPECT_NE(log.find("retry in 320 ms"), std::string::npos) << log;
  EXPECT_NE(log.find("adt thread stop."), std::string::npos);
}

TEST(RelayQueue, ByteLimitRaisedOrRefusalLoggedOnce) {
  const key_t k1 = rlytest::test_key(0x20), k2 = rlytest::test_key(0x21);
  rlytest::QueueKeys keys{{k1, k2}};
  rly_state_reset();
  en_gtuid_queue_maxmsg = 100;
  // Raised where the system allows queues of that size: in a namespace of
  // this test's own with a limit of 1 MiB.
  if (rlytest::private_ipc(1 << 20)) {
    int id = rly_que_create(k1, 0666 | IPC_CREAT);
    ASSERT_GE(id, 0);
    msqid_ds ds{};
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    ds.msg_qbytes = 16384;  // the usual system default
    ASSERT_EQ(msgctl(id, IPC_SET, &ds), 0);
    EXPECT_EQ(rly_que_raise(id, 100, 288), 0);
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qbytes, 100u * 288);
    EXPECT_EQ(rly_que_raise(id, 10, 288), 0) << "already large enough";
    ASSERT_EQ(msgctl(id, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qbytes, 100u * 288);
  }
  // Beyond what the system allows (and without privileges: a child that
  // gives them up) the raise is refused, the queue keeps its limit, and the
  // refusal is logged once however often it happens.
  qel::test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  chmod(dir.path().c_str(), 0777);
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    en_log = 1;
    snprintf(en_log_path, sizeof en_log_path, "%s", dir.path().c_str());
    strcpy(en_log_file, "rly");
    int a = rly_que_create(k2, 0666 | IPC_CREAT);
    if (a < 0) _exit(4);
    msqid_ds ds{};
    msgctl(a, IPC_STAT, &ds);
    const unsigned long before = ds.msg_qbytes;
    if (rly_que_raise(a, 100000, 288) != -1) _exit(5);
    if (rly_que_raise(a, 200000, 288) != -1) _exit(5);
    msgctl(a, IPC_STAT, &ds);
    _exit(ds.msg_qbytes == before ? 0 : 6);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  std::string log;
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    log += qel::test::TempDir::read(e.path().string());
  size_t lines = 0;
  for (size_t at = log.find("not raised"); at != std::string::npos; at = log.find("not raised", at + 1))
    ++lines;
  EXPECT_EQ(lines, 1u) << log;
  // The line tells the limit the queue kept.
  msqid_ds ds{};
  ASSERT_EQ(msgctl(msgget(k2, 0), IPC_STAT, &ds), 0);
  EXPECT_NE(log.find("a queue holds " + std::to_string(ds.msg_qbytes) + " bytes"), std::string::npos) << log;
}

}  // namespace
