// What a monitoring record costs the thread that produces it: through the
// relay's ring and onto a System V queue, each drained meanwhile by a thread
// on the other CPU, and the same 288 bytes only copied, side by side. Two
// levels: the send of a finished record (tav_mzp1_send) and a whole end
// event (tav::end_transaction: clocks, date text, digits and the send). The
// records go in bursts of kBurst; between bursts, with the clock stopped,
// the drain empties the ring or queue, so that no record is dropped and a
// dropped one never passes for a cheap one ("lost" counts any that were).
// The CPU column is the producing thread's own time.
//
//   build/bench/bench_record [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/tav_globals.h"
#include "base/tav_ring.h"
#include "core/tav_io.h"
#include "core/tav_mzp_send.h"
#include "core/tav_record_out.h"
#include "core/tav_tables.h"

namespace {

namespace ring = tav::ring;

constexpr size_t kRecord = sizeof(mzp1_t) - sizeof(long);
constexpr int kBurst = 4096;  // a quarter of the ring; the queue's drain keeps pace or "lost" shows it

void pin(int cpu) {
  if (static_cast<int>(std::thread::hardware_concurrency()) <= cpu) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

key_t bench_key() { return static_cast<key_t>(0x5A500000u | (static_cast<unsigned>(getpid()) & 0xffffu)); }

// The gtuid family as start-up leaves it, with the queue (and the ring, when
// asked) of the bench's key, and a drain of each on CPU 1.
class Route {
 public:
  explicit Route(bool with_ring) : key_(bench_key()) {
    qid_ = msgget(key_, IPC_CREAT | 0600);
    if (with_ring) {
      const size_t bytes = ring::bytes_for(16384);
      shmid_ = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
      void* base = shmid_ >= 0 ? shmat(shmid_, nullptr, 0) : reinterpret_cast<void*>(-1);
      if (base != reinterpret_cast<void*>(-1)) {
        ring::format(base, 16384, ring::kGtuidFamily, key_, 1, 0600, getpid());
        ring::check(base, bytes, &view_);
      }
    }
    ids_[0] = qid_;
    en_mzp_qsend = 1;
    en_gtuid_queue_key = key_;
    en_gtuid_queue_count = 1;
    en_gtuid_queue_id = ids_;
    tav::record_routes_init();
    drain_ = std::thread([this] { drain(); });
  }
  ~Route() {
    stop_ = true;
    msgctl(qid_, IPC_RMID, nullptr);  // ends a waiting msgrcv
    drain_.join();
    tav::record_routes_reset();
    en_gtuid_queue_count = 0;
    en_gtuid_queue_id = nullptr;
    if (view_.mapped()) ring::unmap(&view_);
    if (shmid_ >= 0) shmctl(shmid_, IPC_RMID, nullptr);
  }
  bool ok(bool with_ring) const {
    return qid_ >= 0 && (!with_ring || tav::record_route_ring(tav::RecordFamily::kGtuid, 0) >= 0);
  }
  // Waits (off the clock) until the drain has taken `sent` records, or it
  // stops coming; returns how many it took.
  uint64_t settle(uint64_t sent) const {
    for (int idle = 0; taken_.load() < sent && idle < 200; ++idle) {
      const uint64_t before = taken_.load();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
      if (taken_.load() != before) idle = 0;
    }
    return taken_.load();
  }

 private:
  // As the relay does: the ring is taken in passes 1 ms apart (a reader that
  // kept looking would fight the producers for their cache lines), the queue
  // with a blocking receive.
  void drain() {
    pin(1);
    struct {
      long type;
      char text[kRecord];
    } msg;
    uint64_t pos = 0;
    while (!stop_) {
      if (view_.mapped()) {
        uint64_t seen = 0;
        while (ring::peek(view_, pos, &seen) == ring::Peek::kReady) {
          memcpy(msg.text, ring::slot_at(view_, pos).payload, kRecord);  // into the batch
          ring::release(view_, pos++);
          taken_.fetch_add(1, std::memory_order_relaxed);
        }
        timespec nap{0, 1000000};
        nanosleep(&nap, nullptr);
      } else if (msgrcv(qid_, &msg, sizeof msg.text, 0, 0) >= 0) {
        taken_.fetch_add(1, std::memory_order_relaxed);
      } else {
        return;
      }
    }
  }

  key_t key_;
  int qid_ = -1, shmid_ = -1;
  int ids_[1];
  ring::View view_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> taken_{0};
  std::thread drain_;
};

// A thread record as the tables hold it, with a transaction under way.
struct Thread {
  mthr m{};
  Thread() {
    m.mzp1.type = getpid();
    memset(m.mzp1.gtuid, '1', sizeof m.mzp1.gtuid - 1);
    memcpy(m.gtuid.init, TAV_GTUID_INIT, sizeof m.gtuid.init);
    m.gtuid.gflag = 1;
    m.fildes = -1;
  }
};

// Runs `record` in bursts of kBurst against a route of the kind asked for.
template <bool kRing, typename Record>
void bursts(benchmark::State& state, Record record) {
  pin(0);
  Route route(kRing);
  if (!route.ok(kRing)) {
    state.SkipWithError("no queue or ring");
    return;
  }
  Thread t;
  uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) record(&t.m);
    sent += kBurst;
    state.PauseTiming();
    route.settle(sent);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  state.counters["lost"] = static_cast<double>(sent - route.settle(sent));
}

template <bool kRing>
void BM_Send(benchmark::State& state) {
  bursts<kRing>(state, [](mthr* m) { tav_mzp1_send(m); });
}

template <bool kRing>
void BM_EndEvent(benchmark::State& state) {
  en_qel_full = 1;
  bursts<kRing>(state, [](mthr* m) {
    m->gtuid.gflag = 1;
    tav::end_transaction(m);
  });
}

// The same bytes only copied: what no path can go below.
void BM_CopyOnly(benchmark::State& state) {
  pin(0);
  Thread t;
  static char sink[kRecord];
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      const char* from = reinterpret_cast<const char*>(&t.m.mzp1) + sizeof(long);
      benchmark::DoNotOptimize(from);
      memcpy(sink, from, kRecord);
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}

BENCHMARK(BM_CopyOnly);
BENCHMARK_TEMPLATE(BM_Send, false)->Name("BM_SendQueue");
BENCHMARK_TEMPLATE(BM_Send, true)->Name("BM_SendRing");
BENCHMARK_TEMPLATE(BM_EndEvent, false)->Name("BM_EndEventQueue");
BENCHMARK_TEMPLATE(BM_EndEvent, true)->Name("BM_EndEventRing");

}  // namespace

BENCHMARK_MAIN();
