// Ring readers in this process: the reader thread makes (or takes over) the
// ring with the key, the test writes into it as a probe would, and the
// records are checked byte for byte at the sessions.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_ring.h"
#include "reader_fixture.h"
#include "rly_ring.h"

namespace {

namespace ring = tav::ring;
using rlytest::Frame;
using rlytest::now_ms;
using rlytest::record;
using namespace std::chrono_literals;

template <typename T>
std::atomic_ref<T> at(T& field) {
  return std::atomic_ref<T>(field);
}

class RingReader : public rlytest::RelayReader {
 protected:
  // Starts the ring reader of family `qtype` and attaches to its ring.
  void start_ring(int qtype = 0) {
    start_reader(qtype, rly_ring_run);
    ASSERT_TRUE(attach()) << "the reader made no ring";
  }
  // Attaches to the ring that the reader drains at the key now (a new one
  // after a replacement); true once there is one.
  bool attach(int timeout_ms = 5000) {
    const long long end = now_ms() + timeout_ms;
    for (;;) {
      ring::unmap(&v);
      if (ring::open_existing(key, true, &v) == ring::OpenResult::kOpened && ring::live(v) &&
          at(v.h->relay_pid).load() == getpid())
        return true;
      if (now_ms() > end) return false;
      std::this_thread::sleep_for(10ms);
    }
  }
  void put(uint32_t kind, const std::string& rec) {
    ASSERT_EQ(ring::put(v, kind, rec.data(), rec.size()), ring::Put::kDone);
  }
  // A ring the test makes at the key, as a previous relay would have left it.
  ring::View leave_ring(uint32_t capacity) {
    const int id = shmget(key, ring::bytes_for(capacity), IPC_CREAT | IPC_EXCL | 0600);
    EXPECT_GE(id, 0);
    void* base = shmat(id, nullptr, 0);
    ring::format(base, capacity, ring::kGtuidFamily, key, 4242, 0600, 1);
    ring::View left;
    EXPECT_EQ(ring::check(base, ring::bytes_for(capacity), &left), ring::OpenResult::kOpened);
    left.shmid = id;
    return left;
  }
  void TearDown() override {
    stop_reader();
    ring::unmap(&v);
    RelayReader::TearDown();
  }

  ring::View v;
};

TEST_F(RingReader, RecordsReachTheSessionsByteForByteInOrder) {
  accept_sessions(1);
  collect();
  start_ring();
  for (int i = 0; i < 50; ++i) put(1, record(288, i));
  ASSERT_TRUE(collector->wait_records(288, 50, 5000));
  std::this_thread::sleep_for(100ms);
  const auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(288, i)) << i;
  for (const auto& [session, f] : collector->frames()) EXPECT_EQ(f.code(), "MZZP000001");
  EXPECT_EQ(v.h->taken, 50u);
  EXPECT_EQ(v.h->tail, 50u);
}

// Each build takes from a tcode ring what its queue reader takes from a
// message of the same size: relayd whole type-2 records only, librelay-jni
// whole type-4 records, librelay type-4 records and the first 168 bytes of a
// type-6 record.
TEST_F(RingReader, TcodeRecordsAsEachBuildTakesThemFromTheQueue) {
  const struct {
    const rly_build_t* build;
    const char* code;
    int size;  // of the batch's records
    int forwarded[3];  // of the type-2, type-4 and type-6 records put
  } cases[] = {{&rly_build_relayd, "MZZP000002", 104, {1, 0, 0}},
               {&rly_build_lib, "MZZP000004", 168, {0, 1, 1}},
               {&rly_build_jni, "MZZP000004", 168, {0, 1, 0}}};
  accept_sessions(1);
  collect();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.build->name);
    rly_select_build(*c.build);
    start_ring(1);
    const size_t before = collector->records(c.size).size();
    const std::string r2 = record(104, 2), r4 = record(168, 4), r6 = record(296, 6);
    put(2, r2);
    put(4, r4);
    put(6, r6);
    put(1, record(288, 1));  // not a tcode record: rejected
    const int want = c.forwarded[0] + c.forwarded[1] + c.forwarded[2];
    ASSERT_TRUE(collector->wait_records(c.size, before + static_cast<size_t>(want), 5000));
    const long long end = now_ms() + 2000;
    while (v.h->tail < 4 && now_ms() < end) std::this_thread::sleep_for(10ms);
    const auto recs = collector->records(c.size);
    std::vector<std::string> expect;
    if (c.forwarded[0]) expect.push_back(r2);
    if (c.forwarded[1]) expect.push_back(r4);
    if (c.forwarded[2]) expect.push_back(r6.substr(0, 168));
    ASSERT_EQ(recs.size() - before, expect.size());
    for (size_t i = 0; i < expect.size(); ++i) EXPECT_EQ(recs[before + i], expect[i]) << i;
    EXPECT_EQ(collector->frames().back().second.code(), c.code);
    EXPECT_EQ(v.h->rejected, 1u);
    stop_reader();
    ring::unmap(&v);
    { rlytest::QueueKeys again{{key}}; }  // the next build makes its own ring
  }
}

TEST_F(RingReader, SlotsOfTheWrongSizeOrKindAreRejected) {
  accept_sessions(1);
  collect();
  start_ring();
  put(1, record(200, 1));   // short
  put(9, record(288, 2));   // no such record
  put(2, record(104, 3));   // a tcode record in a gtuid ring
  put(1, record(288, 4));
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
  std::this_thread::sleep_for(100ms);
  const auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0], record(288, 4));
  EXPECT_EQ(v.h->rejected, 3u);
}

// A writer killed between reserving and publishing: the records behind its
// position come out once the bound has passed, its position is counted as
// skipped, and it cannot publish afterwards.
TEST_F(RingReader, PositionNeverPublishedIsGivenUpWithinTheBound) {
  accept_sessions(1);
  collect();
  start_ring();
  ring::Reservation dead;
  ASSERT_TRUE(ring::reserve(v, &dead));
  const long long t0 = now_ms();
  for (int i = 0; i < 3; ++i) put(1, record(288, i));
  ASSERT_TRUE(collector->wait_records(288, 3, 5000));
  const long long took = now_ms() - t0;
  EXPECT_GE(took, 90) << "the reader waited for the reserved position first";
  EXPECT_LT(took, 3000);
  EXPECT_EQ(v.h->skipped, 1u);
  EXPECT_EQ(ring::publish(v, dead, 1, 288), ring::Put::kLate);
  const auto recs = collector->records(288);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(288, i));
}

// `head` moved far forward (within a lap): one wait gives all those
// positions up, and producers write again.
TEST_F(RingReader, HeadMovedForwardCostsOneWait) {
  accept_sessions(1);
  collect();
  start_ring();
  at(v.h->head).fetch_add(5000);
  const long long t0 = now_ms();
  const long long end = t0 + 5000;
  while (v.h->tail < 5000 && now_ms() < end) std::this_thread::sleep_for(10ms);
  EXPECT_LT(now_ms() - t0, 3000) << "positions were given up one wait at a time";
  EXPECT_EQ(v.h->skipped, 5000u);
  // The slot at the moved head held an older lap's value: set right once empty.
  const long long until = now_ms() + 3000;
  ring::Put p = ring::Put::kFull;
  while ((p = ring::put(v, 1, record(288, 7).data(), 288)) != ring::Put::kDone && now_ms() < until)
    std::this_thread::sleep_for(10ms);
  ASSERT_EQ(p, ring::Put::kDone);
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
  EXPECT_EQ(collector->records(288).back(), record(288, 7));
}

// Without an accepted session the batch is held: the records after it wait
// in the ring, and all go out in order once a session is accepted.
TEST_F(RingReader, HeldBatchLeavesTheRestInTheRing) {
  collect();
  start_ring();
  for (int i = 0; i < 5; ++i) put(1, record(288, i));
  const long long end = now_ms() + 3000;
  while (v.h->tail == 0 && now_ms() < end) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(300ms);
  for (int i = 5; i < 10; ++i) put(1, record(288, i));
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(v.h->tail, 10u) << "records taken while the batch is held";
  accept_sessions(1);
  ASSERT_TRUE(collector->wait_records(288, 10, 5000));
  const auto recs = collector->records(288);
  ASSERT_EQ(recs.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(288, i)) << i;
}

TEST_F(RingReader, RingLeftByAPreviousRelayIsTakenOverWithItsRecords) {
  accept_sessions(1);
  collect();
  ring::View left = leave_ring(static_cast<uint32_t>(en_ring_gtuid_slots));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ring::put(left, 1, record(288, i).data(), 288), ring::Put::kDone);
  start_ring();
  EXPECT_EQ(v.shmid, left.shmid) << "the same segment goes on";
  EXPECT_EQ(v.generation, left.generation);
  ASSERT_TRUE(collector->wait_records(288, 3, 5000));
  const auto recs = collector->records(288);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(288, i));
  EXPECT_EQ(left.h->relay_pid, getpid());
  ring::unmap(&left);
}

TEST_F(RingReader, RingOfAnotherSizeIsReplacedAfterItsRecordsAreTaken) {
  accept_sessions(1);
  collect();
  ring::View left = leave_ring(64);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ring::put(left, 1, record(288, i).data(), 288), ring::Put::kDone);
  start_ring();
  EXPECT_NE(v.shmid, left.shmid);
  EXPECT_EQ(v.capacity(), static_cast<uint64_t>(en_ring_gtuid_slots));
  EXPECT_FALSE(ring::live(left)) << "producers of the old ring move on";
  ASSERT_TRUE(collector->wait_records(288, 3, 5000));
  put(1, record(288, 3));
  ASSERT_TRUE(collector->wait_records(288, 4, 5000));
  const auto recs = collector->records(288);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(recs[static_cast<size_t>(i)], record(288, i));
  shmid_ds ds{};
  ASSERT_EQ(shmctl(left.shmid, IPC_STAT, &ds), 0);
  EXPECT_TRUE(ds.shm_perm.mode & SHM_DEST) << "removed: it goes with its last mapping";
  ring::unmap(&left);
}

TEST_F(RingReader, SegmentThatIsNotARingIsLeftAlone) {
  const int id = shmget(key, 8, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  start_reader(0, rly_ring_run);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(shmget(key, 0, 0), id);
  shmid_ds ds{};
  ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 8u);
  EXPECT_EQ(ds.shm_nattch, 0u) << "the reader let it go";
}

TEST_F(RingReader, SpoiledHeaderIsReplacedByANewRing) {
  accept_sessions(1);
  collect();
  start_ring();
  const int first = v.shmid;
  at(v.h->magic).store(0);
  const long long end = now_ms() + 5000;
  while (shmget(key, 0, 0) == first && now_ms() < end) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(attach());
  EXPECT_NE(v.shmid, first);
  put(1, record(288, 1));
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
  EXPECT_EQ(collector->records(288).back(), record(288, 1));
}

// Random bytes over the header and the slots while the reader runs: it
// neither crashes nor stalls, replaces the ring when the header is spoiled,
// and forwards well-formed records once the scribbling ends.
TEST_F(RingReader, ScribblesNeitherCrashNorStopTheReader) {
  accept_sessions(1);
  collect();
  start_ring();
  std::mt19937_64 rnd(20261210);
  const long long until = now_ms() + 1500;
  int rounds = 0;
  while (now_ms() < until) {
    ring::View target;
    if (ring::open_existing(key, true, &target) != ring::OpenResult::kOpened) {
      std::this_thread::sleep_for(5ms);
      continue;
    }
    auto* bytes = reinterpret_cast<unsigned char*>(target.h);
    for (int i = 0; i < 64; ++i) {
      // Mostly the header and the first slots, where the reader looks.
      const size_t span = rnd() % 4 == 0 ? target.bytes : sizeof(ring::Header) + 8 * sizeof(ring::Slot);
      bytes[rnd() % span] = static_cast<unsigned char>(rnd());
    }
    ring::put(target, 1, record(288, 900).data(), 288);
    ring::unmap(&target);
    ++rounds;
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_GT(rounds, 10);
  // Written as a probe would: onto the ring the key names, moving on when
  // the reader replaces it.
  std::this_thread::sleep_for(1000ms);
  const size_t before = collector->records(288).size();
  for (int i = 0; i < 20; ++i) {
    const long long end = now_ms() + 5000;
    ring::Put p = ring::Put::kFull;
    while (now_ms() < end) {
      if (!v.mapped() || !ring::live(v)) {
        ASSERT_TRUE(attach());
      }
      if ((p = ring::put(v, 1, record(288, i).data(), 288)) == ring::Put::kDone) break;
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(p, ring::Put::kDone) << i;
  }
  ASSERT_TRUE(collector->wait_records(288, before + 20, 8000)) << "forwarding stopped";
  const auto recs = collector->records(288);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(recs[recs.size() - 20 + static_cast<size_t>(i)], record(288, i)) << i;
}

TEST_F(RingReader, IdleReaderSleepsUntilARecordWakesIt) {
  accept_sessions(1);
  collect();
  start_ring();
  const long long end = now_ms() + 3000;
  while (at(v.h->sleeping).load() == 0 && now_ms() < end) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(at(v.h->sleeping).load(), 1u) << "an idle reader waits on the ring's word";
  put(1, record(288, 1));
  EXPECT_EQ(at(v.h->sleeping).load(), 0u) << "the producer cleared the word and woke it";
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
}

TEST_F(RingReader, StopLeavesTheRingAndItsRecordsForTheNextRelay) {
  accept_sessions(1);
  collect();
  start_ring();
  stop_reader();
  EXPECT_TRUE(ring::live(v));
  EXPECT_EQ(v.h->relay_pid, 0);
  put(1, record(288, 1));
  start_reader(0, rly_ring_run);
  ASSERT_TRUE(collector->wait_records(288, 1, 5000));
  EXPECT_EQ(collector->records(288)[0], record(288, 1));
}

// Rings off: a ring left at a queue's key is removed when the relay starts,
// so that probes write onto the queue.
TEST_F(RingReader, RingsOffRemoveARingLeftAtTheKey) {
  ring::View left = leave_ring(64);
  snprintf(en_gtuid_queue_name, sizeof en_gtuid_queue_name, "0x%x", static_cast<unsigned>(key));
  snprintf(en_tcode_queue_name, sizeof en_tcode_queue_name, "0x%x", static_cast<unsigned>(key + 1));
  rlytest::QueueKeys tcode{{key + 1}};
  en_gtuid_queue_count = 1;
  en_tcode_queue_count = 0;
  en_ring_on = 0;
  ASSERT_EQ(tav_thread_start(), 0);
  EXPECT_FALSE(ring::live(left));
  EXPECT_LT(shmget(key, 0, 0), 0);
  tav_stop_routine();
  ring::unmap(&left);
}

}  // namespace
