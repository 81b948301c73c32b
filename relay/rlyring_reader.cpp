// Ring readers: each drains the record ring beside one queue into its batch
// buffer, in the order the records were reserved, and sends the batches on
// accepted master sessions like the queue readers. (The file name gives the
// log lines of this module the letter "R".)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/tav_atomic.h"
#include "base/tav_time.h"
#include "rly_batch.h"
#include "rly_batcher.h"
#include "rly_build.h"
#include "rly_reader.h"
#include "rly_ring.h"
#include "rly_state.h"

namespace ring = tav::ring;
using tav::atomic_in;
using tav::monotonic_ms;

namespace {

// A position reserved and not published within this time is given up: its
// writer was killed between the two steps, or has stalled that long.
constexpr uint64_t kSkipAfterMs = 100;
// Between passes while records come, so that busy producers never find the
// reader asleep and never make a system call to wake it.
constexpr long kPassNapNs = 1000000;
// Without records for this long the reader sleeps until a producer wakes it.
constexpr uint64_t kIdleBeforeSleepMs = 5;
// The longest sleep: the reader still looks after its ring and sees a stop.
constexpr long kSleepNs = 500000000;
constexpr uint64_t kKeyCheckMs = 1000;
constexpr uint64_t kCountsLogMs = 60000;
constexpr int kHoldRetryMs = 100;
// After a ring of another size was retired: its writers finish first.
constexpr long kRetireGraceNs = 20000000;

void nap_ns(long ns) {
  timespec ts{ns / 1000000000L, ns % 1000000000L};
  nanosleep(&ts, nullptr);
}

bool stopping(const tav_thr* t) { return __atomic_load_n(&t->state, __ATOMIC_ACQUIRE) == TAV_THR_STOP; }

unsigned long long counter(uint64_t& field) { return atomic_in(field).load(std::memory_order_relaxed); }
void bump(uint64_t& field) { atomic_in(field).fetch_add(1, std::memory_order_relaxed); }

enum class Pass {
  kEmpty,    // everything published is taken
  kWaiting,  // the next position is reserved and not yet published
  kHeld,     // the batch found no session: records wait in the ring
  kSpoiled,  // the positions make no sense: the ring is replaced
};

struct RingReader {
  tav_thr* t = nullptr;
  rly_batcher b;
  uint64_t waiting_since = 0;  // the reader waits for an unpublished position since then
  uint64_t wait_head = 0;      // `head` when the wait began
  uint64_t give_up_to = 0;     // positions below are given up when unpublished
  // Positions whose records are in the batch: their slots are freed only
  // once the batch is written to a master, so that a relay killed before
  // that leaves them in the ring for the next one.
  std::vector<uint64_t> pending;

  // The header's `tail` is where a relay that takes the ring over starts:
  // the first position not yet freed.
  void show_tail(rly_ring& g) {
    const uint64_t first = pending.empty() ? g.tail : pending.front();
    atomic_in(g.v.h->tail).store(first, std::memory_order_release);
  }

  void advance(rly_ring& g) {
    ++g.tail;
    show_tail(g);
  }

  // The batch is written (or empty): the slots of its records are freed.
  void commit(rly_ring& g) {
    if (b.n != 0 || pending.empty()) return;
    for (uint64_t pos : pending) ring::release(g.v, pos);
    atomic_in(g.v.h->taken).fetch_add(pending.size(), std::memory_order_relaxed);
    pending.clear();
    show_tail(g);
  }

  void flush(rly_ring& g) {
    b.flush();
    commit(g);
  }

  // The ring is left for another: records of it still in the batch go out
  // with the batch, their slots are no longer this reader's to free.
  void forget_pending() { pending.clear(); }

  // Takes the published record at the reader's position into the batch, or
  // rejects it when it is not a record of the ring's family. False when the
  // batch has no room and could not be sent: the record stays.
  bool take(rly_ring& g) {
    ring::Slot& s = ring::slot_at(g.v, g.tail);
    // Read once: a writer may change the slot under us; only these values count.
    const uint32_t size = atomic_in(s.size).load(std::memory_order_relaxed);
    const uint32_t kind = atomic_in(s.kind).load(std::memory_order_relaxed);
    const uint32_t want = rly_ring_record_size(g.family, kind);
    if (want == 0 || size != want) {
      bump(g.v.h->rejected);
      RLY_LOG_D("ring key 0x%08x position %llu rejected: kind(%u) size(%u).\n", static_cast<unsigned>(g.key),
                static_cast<unsigned long long>(g.tail), kind, size);
    } else if (const int k = rly_records_in(b.plan, size); k > 0) {
      const size_t bytes = static_cast<size_t>(k) * static_cast<size_t>(b.plan.record);
      if (!b.fits(bytes)) {
        flush(g);
        if (b.held) return false;
      }
      memcpy(b.end(), s.payload, bytes);
      RLY_LOG_H(b.end(), static_cast<int>(bytes), "ring_receive(%u)", size);
      pending.push_back(g.tail);
      advance(g);
      b.take(size);
      commit(g);  // the batch may have gone out at its threshold
      return true;
    }
    // Rejected, or a record this build does not forward (as on the queue).
    ring::release(g.v, g.tail);
    advance(g);
    return true;
  }

  // Moves what is published into the batch, in order. When the next
  // position stays reserved and unpublished for kSkipAfterMs, every position
  // that was already reserved when the wait began and is still unpublished
  // is given up at once: one stalled writer, or a `head` someone moved
  // forward, costs one wait, not one per position.
  Pass drain(rly_ring& g, int* moved) {
    for (;;) {
      if (b.held) return Pass::kHeld;
      // Every slot holds a record of the batch: the position a lap on is
      // theirs, not an empty one; the batch must go out first.
      if (!pending.empty() && g.tail - pending.front() >= g.v.capacity()) return Pass::kEmpty;
      uint64_t seen = 0;
      const ring::Peek p = ring::peek(g.v, g.tail, &seen);
      if (p != ring::Peek::kPending && g.tail >= give_up_to) waiting_since = 0;
      switch (p) {
        case ring::Peek::kReady:
          if (!take(g)) return Pass::kHeld;
          ++*moved;
          continue;
        case ring::Peek::kTaken:
          advance(g);
          continue;
        case ring::Peek::kEmpty:
          ring::repair_empty(g.v, g.tail, seen);
          return Pass::kEmpty;
        case ring::Peek::kSpoiled:
          return Pass::kSpoiled;
        case ring::Peek::kPending:
          break;
      }
      if (g.tail >= give_up_to) {
        const uint64_t now = monotonic_ms();
        if (waiting_since == 0) {
          waiting_since = now;
          wait_head = atomic_in(g.v.h->head).load(std::memory_order_acquire);
          return Pass::kWaiting;
        }
        if (now - waiting_since < kSkipAfterMs) return Pass::kWaiting;
        give_up_to = wait_head;  // all reserved before the wait began
        waiting_since = 0;
      }
      if (ring::skip(g.v, g.tail, seen)) {
        bump(g.v.h->skipped);
        RLY_LOG_D("ring key 0x%08x position %llu skipped: not published in %llu ms.\n",
                  static_cast<unsigned>(g.key), static_cast<unsigned long long>(g.tail),
                  static_cast<unsigned long long>(kSkipAfterMs));
        advance(g);
      }
      // Else it was published after all: the next round takes it.
    }
  }

  // A fresh ring: no wait carries over.
  void forget_wait() {
    waiting_since = 0;
    give_up_to = 0;
  }

  // Waits for a producer's wake-up, at most kSleepNs.
  void sleep(rly_ring& g) {
    ring::Header& h = *g.v.h;
    atomic_in(h.sleeping).store(1, std::memory_order_seq_cst);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    uint64_t seen = 0;
    if (ring::peek(g.v, g.tail, &seen) == ring::Peek::kEmpty) {
      timespec limit{kSleepNs / 1000000000L, kSleepNs % 1000000000L};
      const long rc = syscall(SYS_futex, &h.sleeping, FUTEX_WAIT, 1, &limit, nullptr, 0);
      // A word someone else keeps clearing must not make the reader spin.
      if (rc != 0 && errno == EAGAIN && ring::peek(g.v, g.tail, &seen) == ring::Peek::kEmpty)
        nap_ns(kPassNapNs);
    }
    atomic_in(h.sleeping).store(0, std::memory_order_relaxed);
  }
};

struct Counts {
  unsigned long long dropped = 0, skipped = 0, rejected = 0;
};

void log_counts(const rly_ring& g, Counts* last) {
  ring::Header& h = *g.v.h;
  const Counts now{counter(h.dropped), counter(h.skipped), counter(h.rejected)};
  if (now.dropped == last->dropped && now.skipped == last->skipped && now.rejected == last->rejected) return;
  RLY_LOG_T("ring key 0x%08x: taken %llu dropped %llu skipped %llu rejected %llu\n", static_cast<unsigned>(g.key),
            counter(h.taken), now.dropped, now.skipped, now.rejected);
  *last = now;
}

// A ring of another size that a previous relay left: what it holds goes
// out first.
void drain_previous(RingReader& r, rly_ring& prev) {
  if (!prev.v.mapped()) return;
  nap_ns(kRetireGraceNs);
  const uint64_t until = monotonic_ms() + 2 * kSkipAfterMs;
  int moved = 0;
  for (Pass p = r.drain(prev, &moved); p == Pass::kWaiting && monotonic_ms() < until;
       p = r.drain(prev, &moved))
    nap_ns(kPassNapNs);
  r.flush(prev);
  RLY_LOG_T("ring key 0x%08x: %d records taken from the ring before.\n", static_cast<unsigned>(prev.key), moved);
  ring::unmap(&prev.v);
  r.forget_pending();
  r.forget_wait();
}

}  // namespace

extern "C" void rly_ring_run(tav_thr* t) {
  RingReader r;
  r.t = t;
  const rly_batch_plan plan =
      rly_batch_plan_for(rly_build(), t->qtype, en_gtuid_msend_count, en_tcode_msend_count);
  if (!r.b.open(t, plan)) {
    RLY_LOG_E("malloc error (%d:%s).\n", errno, strerror(errno));
    return;
  }
  r.pending.reserve(static_cast<size_t>(plan.max));
  const auto family = t->qtype == 0 ? ring::kGtuidFamily : ring::kTcodeFamily;
  const auto slots = static_cast<uint32_t>(family == ring::kGtuidFamily ? en_ring_gtuid_slots : en_ring_tcode_slots);
  rly_ring g, prev;
  const rly_ring_start how = rly_ring_open(&g, t->qkey, family, slots, en_ring_mode, &prev);
  if (!g.v.mapped()) {
    RLY_LOG_E("ring key 0x%08x %s (%d:%s): records come by the queue only.\n", static_cast<unsigned>(t->qkey),
              rly_ring_start_text(how), errno, strerror(errno));
    r.b.close();
    return;
  }
  RLY_LOG_T("ring key 0x%08x, shmid %d, slots %llu %s !\n", static_cast<unsigned>(t->qkey), g.v.shmid,
            static_cast<unsigned long long>(g.v.capacity()), rly_ring_start_text(how));
  drain_previous(r, prev);

  Counts logged;
  uint64_t last_record = monotonic_ms(), next_check = last_record + kKeyCheckMs;
  uint64_t next_counts = last_record + kCountsLogMs;
  while (!stopping(t)) {
    if (r.b.held) {
      nap_ns(kHoldRetryMs * 1000000L);
      r.flush(g);
      continue;
    }
    const uint64_t now = monotonic_ms();
    const bool key_check = now >= next_check;
    if (key_check) next_check = now + kKeyCheckMs;
    int moved = 0;
    const char* fault = rly_ring_fault(g, key_check);
    const Pass p = fault ? Pass::kSpoiled : r.drain(g, &moved);
    if (p == Pass::kSpoiled) {
      RLY_LOG_E("ring key 0x%08x spoiled (%s): replaced.\n", static_cast<unsigned>(g.key),
                fault ? fault : "positions");
      r.flush(g);
      r.forget_pending();
      const bool again = rly_ring_replace(&g);
      r.forget_wait();
      if (!again) {
        RLY_LOG_E("ring key 0x%08x not made again (%d:%s): records come by the queue only.\n",
                  static_cast<unsigned>(g.key), errno, strerror(errno));
        break;
      }
      RLY_LOG_T("ring key 0x%08x, shmid %d, slots %llu created !\n", static_cast<unsigned>(g.key), g.v.shmid,
                static_cast<unsigned long long>(g.v.capacity()));
      continue;
    }
    if (now >= next_counts) {
      next_counts = now + kCountsLogMs;
      log_counts(g, &logged);
    }
    if (moved > 0) last_record = now;
    if (p == Pass::kHeld) continue;
    r.flush(g);  // momentarily empty: what is in the batch goes out
    if (p == Pass::kWaiting || now - last_record < kIdleBeforeSleepMs)
      nap_ns(kPassNapNs);
    else
      r.sleep(g);
  }
  // Records of a batch no master took stay in the ring for the next relay.
  if (g.v.mapped())
    r.flush(g);
  else
    r.b.flush();
  if (g.v.mapped()) {
    log_counts(g, &logged);
    rly_ring_leave(&g);
  }
  r.b.close();
  RLY_LOG_T("ring thread stop. key(0x%08x)\n", static_cast<unsigned>(t->qkey));
}
