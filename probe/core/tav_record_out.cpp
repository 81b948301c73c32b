// Records into the relay's rings, or onto the queues.
//
// A route maps at most two rings: the one in use and the one before it,
// which stays mapped until no thread is inside a write to it. A thread
// announces the ring it writes to in its own record (`ring_hold`) before it
// checks that the ring is still the route's, so the thread that replaces a
// ring can tell when the old one is free to detach.
#include "core/tav_record_out.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/tav_globals.h"
#include "base/tav_atomic.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_ring.h"
#include "base/tav_time.h"
#include "core/tav_tables.h"

namespace tav {

namespace {

using tav::atomic_in;

// How often a route looks for its ring, or checks that the one it writes to
// is still the key's.
constexpr uint64_t kLookMs = 1000;
// How often a queue that does not exist is looked up again.
constexpr uint64_t kQueueRetryMs = 1000;

struct Route {
  ring::View maps[2];
  ring::View* current;     // &maps[0], &maps[1] or null: the queue
  uint64_t next_look_ms;   // when the ring is looked at again
  uint64_t next_queue_ms;  // when a missing queue is looked up again
  int busy;                // one thread looks at a time
  int last;                // the last look's ring::OpenResult, logged when it changes
};

struct Routes {
  Route* routes = nullptr;
  int count = 0;
};
Routes g_routes[3];

Route* route_of(RecordFamily f, int index) {
  Routes& r = g_routes[static_cast<int>(f)];
  return r.routes && index >= 0 && index < r.count ? &r.routes[index] : nullptr;
}

// Some thread is inside a write to `v`.
bool held(const ring::View* v) {
  if (!en_mthr) return false;
  const int last = atomic_in(tav_mth_idx).load(std::memory_order_relaxed);
  for (int i = 0; i <= last && i < en_thread_max; ++i)
    if (atomic_in(en_mthr[i].ring_hold).load(std::memory_order_seq_cst) == v) return true;
  return false;
}

// Detaches the mappings not in use once no thread writes to them.
void free_previous(Route& r, const ring::View* cur) {
  for (ring::View& v : r.maps)
    if (&v != cur && v.mapped() && !held(&v)) ring::unmap(&v);
}

void log_look(key_t key, int result, const ring::View* v) {
  if (result == static_cast<int>(ring::OpenResult::kOpened))
    TAV_LOG_T("M", "ring(0x%08x) attach. shmid(%d) slots(%llu)\n", static_cast<unsigned>(key), v->shmid,
              static_cast<unsigned long long>(v->capacity()));
  else
    TAV_LOG_T("M", "ring(0x%08x) not used: %s. records go onto the queue.\n", static_cast<unsigned>(key),
              ring::open_result_text(static_cast<ring::OpenResult>(result)));
}

// Keeps the route on the ring that has its key, if there is one.
void look(Route& r, key_t key, uint64_t now) {
  int idle = 0;
  if (!atomic_in(r.busy).compare_exchange_strong(idle, 1, std::memory_order_acquire)) return;
  atomic_in(r.next_look_ms).store(now + kLookMs, std::memory_order_relaxed);
  ring::View* cur = atomic_in(r.current).load(std::memory_order_acquire);
  free_previous(r, cur);
  if (cur && ring::live(*cur) && shmget(key, 0, 0) == cur->shmid) {
    atomic_in(r.busy).store(0, std::memory_order_release);
    return;
  }
  ring::View* spare = nullptr;
  for (ring::View& v : r.maps)
    if (&v != cur && !v.mapped()) spare = &v;
  if (spare) {
    ring::View fresh;
    ring::OpenResult res = ring::open_existing(key, true, &fresh);
    if (res == ring::OpenResult::kOpened && !ring::live(fresh)) {
      ring::unmap(&fresh);  // retired, and not yet removed: nobody drains it
      res = ring::OpenResult::kMissing;
    }
    const int result = static_cast<int>(res);
    if (res == ring::OpenResult::kOpened) {
      *spare = fresh;
      atomic_in(r.current).store(spare, std::memory_order_seq_cst);
    } else if (cur) {
      atomic_in(r.current).store(nullptr, std::memory_order_seq_cst);  // the queue until a ring appears
    }
    if (result != r.last || res == ring::OpenResult::kOpened) log_look(key, result, spare);
    r.last = result;
  }
  // Else a thread still writes to the ring before: the route stays as it is
  // (on a retired ring its records go onto the queue) until the next look.
  atomic_in(r.busy).store(0, std::memory_order_release);
}

// The thread may write to rings: a slot of its own, not the shared record
// of threads that found the table full.
bool ring_writer(const mthr* m) { return !en_mthr || m != overflow_record(); }

// The ring path: 0 sent, -1 dropped, 1 not taken (use the queue).
int ring_send(Route& r, mthr* m, uint32_t kind, const void* payload, size_t size) {
  ring::View* v = atomic_in(r.current).load(std::memory_order_acquire);
  if (!v || !ring_writer(m)) return 1;
  const void* before = atomic_in(m->ring_hold).load(std::memory_order_relaxed);  // a send interrupted by a signal
  atomic_in(m->ring_hold).store(v, std::memory_order_seq_cst);
  int rc = 1;
  if (atomic_in(r.current).load(std::memory_order_seq_cst) == v && ring::live(*v)) {
    switch (ring::put(*v, kind, payload, size)) {
      case ring::Put::kDone: rc = 0; break;
      case ring::Put::kFull:
      case ring::Put::kLate: rc = -1; break;
      case ring::Put::kTooLarge: rc = 1; break;
    }
  }
  atomic_in(m->ring_hold).store(before, std::memory_order_release);
  return rc;
}

int queue_send(Route* r, const char* name, const QueueRun& run, int index, const void* msg, size_t size) {
  const key_t key = run.key + index;
  // The id array is shared between threads: a reset and a reopen racing each
  // other both store a usable value.
  int id = atomic_in(run.ids[index]).load(std::memory_order_relaxed);
  if (id == -1) {
    const uint64_t now = r ? coarse_clock_ms() : 0;
    if (r && now < atomic_in(r->next_queue_ms).load(std::memory_order_relaxed)) return -1;
    id = tav::real::msgget(key, 0666);
    atomic_in(run.ids[index]).store(id, std::memory_order_relaxed);
    if (id == -1) {
      if (r) atomic_in(r->next_queue_ms).store(now + kQueueRetryMs, std::memory_order_relaxed);
      return -1;
    }
  }
  const int rc = tav::real::msgsnd(id, msg, size, IPC_NOWAIT);
  if (rc == -1 && errno == EINVAL) {
    const int err = errno;
    TAV_LOG_T("M", "%s(0x%08x, %d) send error. (%d:%s)\n", name, static_cast<unsigned>(key), id, err,
              strerror(err));
    atomic_in(run.ids[index]).store(-1, std::memory_order_relaxed);
  }
  return rc;
}

}  // namespace

QueueRun queue_run(RecordFamily family) {
  switch (family) {
    case RecordFamily::kGtuid: return {en_gtuid_queue_key, en_gtuid_queue_count, en_gtuid_queue_id};
    case RecordFamily::kTcode: return {en_tcode_queue_key, en_tcode_queue_count, en_tcode_queue_id};
    case RecordFamily::kTcod6: return {en_tcod6_queue_key, en_tcod6_queue_count, en_tcod6_queue_id};
  }
  return {0, 0, nullptr};
}

bool record_routes_init() {
  record_routes_reset();
  const uint64_t now = coarse_clock_ms();
  for (int f = 0; f < 3; ++f) {
    const QueueRun run = queue_run(static_cast<RecordFamily>(f));
    if (run.count < 1 || !run.ids) continue;
    auto* routes = static_cast<Route*>(calloc(static_cast<size_t>(run.count), sizeof(Route)));
    if (!routes) return false;
    g_routes[f] = {routes, run.count};
    for (int i = 0; i < run.count; ++i) {
      routes[i].last = -1;
      look(routes[i], run.key + i, now);
    }
  }
  return true;
}

void record_routes_reset() {
  for (Routes& rs : g_routes) {
    for (int i = 0; rs.routes && i < rs.count; ++i) {
      ring::unmap(&rs.routes[i].maps[0]);
      ring::unmap(&rs.routes[i].maps[1]);
    }
    free(rs.routes);
    rs = Routes{};
  }
}

void record_routes_after_fork() {
  for (Routes& rs : g_routes)
    for (int i = 0; rs.routes && i < rs.count; ++i) rs.routes[i].busy = 0;
  if (!en_mthr) return;
  for (int i = 0; i <= en_thread_max; ++i) en_mthr[i].ring_hold = nullptr;
}

int record_send(mthr* m, RecordFamily family, int index, uint32_t kind, const char* name,
                const void* msg, size_t size) {
  const QueueRun run = queue_run(family);
  if (run.count <= 0 || !run.ids || index < 0 || index >= run.count) return -1;
  Route* r = route_of(family, index);
  if (r) {
    const uint64_t now = coarse_clock_ms();
    if (now >= atomic_in(r->next_look_ms).load(std::memory_order_relaxed)) look(*r, run.key + index, now);
    const int rc = ring_send(*r, m, kind, static_cast<const char*>(msg) + sizeof(long), size);
    if (rc <= 0) return rc;
  }
  return queue_send(r, name, run, index, msg, size);
}

int record_route_ring(RecordFamily family, int index) {
  Route* r = route_of(family, index);
  const ring::View* v = r ? atomic_in(r->current).load(std::memory_order_acquire) : nullptr;
  return v && ring::live(*v) ? v->shmid : -1;
}

void record_routes_look_now() {
  for (Routes& rs : g_routes)
    for (int i = 0; rs.routes && i < rs.count; ++i)
      atomic_in(rs.routes[i].next_look_ms).store(0, std::memory_order_relaxed);
}

}  // namespace tav
