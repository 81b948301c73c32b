// The record ring's two sides in one process: producers reserve, write and
// publish; the reader peeks, takes, frees and gives positions up.
#include <linux/futex.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_ring.h"

namespace {

namespace ring = tav::ring;
using ring::OpenResult;
using ring::Peek;
using ring::Put;

template <typename T>
std::atomic_ref<T> at(T& field) {
  return std::atomic_ref<T>(field);
}

// A ring in this process's memory, as the relay formats it.
class LocalRing {
 public:
  explicit LocalRing(uint32_t capacity) : bytes_(ring::bytes_for(capacity)) {
    base_ = std::aligned_alloc(64, (bytes_ + 63) / 64 * 64);
    ring::format(base_, capacity, ring::kGtuidFamily, 0x1234, 77, 0666, getpid());
    EXPECT_EQ(ring::check(base_, bytes_, &v), OpenResult::kOpened);
  }
  ~LocalRing() { std::free(base_); }
  LocalRing(const LocalRing&) = delete;
  LocalRing& operator=(const LocalRing&) = delete;

  ring::Header& h() { return *v.h; }
  void* base() { return base_; }
  size_t bytes() const { return bytes_; }

  ring::View v;

 private:
  size_t bytes_;
  void* base_;
};

std::string record(size_t size, int n) {
  std::string r(size, '\0');
  for (size_t i = 0; i < size; ++i) r[i] = static_cast<char>((n * 31 + i * 7) & 0xff);
  return r;
}

// Takes the record at `pos` (which must be published) and frees its slot.
std::string take(const ring::View& v, uint64_t pos, uint32_t* kind = nullptr) {
  uint64_t seen = 0;
  EXPECT_EQ(ring::peek(v, pos, &seen), Peek::kReady) << pos;
  const ring::Slot& s = ring::slot_at(v, pos);
  std::string out(reinterpret_cast<const char*>(s.payload), s.size);
  if (kind) *kind = s.kind;
  ring::release(v, pos);
  return out;
}

TEST(RingCheck, HeaderFaultsAreRefused) {
  const struct {
    const char* what;
    std::function<void(ring::Header&)> spoil;
    OpenResult want;
  } cases[] = {
      {"sound", [](ring::Header&) {}, OpenResult::kOpened},
      {"magic", [](ring::Header& h) { h.magic = 0x12345678; }, OpenResult::kNotRing},
      {"version", [](ring::Header& h) { h.version = 2; }, OpenResult::kMismatch},
      {"header size", [](ring::Header& h) { h.header_size = 128; }, OpenResult::kMismatch},
      {"slot size", [](ring::Header& h) { h.slot_size = 256; }, OpenResult::kMismatch},
      {"capacity not a power of two", [](ring::Header& h) { h.capacity = 96; }, OpenResult::kMismatch},
      {"capacity beyond the segment", [](ring::Header& h) { h.capacity = 128; }, OpenResult::kMismatch},
      {"capacity below the least", [](ring::Header& h) { h.capacity = 32; }, OpenResult::kMismatch},
      {"no generation", [](ring::Header& h) { h.generation = 0; }, OpenResult::kMismatch},
  };
  for (const auto& c : cases) {
    LocalRing r(64);
    c.spoil(r.h());
    ring::View v;
    EXPECT_EQ(ring::check(r.base(), r.bytes(), &v), c.want) << c.what;
  }
  LocalRing r(64);
  ring::View v;
  EXPECT_EQ(ring::check(r.base(), r.bytes() - 1, &v), OpenResult::kMismatch) << "segment one byte short";
  EXPECT_EQ(ring::check(r.base(), sizeof(ring::Header) - 1, &v), OpenResult::kNotRing) << "shorter than a header";
  EXPECT_FALSE(ring::is_ring(r.base(), 8));
}

TEST(Ring, RecordsComeOutInTheOrderTheyWereReserved) {
  LocalRing r(64);
  const struct {
    uint32_t kind;
    size_t size;
  } records[] = {{1, 288}, {2, 104}, {4, 168}, {6, 296}, {1, 0}, {1, ring::kPayloadMax}};
  int n = 0;
  for (const auto& rec : records) ASSERT_EQ(ring::put(r.v, rec.kind, record(rec.size, n++).data(), rec.size), Put::kDone);
  n = 0;
  for (const auto& rec : records) {
    uint32_t kind = 0;
    EXPECT_EQ(take(r.v, static_cast<uint64_t>(n), &kind), record(rec.size, n)) << n;
    EXPECT_EQ(kind, rec.kind);
    ++n;
  }
  uint64_t seen = 0;
  EXPECT_EQ(ring::peek(r.v, static_cast<uint64_t>(n), &seen), Peek::kEmpty);
  EXPECT_EQ(r.h().dropped, 0u);
}

TEST(Ring, FullRingDropsAndCountsWithoutReserving) {
  LocalRing r(64);
  const std::string rec = record(288, 1);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(ring::put(r.v, 1, rec.data(), rec.size()), Put::kDone) << i;
  EXPECT_EQ(ring::put(r.v, 1, rec.data(), rec.size()), Put::kFull);
  EXPECT_EQ(ring::put(r.v, 1, rec.data(), rec.size()), Put::kFull);
  EXPECT_EQ(r.h().dropped, 2u);
  EXPECT_EQ(r.h().head, 64u);
  take(r.v, 0);
  ASSERT_EQ(ring::put(r.v, 1, record(288, 9).data(), 288), Put::kDone) << "a freed slot takes the next lap";
  for (uint64_t pos = 1; pos < 64; ++pos) take(r.v, pos);
  EXPECT_EQ(take(r.v, 64), record(288, 9));
}

TEST(Ring, TooLargeRecordIsNotReserved) {
  LocalRing r(64);
  const std::string big(ring::kPayloadMax + 1, 'x');
  EXPECT_EQ(ring::put(r.v, 6, big.data(), big.size()), Put::kTooLarge);
  EXPECT_EQ(r.h().head, 0u);
  EXPECT_EQ(r.h().dropped, 0u);
}

// A writer killed (or stalled) between reserving and publishing: the reader
// gives its position up, the records behind it come out, and a late publish
// fails instead of handing the reader a slot of another lap.
TEST(Ring, PositionGivenUpAfterAWriterStoppedBetweenReserveAndPublish) {
  LocalRing r(64);
  ring::Reservation stalled;
  ASSERT_TRUE(ring::reserve(r.v, &stalled));
  ASSERT_EQ(ring::put(r.v, 1, record(288, 2).data(), 288), Put::kDone);
  uint64_t seen = 0;
  ASSERT_EQ(ring::peek(r.v, 0, &seen), Peek::kPending);
  ASSERT_TRUE(ring::skip(r.v, 0, seen));
  EXPECT_EQ(take(r.v, 1), record(288, 2));

  memcpy(stalled.slot->payload, record(288, 1).data(), 288);
  EXPECT_EQ(ring::publish(r.v, stalled, 1, 288), Put::kLate);
  EXPECT_EQ(r.h().dropped, 1u);
  // The given-up slot serves the next lap like any other.
  for (int i = 0; i < 64; ++i) ASSERT_EQ(ring::put(r.v, 1, record(288, 100 + i).data(), 288), Put::kDone) << i;
  for (int i = 0; i < 64; ++i) EXPECT_EQ(take(r.v, static_cast<uint64_t>(2 + i)), record(288, 100 + i)) << i;
}

TEST(Ring, PublishThatComesFirstWinsOverTheSkip) {
  LocalRing r(64);
  ring::Reservation w;
  ASSERT_TRUE(ring::reserve(r.v, &w));
  uint64_t seen = 0;
  ASSERT_EQ(ring::peek(r.v, 0, &seen), Peek::kPending);
  memcpy(w.slot->payload, record(104, 5).data(), 104);
  ASSERT_EQ(ring::publish(r.v, w, 2, 104), Put::kDone);
  EXPECT_FALSE(ring::skip(r.v, 0, seen)) << "the slot changed since it was seen";
  EXPECT_EQ(take(r.v, 0), record(104, 5));
}

TEST(Ring, PositionsThatCannotBeRightAreSpoiled) {
  const struct {
    const char* what;
    uint64_t head, pos;
    Peek want;
  } cases[] = {
      {"head a lap ahead", 64, 0, Peek::kPending},
      {"head beyond a lap", 65, 0, Peek::kSpoiled},
      {"head far ahead", 1ull << 40, 0, Peek::kSpoiled},
      {"head behind the reader", 10, 11, Peek::kSpoiled},
  };
  for (const auto& c : cases) {
    LocalRing r(64);
    r.h().head = c.head;
    uint64_t seen = 0;
    EXPECT_EQ(ring::peek(r.v, c.pos, &seen), c.want) << c.what;
  }
}

TEST(Ring, FreeSlotWrittenOverIsRepairedWhenTheRingIsEmpty) {
  LocalRing r(64);
  ring::slot_at(r.v, 0).seq = 0xdeadbeef;
  EXPECT_EQ(ring::put(r.v, 1, record(288, 1).data(), 288), Put::kFull) << "a producer does not trust the slot";
  uint64_t seen = 0;
  ASSERT_EQ(ring::peek(r.v, 0, &seen), Peek::kEmpty);
  ring::repair_empty(r.v, 0, seen);
  ASSERT_EQ(ring::put(r.v, 1, record(288, 2).data(), 288), Put::kDone);
  EXPECT_EQ(take(r.v, 0), record(288, 2));
}

TEST(Ring, SlotsTakenByAReaderBeforeAreRecognised) {
  LocalRing r(64);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ring::put(r.v, 1, record(288, i).data(), 288), Put::kDone);
  take(r.v, 0);
  take(r.v, 1);
  // A new reader that starts from a stale position 0.
  uint64_t seen = 0;
  EXPECT_EQ(ring::peek(r.v, 0, &seen), Peek::kTaken);
  EXPECT_EQ(ring::peek(r.v, 1, &seen), Peek::kTaken);
  EXPECT_EQ(take(r.v, 2), record(288, 2));
}

TEST(Ring, RetiredRingIsNotLive) {
  LocalRing r(64);
  EXPECT_TRUE(ring::live(r.v));
  r.h().live = 0;
  EXPECT_FALSE(ring::live(r.v));
  r.h().live = 78;  // another ring's generation
  EXPECT_FALSE(ring::live(r.v));
}

// Several producers against one reader on a small ring: every record that
// was not counted as dropped comes out once, each producer's in its order,
// with its bytes intact.
TEST(Ring, ManyProducersOneReader) {
  constexpr int kThreads = 4;
  constexpr uint32_t kPerThread = 40000;
  LocalRing r(256);
  std::atomic<int> running{kThreads};
  std::vector<uint32_t> next(kThreads, 0);
  uint64_t received = 0, bad = 0, out_of_order = 0;
  std::thread reader([&] {
    uint64_t pos = 0;
    for (;;) {
      uint64_t seen = 0;
      const Peek p = ring::peek(r.v, pos, &seen);
      if (p == Peek::kReady) {
        const ring::Slot& s = ring::slot_at(r.v, pos);
        uint32_t who = 0, seq = 0;
        memcpy(&who, s.payload, 4);
        memcpy(&seq, s.payload + 4, 4);
        const std::string want = record(280, static_cast<int>(who * kPerThread + seq));
        if (who >= kThreads || s.size != 288 || memcmp(s.payload + 8, want.data(), 280) != 0) {
          ++bad;
        } else {
          if (seq < next[who]) ++out_of_order;
          next[who] = seq + 1;
        }
        ++received;
        ring::release(r.v, pos++);
      } else if (p == Peek::kEmpty && running.load() == 0) {
        return;
      } else {
        std::this_thread::yield();
      }
    }
  });
  std::vector<std::thread> producers;
  for (uint32_t t = 0; t < kThreads; ++t)
    producers.emplace_back([&, t] {
      char rec[288];
      for (uint32_t i = 0; i < kPerThread; ++i) {
        memcpy(rec, &t, 4);
        memcpy(rec + 4, &i, 4);
        memcpy(rec + 8, record(280, static_cast<int>(t * kPerThread + i)).data(), 280);
        ring::put(r.v, 1, rec, sizeof rec);
      }
      running.fetch_sub(1);
    });
  for (auto& p : producers) p.join();
  reader.join();
  EXPECT_EQ(bad, 0u);
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(received + r.h().dropped, uint64_t{kThreads} * kPerThread);
  EXPECT_GT(received, 0u);
}

// A reader asleep on the ring's word is woken by the first record.
TEST(Ring, SleepingReaderIsWoken) {
  LocalRing r(64);
  at(r.h().sleeping).store(1);
  std::atomic<bool> woke{false};
  std::thread reader([&] {
    timespec limit{30, 0};
    while (at(r.h().sleeping).load() == 1)
      syscall(SYS_futex, &r.h().sleeping, FUTEX_WAIT, 1, &limit, nullptr, 0);
    woke = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ring::put(r.v, 1, record(288, 1).data(), 288), Put::kDone);
  reader.join();
  EXPECT_TRUE(woke);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "woken, not timed out";
  EXPECT_EQ(at(r.h().sleeping).load(), 0u);
}

// A segment of the test's own with a key of this process.
class Segment {
 public:
  explicit Segment(size_t bytes) : key_(static_cast<key_t>(0x52000000u | (getpid() & 0xffffu) << 8 | 0x11)) {
    drop();
    id_ = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
  }
  ~Segment() { drop(); }
  key_t key() const { return key_; }
  int id() const { return id_; }
  void drop() {
    if (int id = shmget(key_, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
  }

 private:
  key_t key_;
  int id_ = -1;
};

TEST(RingOpen, ExistingSegmentsByKey) {
  ring::View v;
  {
    Segment none(8);
    none.drop();
    EXPECT_EQ(ring::open_existing(none.key(), true, &v), OpenResult::kMissing);
  }
  {
    Segment control(8);  // a log-control segment with the key
    ASSERT_GE(control.id(), 0);
    EXPECT_EQ(ring::open_existing(control.key(), true, &v), OpenResult::kNotRing);
  }
  Segment s(ring::bytes_for(64));
  ASSERT_GE(s.id(), 0);
  void* base = shmat(s.id(), nullptr, 0);
  ASSERT_NE(base, reinterpret_cast<void*>(-1));
  EXPECT_EQ(ring::open_existing(s.key(), false, &v), OpenResult::kNotRing) << "not formatted yet";
  ring::format(base, 64, ring::kTcodeFamily, s.key(), 5, 0600, getpid());
  ASSERT_EQ(ring::open_existing(s.key(), true, &v), OpenResult::kOpened);
  EXPECT_EQ(v.shmid, s.id());
  EXPECT_EQ(v.capacity(), 64u);
  EXPECT_EQ(ring::put(v, 2, record(104, 1).data(), 104), Put::kDone);
  ring::unmap(&v);
  ring::View ro;
  ASSERT_EQ(ring::open_existing(s.key(), false, &ro), OpenResult::kOpened);
  EXPECT_EQ(ro.h->head, 1u) << "the read-only view sees the record";
  ring::unmap(&ro);
  shmdt(base);
}

}  // namespace
