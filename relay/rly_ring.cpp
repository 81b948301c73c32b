#include "rly_ring.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/tav_atomic.h"
#include "base/tav_mzp.h"

namespace ring = tav::ring;
using tav::atomic_in;

namespace {

uint64_t new_generation() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  const uint64_t g = (static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec)) ^
                     (static_cast<uint64_t>(getpid()) << 44);
  return g ? g : 1;
}

// The relay may remove the segment: it made it, owns it, or is root.
bool ours(int shmid) {
  shmid_ds ds{};
  if (shmid < 0 || shmctl(shmid, IPC_STAT, &ds) != 0) return false;
  const uid_t me = geteuid();
  return me == 0 || ds.shm_perm.uid == me || ds.shm_perm.cuid == me;
}

// A new segment with `key`. False when the key is taken (errno EEXIST) or
// the system refuses.
bool create(rly_ring* r, key_t key, ring::Family family, uint32_t capacity, int mode) {
  const size_t bytes = ring::bytes_for(capacity);
  const int id = shmget(key, bytes, IPC_CREAT | IPC_EXCL | (mode & 0777));
  if (id < 0) return false;
  void* base = shmat(id, nullptr, 0);
  if (base == reinterpret_cast<void*>(-1)) {
    const int e = errno;
    shmctl(id, IPC_RMID, nullptr);
    errno = e;
    return false;
  }
  ring::format(base, capacity, family, key, new_generation(), static_cast<uint32_t>(mode), getpid());
  ring::check(base, bytes, &r->v);
  r->v.shmid = id;
  r->tail = 0;
  return true;
}

// The ring a previous relay left can go on as it is: the size asked for,
// the family and key it should have, and positions that make sense.
bool reusable(const ring::View& v, key_t key, ring::Family family, uint32_t capacity) {
  const ring::Header& h = *v.h;
  const uint64_t head = atomic_in(const_cast<uint64_t&>(h.head)).load(std::memory_order_acquire);
  const uint64_t tail = atomic_in(const_cast<uint64_t&>(h.tail)).load(std::memory_order_acquire);
  return v.capacity() == capacity && h.family == family && h.key == static_cast<uint32_t>(key) &&
         ring::live(v) && head - tail <= v.capacity();
}

void set_mode(int shmid, int mode) {
  shmid_ds ds{};
  if (shmctl(shmid, IPC_STAT, &ds) != 0 || (ds.shm_perm.mode & 0777) == static_cast<unsigned>(mode & 0777))
    return;
  ds.shm_perm.mode = static_cast<unsigned short>((ds.shm_perm.mode & ~0777u) | (mode & 0777));
  shmctl(shmid, IPC_SET, &ds);
}

}  // namespace

const char* rly_ring_start_text(rly_ring_start s) {
  switch (s) {
    case rly_ring_start::kCreated: return "created";
    case rly_ring_start::kReused: return "taken over";
    case rly_ring_start::kReplaced: return "replaced";
    case rly_ring_start::kForeign: return "key held by a segment that is not a ring";
    case rly_ring_start::kFailed: return "not made";
  }
  return "?";
}

rly_ring_start rly_ring_open(rly_ring* r, key_t key, ring::Family family, uint32_t capacity, int mode,
                             rly_ring* previous) {
  *r = rly_ring{};
  r->key = key;
  r->family = family;
  r->capacity = capacity;
  r->mode = mode;
  if (previous) *previous = rly_ring{};
  bool replaced = false;
  // A second round when another process took the key between two steps.
  for (int round = 0; round < 3; ++round) {
    ring::View old;
    const ring::OpenResult res = ring::open_existing(key, true, &old);
    if (res == ring::OpenResult::kMissing) {
      if (create(r, key, family, capacity, mode)) return replaced ? rly_ring_start::kReplaced : rly_ring_start::kCreated;
      if (errno == EEXIST) continue;
      return rly_ring_start::kFailed;
    }
    if (res == ring::OpenResult::kNotRing) return rly_ring_start::kForeign;
    if (res == ring::OpenResult::kDenied || res == ring::OpenResult::kFailed) return rly_ring_start::kFailed;

    if (res == ring::OpenResult::kOpened && reusable(old, key, family, capacity)) {
      r->v = old;
      r->tail = atomic_in(old.h->tail).load(std::memory_order_acquire);
      atomic_in(old.h->relay_pid).store(getpid(), std::memory_order_relaxed);
      old.h->mode = static_cast<uint32_t>(mode);
      set_mode(old.shmid, mode);
      return rly_ring_start::kReused;
    }
    // Another size, another layout, or not sound: removed, and replaced.
    const int id = res == ring::OpenResult::kOpened ? old.shmid : shmget(key, 0, 0);
    if (!ours(id)) {
      ring::unmap(&old);
      return rly_ring_start::kFailed;
    }
    shmctl(id, IPC_RMID, nullptr);  // the key is free; mappings stay until detached
    replaced = true;
    if (old.mapped()) {
      const uint64_t head = atomic_in(old.h->head).load(std::memory_order_acquire);
      const uint64_t tail = atomic_in(old.h->tail).load(std::memory_order_acquire);
      atomic_in(old.h->live).store(0, std::memory_order_release);
      if (previous && head - tail <= old.capacity()) {
        // A ring of another size may still hold records: the caller drains it.
        previous->v = old;
        previous->key = key;
        previous->family = family;
        previous->capacity = static_cast<uint32_t>(old.capacity());
        previous->tail = tail;
      } else {
        ring::unmap(&old);
      }
    }
  }
  return rly_ring_start::kFailed;
}

const char* rly_ring_fault(const rly_ring& r, bool check_key) {
  ring::Header& h = *r.v.h;
  if (atomic_in(h.magic).load(std::memory_order_relaxed) != ring::kMagic) return "magic";
  if (atomic_in(h.version).load(std::memory_order_relaxed) != ring::kVersion ||
      atomic_in(h.family).load(std::memory_order_relaxed) != r.family ||
      atomic_in(h.header_size).load(std::memory_order_relaxed) != sizeof(ring::Header) ||
      atomic_in(h.slot_size).load(std::memory_order_relaxed) != sizeof(ring::Slot) ||
      atomic_in(h.capacity).load(std::memory_order_relaxed) != r.v.capacity() ||
      atomic_in(h.key).load(std::memory_order_relaxed) != static_cast<uint32_t>(r.key) ||
      atomic_in(h.generation).load(std::memory_order_relaxed) != r.v.generation)
    return "layout";
  if (!ring::live(r.v)) return "retired";
  if (check_key && shmget(r.key, 0, 0) != r.v.shmid) return "removed";
  return nullptr;
}

bool rly_ring_replace(rly_ring* r) {
  const key_t key = r->key;
  const ring::Family family = r->family;
  const uint32_t capacity = r->capacity;
  const int mode = r->mode;
  if (shmget(key, 0, 0) == r->v.shmid) shmctl(r->v.shmid, IPC_RMID, nullptr);
  rly_ring_retire(r);
  rly_ring previous;
  const rly_ring_start s = rly_ring_open(r, key, family, capacity, mode, &previous);
  rly_ring_retire(&previous);  // what a spoiled ring holds is not trusted
  return s == rly_ring_start::kCreated || s == rly_ring_start::kReused || s == rly_ring_start::kReplaced;
}

void rly_ring_retire(rly_ring* r) {
  if (!r->v.mapped()) return;
  atomic_in(r->v.h->live).store(0, std::memory_order_release);
  ring::unmap(&r->v);
}

void rly_ring_leave(rly_ring* r) {
  if (!r->v.mapped()) return;
  ring::Header& h = *r->v.h;
  int32_t me = getpid();
  atomic_in(h.relay_pid).compare_exchange_strong(me, 0, std::memory_order_relaxed);
  atomic_in(h.sleeping).store(0, std::memory_order_release);
  ring::unmap(&r->v);
}

bool rly_ring_withdraw(key_t key) {
  ring::View v;
  const ring::OpenResult res = ring::open_existing(key, true, &v);
  if (res == ring::OpenResult::kOpened) {
    atomic_in(v.h->live).store(0, std::memory_order_release);
    if (ours(v.shmid)) shmctl(v.shmid, IPC_RMID, nullptr);
    ring::unmap(&v);
    return true;
  }
  if (res == ring::OpenResult::kMismatch) {
    const int id = shmget(key, 0, 0);
    if (ours(id)) shmctl(id, IPC_RMID, nullptr);
    return true;
  }
  return false;
}

uint32_t rly_ring_record_size(ring::Family family, uint32_t kind) {
  constexpr uint32_t kType = sizeof(long);
  if (family == ring::kGtuidFamily) return kind == 1 ? sizeof(mzp1_t) - kType : 0;
  switch (kind) {
    case 2: return sizeof(mzp2_t) - kType;
    case 4: return sizeof(mzp4_t) - kType;
    case 6: return sizeof(mzp6_t) - kType;
    default: return 0;
  }
}
