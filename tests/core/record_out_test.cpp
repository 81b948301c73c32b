// Where the records go: into the ring the relay made with a queue's key, else
// onto the queue; a ring that appears, is retired, removed or full; a queue
// that is missing; a forked child. Each scenario runs in a child process of
// its own, since the routes belong to the process.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_globals.h"
#include "base/tav_real.h"
#include "base/tav_ring.h"
#include "child.h"
#include "core/tav_load.h"
#include "core/tav_mzp_send.h"
#include "core/tav_record_out.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

namespace {

namespace ring = tav::ring;
using qel::test::in_child;
using tav::RecordFamily;
using namespace std::chrono_literals;

constexpr size_t kType = sizeof(long);

key_t own_key(int i) { return static_cast<key_t>(0x5B000000 | ((getpid() & 0xffff) << 8) | i); }

// A queue and a ring the test makes with one key, as the relay would, and
// removes on every way out.
class Keyed {
 public:
  explicit Keyed(key_t key) : key_(key) { clear(); }
  ~Keyed() { clear(); }
  Keyed(const Keyed&) = delete;
  Keyed& operator=(const Keyed&) = delete;

  key_t key() const { return key_; }
  int make_queue() { return queue_ = msgget(key_, IPC_CREAT | IPC_EXCL | 0600); }
  // A new ring of `capacity` slots with the key; the view is the test's.
  ring::View& make_ring(uint32_t capacity = 64) {
    const size_t bytes = ring::bytes_for(capacity);
    const int id = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
    EXPECT_GE(id, 0) << strerror(errno);
    void* base = shmat(id, nullptr, 0);
    ring::format(base, capacity, ring::kGtuidFamily, key_, static_cast<uint64_t>(++generation_), 0600, getpid());
    rings_.emplace_back();
    EXPECT_EQ(ring::check(base, bytes, &rings_.back()), ring::OpenResult::kOpened);
    rings_.back().shmid = id;
    return rings_.back();
  }
  // The relay replaces it: the old one is retired and removed.
  ring::View& replace_ring() {
    ring::View& old = rings_.back();
    std::atomic_ref<uint64_t>(old.h->live).store(0);
    shmctl(old.shmid, IPC_RMID, nullptr);
    return make_ring();
  }
  size_t queued() const {
    msqid_ds ds{};
    return queue_ >= 0 && msgctl(queue_, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
  }
  std::vector<char> take_queued() const {
    std::vector<char> m(512);
    const ssize_t n = msgrcv(queue_, m.data(), m.size() - kType, 0, IPC_NOWAIT);
    m.resize(n < 0 ? 0 : kType + static_cast<size_t>(n));
    return m;
  }
  std::deque<ring::View>& rings() { return rings_; }

 private:
  void clear() {
    for (ring::View& v : rings_) ring::unmap(&v);
    rings_.clear();
    if (int id = msgget(key_, 0); id >= 0) msgctl(id, IPC_RMID, nullptr);
    if (int id = shmget(key_, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
  }

  key_t key_;
  int queue_ = -1;
  int generation_ = 0;
  std::deque<ring::View> rings_;  // views stay where they are as rings are added
};

// Records published in `v` so far, taken out.
std::vector<std::string> taken(ring::View& v, uint64_t* pos, std::vector<uint32_t>* kinds = nullptr) {
  std::vector<std::string> out;
  for (uint64_t seen = 0; ring::peek(v, *pos, &seen) == ring::Peek::kReady; ++*pos) {
    const ring::Slot& s = ring::slot_at(v, *pos);
    out.emplace_back(reinterpret_cast<const char*>(s.payload), s.size);
    if (kinds) kinds->push_back(s.kind);
    ring::release(v, *pos);
  }
  return out;
}

// In the child: the gtuid family is the one queue `k`, and the process has a
// thread table of `threads` records.
int g_gtuid_id;
void use_gtuid(const Keyed& k, int threads = 4) {
  en_mzp_qsend = 1;
  g_gtuid_id = msgget(k.key(), 0);
  en_gtuid_queue_key = k.key();
  en_gtuid_queue_count = 1;
  en_gtuid_queue_id = &g_gtuid_id;
  en_tcode_queue_count = en_tcod6_queue_count = 0;
  en_thread_max = threads;
  en_mthr = static_cast<mthr*>(calloc(static_cast<size_t>(threads) + 1, sizeof(mthr)));
  tav_mth_idx = threads - 1;
}

mthr* record_of(int i) {
  mthr* m = &en_mthr[i];
  m->mzp1.type = getpid();
  snprintf(m->mzp1.gtuid, sizeof m->mzp1.gtuid, "%022d", i);
  return m;
}

std::string payload(const mthr* m) {
  return std::string(reinterpret_cast<const char*>(&m->mzp1) + kType, sizeof(mzp1_t) - kType);
}

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

TEST(RecordOut, RingTakesTheRecordsAndTheQueueNone) {
  Keyed k(own_key(1));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == v.shmid);
    mthr* m = record_of(0);
    tav_mzp1_send(m);
    tav_mzp1_send(record_of(1));
    uint64_t pos = 0;
    std::vector<uint32_t> kinds;
    const auto got = taken(v, &pos, &kinds);
    CHILD_CHECK(got.size() == 2 && got[0] == payload(m) && got[1] == payload(&en_mthr[1]));
    CHILD_CHECK(kinds[0] == 1 && kinds[1] == 1);
    CHILD_CHECK(k.queued() == 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// The transaction-code records go by the routes of their families: types 2
// and 4 by the tcode family, type 6 by the tcod6 family, here the same key.
TEST(RecordOut, TransactionCodeRecordsByTheirFamiliesRoutes) {
  Keyed k(own_key(2));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  auto r = in_child([&] {
    use_gtuid(k);
    static int tcode_id, tcod6_id;
    tcode_id = tcod6_id = msgget(k.key(), 0);
    en_tcode_queue_key = en_tcod6_queue_key = k.key();
    en_tcode_queue_count = en_tcod6_queue_count = 1;
    en_tcode_queue_id = &tcode_id;
    en_tcod6_queue_id = &tcod6_id;
    CHILD_CHECK(tav::record_routes_init());
    mthr* m = record_of(0);
    tav_mzp2_send(m);
    tav_mzp4_send(m);
    tav_mzp6_send(m, "/a/url", 6);
    uint64_t pos = 0;
    std::vector<uint32_t> kinds;
    const auto got = taken(v, &pos, &kinds);
    CHILD_CHECK(got.size() == 3);
    CHILD_CHECK(got[0].size() == sizeof(mzp2_t) - kType && kinds[0] == 2);
    CHILD_CHECK(got[1].size() == sizeof(mzp4_t) - kType && kinds[1] == 4);
    CHILD_CHECK(got[2].size() == sizeof(mzp6_t) - kType && kinds[2] == 6);
    CHILD_CHECK(got[2].compare(offsetof(mzp6_t, trcd_url) - kType, 6, "/a/url") == 0);
    CHILD_CHECK(k.queued() == 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(RecordOut, WithoutARingTheQueueGetsTheSameBytes) {
  Keyed k(own_key(3));
  ASSERT_GE(k.make_queue(), 0);
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == -1);
    mthr* m = record_of(0);
    tav_mzp1_send(m);
    const auto msg = k.take_queued();
    CHILD_CHECK(msg.size() == sizeof(mzp1_t));
    CHILD_CHECK(memcmp(msg.data(), &m->mzp1, sizeof(mzp1_t)) == 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// A queue that does not exist costs one lookup a second, not one a record.
std::atomic<int> g_msggets{0};
int counting_msgget(key_t key, int flags) {
  g_msggets.fetch_add(1);
  return static_cast<int>(syscall(SYS_msgget, key, flags));
}

TEST(RecordOut, MissingQueueIsLookedUpAtMostOnceASecond) {
  Keyed k(own_key(4));
  auto r = in_child([&] {
    use_gtuid(k);
    f_msgget = counting_msgget;
    CHILD_CHECK(tav::record_routes_init());
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 1000; ++i) tav_mzp1_send(record_of(0));
    const bool quick = std::chrono::steady_clock::now() - t0 < 900ms;
    CHILD_CHECK(!quick || g_msggets.load() == 1);
    k.make_queue();
    std::this_thread::sleep_for(1100ms);
    tav_mzp1_send(record_of(1));
    CHILD_CHECK(k.queued() == 1);
    CHILD_CHECK(g_msggets.load() <= 3);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(RecordOut, RingThatAppearsIsTakenWithinASecond) {
  Keyed k(own_key(5));
  ASSERT_GE(k.make_queue(), 0);
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    tav_mzp1_send(record_of(0));
    CHILD_CHECK(k.queued() == 1);
    ring::View& v = k.make_ring();
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t pos = 0;
    size_t in_ring = 0;
    CHILD_CHECK(wait_until(
        [&] {
          tav_mzp1_send(record_of(1));
          in_ring += taken(v, &pos).size();
          return in_ring > 0;
        },
        3s));
    CHILD_CHECK(std::chrono::steady_clock::now() - t0 < 2s);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// The relay replaced the ring: records go onto the queue at once, into the
// new ring within a second, and the old one is detached.
TEST(RecordOut, RetiredRingGivesWayToTheNewOne) {
  Keyed k(own_key(6));
  ASSERT_GE(k.make_queue(), 0);
  auto r = in_child([&] {
    k.make_ring();  // in the child, so that no other process keeps it attached
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    const int old_id = k.rings().back().shmid;
    ring::View& fresh = k.replace_ring();
    tav_mzp1_send(record_of(0));
    CHILD_CHECK(k.queued() == 1);
    uint64_t pos = 0;
    CHILD_CHECK(wait_until(
        [&] {
          tav_mzp1_send(record_of(1));
          return !taken(fresh, &pos).empty();
        },
        3s));
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == fresh.shmid);
    // The next look lets the old mapping go; with the test's own view gone
    // too, the removed segment disappears.
    ring::unmap(&k.rings().front());
    shmid_ds ds{};
    CHILD_CHECK(wait_until(
        [&] {
          tav_mzp1_send(record_of(2));
          return shmctl(old_id, IPC_STAT, &ds) != 0;
        },
        3s));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(RecordOut, RemovedRingFallsBackToTheQueue) {
  Keyed k(own_key(7));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    shmctl(v.shmid, IPC_RMID, nullptr);  // removed, nobody retired it
    CHILD_CHECK(wait_until(
        [&] {
          tav_mzp1_send(record_of(0));
          return k.queued() > 0;
        },
        3s));
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == -1);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// A ring the relay retired and has not removed yet is drained by nobody.
TEST(RecordOut, RetiredRingStillAtTheKeyIsNotUsed) {
  Keyed k(own_key(12));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  std::atomic_ref<uint64_t>(v.h->live).store(0);
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == -1);
    tav_mzp1_send(record_of(0));
    CHILD_CHECK(k.queued() == 1 && v.h->head == 0);
    shmid_ds ds{};
    CHILD_CHECK(shmctl(v.shmid, IPC_STAT, &ds) == 0);
    CHILD_CHECK(ds.shm_nattch == 2);  // the test's mapping and the child's copy of it; the probe's none
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(RecordOut, FullRingDropsAndCountsWithoutTheQueue) {
  Keyed k(own_key(8));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring(64);
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    for (int i = 0; i < 70; ++i) tav_mzp1_send(record_of(0));
    CHILD_CHECK(v.h->head == 64 && v.h->dropped == 6);
    CHILD_CHECK(k.queued() == 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(RecordOut, ChildAfterForkWritesIntoTheSameRing) {
  Keyed k(own_key(9));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  auto r = in_child([&] {
    use_gtuid(k);
    CHILD_CHECK(tav::record_routes_init());
    mthr* m = record_of(3);
    const pid_t pid = fork();
    if (pid == 0) {
      tav::record_routes_after_fork();
      tav_mzp1_send(m);
      _exit(0);
    }
    int st = 0;
    CHILD_CHECK(waitpid(pid, &st, 0) == pid && WIFEXITED(st));
    uint64_t pos = 0;
    const auto got = taken(v, &pos);
    CHILD_CHECK(got.size() == 1 && got[0] == payload(m));
    CHILD_CHECK(k.queued() == 0);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// Threads write while the relay replaces the ring again and again: no write
// lands in a detached mapping (that would crash), each new ring gets the
// records, and the old rings are let go.
TEST(RecordOut, ThreadsWriteWhileRingsAreReplaced) {
  Keyed k(own_key(10));
  ASSERT_GE(k.make_queue(), 0);
  auto r = in_child(
      [&] {
        k.make_ring();
        use_gtuid(k);
        CHILD_CHECK(tav::record_routes_init());
        std::atomic<bool> stop{false};
        std::vector<std::thread> writers;
        for (int t = 0; t < 3; ++t)
          writers.emplace_back([&, t] {
            mthr* m = record_of(t);
            while (!stop.load()) tav_mzp1_send(m);
          });
        std::vector<int> replaced;
        for (int round = 0; round < 6; ++round) {
          std::this_thread::sleep_for(150ms);
          replaced.push_back(k.rings().back().shmid);
          k.replace_ring();
          tav::record_routes_look_now();
        }
        std::this_thread::sleep_for(1200ms);  // a look after the last one lets it go
        stop = true;
        for (auto& w : writers) w.join();
        for (ring::View& v : k.rings()) CHILD_CHECK(v.h->head > 0);
        // Of the replaced rings only the test's own views keep them now.
        for (ring::View& v : k.rings()) ring::unmap(&v);
        for (int id : replaced) {
          shmid_ds ds{};
          CHILD_CHECK(shmctl(id, IPC_STAT, &ds) != 0);
        }
        return 0;
      },
      60);
  EXPECT_CHILD_OK(r);
}

// Start-up attaches the routes to the rings there are, in every build (the
// Java builds in queue mode).
TEST(RecordOut, StartUpAttachesToTheRing) {
  Keyed k(own_key(11));
  ASSERT_GE(k.make_queue(), 0);
  ring::View& v = k.make_ring();
  qel::test::TempDir dir;
  char hex[16];
  snprintf(hex, sizeof hex, "0x%x", static_cast<unsigned>(k.key()));
  const std::string conf = TAV_WITH_JAVA
      ? std::string("qel.gtuid.send.type = QUEUE\nqel.gtuid.queue.name = ") + hex + "\nqel.gtuid.queue.count = 1\n"
      : std::string("TAV_RLY_GTUID_QUEUE_NAME = ") + hex + "\nTAV_RLY_GTUID_QUEUE_COUNT = 1\n";
  const std::string path = dir.write("settings", conf);
  auto r = in_child([&] {
    setenv("TAV_CONFIG_FILE", path.c_str(), 1);
    if (chdir(dir.path().c_str()) != 0) return 2;
    tav_load();
    CHILD_CHECK(en_handle == 1 && tav::bypass == 0);
    CHILD_CHECK(tav::record_route_ring(RecordFamily::kGtuid, 0) == v.shmid);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

}  // namespace
