// The record rings of relayd and librelay as real processes: records written
// into a ring as a probe writes them reach the test's master byte for byte;
// the ring outlives a stop or a kill of the relay; loss is counted and shown;
// a spoiled ring is replaced; rings switched off leave the queues alone.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_ring.h"
#include "relay_process_fixture.h"

namespace {

namespace ring = tav::ring;
using namespace rlytest;
using namespace std::chrono_literals;

template <typename T>
std::atomic_ref<T> at(T& field) {
  return std::atomic_ref<T>(field);
}

class RingProcess : public RelayProcess {
 protected:
  void TearDown() override {
    for (ring::View& v : views) ring::unmap(&v);
  }
  // The ring the running relay drains with `key`, once it has made it.
  ring::View& ring_of(key_t key) {
    views.emplace_back();
    ring::View& v = views.back();
    const long long end = now_ms() + 10000;
    while (now_ms() < end) {
      ring::unmap(&v);
      if (ring::open_existing(key, true, &v) == ring::OpenResult::kOpened && ring::live(v) &&
          at(v.h->relay_pid).load() == relay->pid())
        return v;
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "no ring with key " << key_text(key) << "\n" << log();
    return v;
  }
  void put_all(ring::View& v, uint32_t kind, int size, int from, int to) {
    for (int i = from; i < to; ++i) {
      const std::string r = record(size, i);
      ASSERT_EQ(ring::put(v, kind, r.data(), r.size()), ring::Put::kDone) << i;
    }
  }
  void expect_records(Session& s, const char* code, int size, int from, int to) {
    const auto recs = batch_records(s, code, size, static_cast<size_t>(to - from));
    ASSERT_EQ(recs.size(), static_cast<size_t>(to - from)) << log();
    for (int i = from; i < to; ++i) EXPECT_EQ(recs[static_cast<size_t>(i - from)], record(size, i)) << i;
  }
  // The relay starts again: records `from` to `to` arrive on its session.
  void restart_and_expect(int from, int to) {
    start();
    auto s = accepted(master);
    ASSERT_TRUE(s) << log();
    expect_records(*s, "MZZP000001", 288, from, to);
    stop_cleanly();
  }
  // `relayd --rings` on the test's settings: its output and exit status.
  std::pair<std::string, int> status_command() {
    const std::string path = dir.file("status.txt");
    Child c({RELAYD_PATH, "--rings", cfg}, path);
    int st = 0;
    EXPECT_TRUE(c.wait(10000, &st));
    return {qel::test::TempDir::read(path), WIFEXITED(st) ? WEXITSTATUS(st) : -1};
  }

  std::deque<ring::View> views;
};

class RingBuilds : public RingProcess, public testing::WithParamInterface<const char*> {};

TEST_P(RingBuilds, RecordsThroughTheRingArriveByteForByte) {
  const bool relayd = std::string(GetParam()) == RELAYD_PATH;
  start(GetParam());
  auto s = accepted(master);
  ASSERT_TRUE(s) << log();
  ring::View& g = ring_of(gtuid_key);
  ring::View& t = ring_of(tcode_key);
  put_all(g, 1, 288, 0, 40);
  expect_records(*s, "MZZP000001", 288, 0, 40);
  // relayd forwards the type-2 records of a tcode ring, librelay type 4.
  put_all(t, relayd ? 2 : 4, relayd ? 104 : 168, 100, 110);
  expect_records(*s, relayd ? "MZZP000002" : "MZZP000004", relayd ? 104 : 168, 100, 110);
  EXPECT_EQ(g.h->taken, 40u);
  stop_cleanly();
}

INSTANTIATE_TEST_SUITE_P(Relays, RingBuilds, testing::Values(RELAYD_PATH, RELAY_HOST_PATH),
                         [](const auto& info) {
                           return std::string(info.param) == RELAYD_PATH ? "relayd" : "librelay";
                         });

TEST_F(RingProcess, RingOutlivesAStopAndItsRecordsGoOutAfterTheRestart) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  ring::View& v = ring_of(gtuid_key);
  put_all(v, 1, 288, 0, 3);
  expect_records(*s, "MZZP000001", 288, 0, 3);
  stop_cleanly();
  EXPECT_TRUE(ring::live(v)) << "probes keep writing while no relay runs";
  EXPECT_EQ(v.h->relay_pid, 0);
  put_all(v, 1, 288, 3, 8);
  restart_and_expect(3, 8);
  EXPECT_EQ(v.h->relay_pid, 0) << "the same ring went on, drained and left again";
  EXPECT_TRUE(ring::live(v));
}

TEST_F(RingProcess, KilledRelaysRingIsTakenOverByTheNextOne) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  ring::View& v = ring_of(gtuid_key);
  relay->signal(SIGKILL);
  EXPECT_EQ(exit_status(5000), 128 + SIGKILL);
  put_all(v, 1, 288, 0, 5);
  restart_and_expect(0, 5);
}

// No master accepts: the relay holds its batch, and is killed holding it.
// The records are still in the ring, not counted as taken, and the next
// relay sends them.
TEST_F(RingProcess, RecordsOfABatchNoMasterTookOutliveAKilledRelay) {
  start();
  auto unanswered = master.accept();  // the opening is never answered
  ASSERT_TRUE(unanswered) << log();
  ring::View& v = ring_of(gtuid_key);
  put_all(v, 1, 288, 0, 5);
  for (const long long end = now_ms() + 5000; log().find("batch held") == std::string::npos && now_ms() < end;)
    std::this_thread::sleep_for(20ms);
  ASSERT_NE(log().find("batch held"), std::string::npos) << log();
  relay->signal(SIGKILL);
  EXPECT_EQ(exit_status(5000), 128 + SIGKILL);
  EXPECT_EQ(at(v.h->taken).load(), 0u) << "no batch was written";
  EXPECT_EQ(at(v.h->tail).load(), 0u) << "the next relay starts at the first record";
  // Connections the killed relay left in the backlog are not the next relay's.
  unanswered.reset();
  while (master.accept(300)) {
  }
  restart_and_expect(0, 5);
  EXPECT_EQ(at(v.h->taken).load(), 5u);
}

// Every slot holds a record of the batch no master took: the ring stays
// full (a further record is dropped, no slot is handed out again), and the
// next relay takes the same ring over and sends them all.
TEST_F(RingProcess, RingFullOfAHeldBatchGivesNoSlotAway) {
  set(settings, "TAV_RLY_RING_GTUID_SLOTS", "64");
  start();
  auto unanswered = master.accept();
  ASSERT_TRUE(unanswered) << log();
  ring::View& v = ring_of(gtuid_key);
  put_all(v, 1, 288, 0, 64);
  for (const long long end = now_ms() + 5000; log().find("batch held") == std::string::npos && now_ms() < end;)
    std::this_thread::sleep_for(20ms);
  std::this_thread::sleep_for(200ms);  // the reader has looked at the ring again since
  EXPECT_EQ(ring::put(v, 1, record(288, 64).data(), 288), ring::Put::kFull);
  relay->signal(SIGKILL);
  EXPECT_EQ(exit_status(5000), 128 + SIGKILL);
  unanswered.reset();
  while (master.accept(300)) {
  }
  restart_and_expect(0, 64);
  EXPECT_TRUE(ring::live(v)) << "the same ring went on";
}

TEST_F(RingProcess, FullRingCountsItsDropsAndTheStatusShowsThem) {
  set(settings, "TAV_RLY_RING_GTUID_SLOTS", "64");
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  ring::View& v = ring_of(gtuid_key);
  EXPECT_EQ(v.capacity(), 64u);
  stop_cleanly();
  int done = 0;
  for (int i = 0; i < 100; ++i) done += ring::put(v, 1, record(288, i).data(), 288) == ring::Put::kDone;
  EXPECT_EQ(done, 64);
  EXPECT_EQ(v.h->dropped, 36u);
  const auto [text, code] = status_command();
  EXPECT_EQ(code, 0) << text;
  char key_column[16];
  snprintf(key_column, sizeof key_column, "0x%08x", static_cast<unsigned>(gtuid_key));
  std::istringstream lines(text);
  std::string line, gtuid_line;
  while (std::getline(lines, line))
    if (line.rfind(key_column, 0) == 0) gtuid_line = line;
  ASSERT_FALSE(gtuid_line.empty()) << text;
  std::istringstream f(gtuid_line);
  std::string key, family, relay_state;
  unsigned long long slots, fill, taken, dropped, skipped, rejected;
  f >> key >> family >> slots >> fill >> taken >> dropped >> skipped >> rejected >> relay_state;
  EXPECT_EQ(family, "gtuid");
  EXPECT_EQ(slots, 64u);
  EXPECT_EQ(fill, 64u);
  EXPECT_EQ(dropped, 36u);
  EXPECT_EQ(relay_state, "stopped");
  restart_and_expect(0, 64);
}

TEST_F(RingProcess, StatusNamesMissingRingsAndUnreadableSettings) {
  set(settings, "TAV_RLY_RINGS", "OFF");
  cfg = dir.write("relay.cfg", settings_text(settings));
  auto [text, code] = status_command();
  EXPECT_EQ(code, 1) << text;
  EXPECT_NE(text.find("rings are off"), std::string::npos) << text;
  EXPECT_NE(text.find("no ring"), std::string::npos) << text;
  rlytest::erase(settings, "TAV_RLY_AGENT_NAME");
  cfg = dir.write("relay.cfg", settings_text(settings));
  std::tie(text, code) = status_command();
  EXPECT_EQ(code, 2) << text;
}

// Random bytes over a running relayd's ring: it keeps running, replaces
// the ring when the header is spoiled, and forwards well-formed records
// written afterwards into the ring that has the key.
TEST_F(RingProcess, ScribbledRingNeitherStopsNorCrashesTheRelay) {
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  ring_of(gtuid_key);
  std::mt19937_64 rnd(4711);
  for (const long long until = now_ms() + 1000; now_ms() < until;) {
    ring::View v;
    if (ring::open_existing(gtuid_key, true, &v) == ring::OpenResult::kOpened) {
      auto* bytes = reinterpret_cast<unsigned char*>(v.h);
      for (int i = 0; i < 32; ++i) bytes[rnd() % (sizeof(ring::Header) + 4 * sizeof(ring::Slot))] =
          static_cast<unsigned char>(rnd());
      ring::unmap(&v);
    }
    std::this_thread::sleep_for(3ms);
  }
  ASSERT_TRUE(relay->running()) << log();
  std::this_thread::sleep_for(1s);
  for (int i = 0; i < 10; ++i) {
    bool done = false;
    for (const long long end = now_ms() + 5000; !done && now_ms() < end;) {
      ring::View v;
      if (ring::open_existing(gtuid_key, true, &v) == ring::OpenResult::kOpened && ring::live(v))
        done = ring::put(v, 1, record(288, i).data(), 288) == ring::Put::kDone;
      ring::unmap(&v);
      if (!done) std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(done) << i << "\n" << log();
  }
  // Records the scribbles made look sound may come first; ours come last.
  std::vector<std::string> recs;
  for (const long long end = now_ms() + 10000; now_ms() < end;) {
    auto more = batch_records(*s, "MZZP000001", 288, 1);
    recs.insert(recs.end(), more.begin(), more.end());
    if (recs.size() >= 10 && recs.back() == record(288, 9)) break;
  }
  ASSERT_GE(recs.size(), 10u) << log();
  for (int i = 0; i < 10; ++i) EXPECT_EQ(recs[recs.size() - 10 + static_cast<size_t>(i)], record(288, i)) << i;
  EXPECT_TRUE(relay->running());
  stop_cleanly();
}

TEST_F(RingProcess, RingsOffRemoveTheRingAndTheQueueCarriesTheRecords) {
  start();
  auto first = accepted(master);  // kept open: a closed session would make the relay connect again
  ASSERT_TRUE(first);
  ring::View& v = ring_of(gtuid_key);
  stop_cleanly();
  set(settings, "TAV_RLY_RINGS", "OFF");
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s) << log() << out();
  EXPECT_FALSE(ring::live(v)) << "producers leave the ring for the queue";
  EXPECT_LT(shmget(gtuid_key, 0, 0), 0);
  expect_delivered(*s, wait_queue(gtuid_key, 5000), 1);
  stop_cleanly();
}

TEST_F(RingProcess, SegmentThatIsNotARingKeepsItsKeyAndTheQueueWorks) {
  const int id = shmget(gtuid_key, 8, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  start();
  auto s = accepted(master);
  ASSERT_TRUE(s);
  expect_delivered(*s, wait_queue(gtuid_key, 5000), 1);
  EXPECT_EQ(shmget(gtuid_key, 0, 0), id);
  EXPECT_NE(log().find("key held by a segment that is not a ring"), std::string::npos) << log();
  stop_cleanly();
}

}  // namespace
