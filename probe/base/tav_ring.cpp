// The record ring's two sides: producers reserve, copy and publish; the
// relay peeks, takes and frees.
#include "base/tav_ring.h"

#include "base/tav_atomic.h"

#include <linux/futex.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace tav::ring {

namespace {

using tav::atomic_in;

// A producer that keeps losing the race for `head` gives up after this many
// rounds rather than spin: the record is dropped, never waited for.
constexpr int kReserveRounds = 256;

void count_drop(Header& h) { atomic_in(h.dropped).fetch_add(1, std::memory_order_relaxed); }

void wake(Header& h) {
  // Only the producer that turns the word from 1 to 0 makes the call.
  if (atomic_in(h.sleeping).load(std::memory_order_seq_cst) == 0) return;
  if (atomic_in(h.sleeping).exchange(0, std::memory_order_seq_cst) == 0) return;
  syscall(SYS_futex, &h.sleeping, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

}  // namespace

const char* open_result_text(OpenResult r) {
  switch (r) {
    case OpenResult::kOpened: return "attached";
    case OpenResult::kMissing: return "no ring";
    case OpenResult::kDenied: return "not permitted";
    case OpenResult::kNotRing: return "not a ring";
    case OpenResult::kMismatch: return "another ring layout";
    case OpenResult::kFailed: return "attach failed";
  }
  return "?";
}

bool is_ring(const void* base, size_t bytes) {
  if (bytes < sizeof(Header)) return false;
  auto* h = static_cast<const Header*>(base);
  return atomic_in(const_cast<uint32_t&>(h->magic)).load(std::memory_order_acquire) == kMagic;
}

OpenResult check(void* base, size_t bytes, View* out) {
  if (!is_ring(base, bytes)) return OpenResult::kNotRing;
  auto* h = static_cast<Header*>(base);
  // One reading of each field: what is checked is what is used.
  const uint16_t version = atomic_in(h->version).load(std::memory_order_relaxed);
  const uint32_t header_size = atomic_in(h->header_size).load(std::memory_order_relaxed);
  const uint32_t slot_size = atomic_in(h->slot_size).load(std::memory_order_relaxed);
  const uint32_t capacity = atomic_in(h->capacity).load(std::memory_order_relaxed);
  const uint64_t generation = atomic_in(h->generation).load(std::memory_order_relaxed);
  if (version != kVersion || header_size != sizeof(Header) || slot_size != sizeof(Slot) ||
      !capacity_ok(capacity) || bytes_for(capacity) > bytes || generation == 0)
    return OpenResult::kMismatch;
  out->h = h;
  out->slots = reinterpret_cast<Slot*>(static_cast<char*>(base) + sizeof(Header));
  out->mask = capacity - 1;
  out->generation = generation;
  out->bytes = bytes;
  return OpenResult::kOpened;
}

OpenResult open_existing(key_t key, bool writable, View* out) {
  *out = View{};
  const int id = shmget(key, 0, 0);
  if (id < 0) return errno == EACCES ? OpenResult::kDenied : OpenResult::kMissing;
  shmid_ds ds{};
  if (shmctl(id, IPC_STAT, &ds) != 0) return errno == EACCES ? OpenResult::kDenied : OpenResult::kFailed;
  if (ds.shm_segsz < sizeof(Header)) return OpenResult::kNotRing;
  void* base = shmat(id, nullptr, writable ? 0 : SHM_RDONLY);
  if (base == reinterpret_cast<void*>(-1)) return errno == EACCES ? OpenResult::kDenied : OpenResult::kFailed;
  const OpenResult r = check(base, ds.shm_segsz, out);
  if (r != OpenResult::kOpened) {
    shmdt(base);
    *out = View{};
    return r;
  }
  out->shmid = id;
  return r;
}

void unmap(View* v) {
  if (v->h) shmdt(v->h);
  *v = View{};
}

bool live(const View& v) {
  return atomic_in(v.h->live).load(std::memory_order_acquire) == v.generation;
}

bool reserve(const View& v, Reservation* r) {
  Header& h = *v.h;
  uint64_t pos = atomic_in(h.head).load(std::memory_order_relaxed);
  for (int round = 0; round < kReserveRounds; ++round) {
    Slot* s = &slot_at(v, pos);
    const uint64_t seq = atomic_in(s->seq).load(std::memory_order_acquire);
    const auto ahead = static_cast<int64_t>(seq - pos);
    if (ahead == 0) {
      if (atomic_in(h.head).compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
        *r = {s, pos};
        return true;
      }
    } else if (ahead < 0) {
      break;  // the slot still holds the record of the lap before: full
    } else {
      pos = atomic_in(h.head).load(std::memory_order_relaxed);  // another producer took it
    }
  }
  count_drop(h);
  return false;
}

Put publish(const View& v, const Reservation& r, uint32_t kind, size_t size) {
  r.slot->size = static_cast<uint32_t>(size);
  r.slot->kind = kind;
  uint64_t expected = r.pos;
  if (!atomic_in(r.slot->seq).compare_exchange_strong(expected, r.pos + 1, std::memory_order_seq_cst)) {
    count_drop(*v.h);  // the relay gave the position up while we were away
    return Put::kLate;
  }
  wake(*v.h);
  return Put::kDone;
}

Put put(const View& v, uint32_t kind, const void* data, size_t size) {
  if (size > kPayloadMax) return Put::kTooLarge;
  Reservation r;
  if (!reserve(v, &r)) return Put::kFull;
  memcpy(r.slot->payload, data, size);
  return publish(v, r, kind, size);
}

Peek peek(const View& v, uint64_t pos, uint64_t* seen) {
  const uint64_t seq = atomic_in(slot_at(v, pos).seq).load(std::memory_order_acquire);
  *seen = seq;
  if (seq == pos + 1) return Peek::kReady;
  if (seq == pos + v.capacity()) return Peek::kTaken;
  const uint64_t head = atomic_in(v.h->head).load(std::memory_order_acquire);
  if (head == pos) return Peek::kEmpty;
  // Producers are never more than a lap ahead, nor behind the reader.
  if (head - pos > v.capacity()) return Peek::kSpoiled;
  return Peek::kPending;
}

void release(const View& v, uint64_t pos) {
  atomic_in(slot_at(v, pos).seq).store(pos + v.capacity(), std::memory_order_release);
}

bool skip(const View& v, uint64_t pos, uint64_t seen) {
  return atomic_in(slot_at(v, pos).seq).compare_exchange_strong(seen, pos + v.capacity(),
                                                         std::memory_order_acq_rel);
}

void repair_empty(const View& v, uint64_t pos, uint64_t seen) {
  if (seen != pos) atomic_in(slot_at(v, pos).seq).compare_exchange_strong(seen, pos, std::memory_order_acq_rel);
}

void format(void* base, uint32_t capacity, Family family, key_t key, uint64_t generation,
            uint32_t mode, pid_t relay) {
  auto* h = static_cast<Header*>(base);
  memset(h, 0, sizeof *h);
  h->version = kVersion;
  h->family = family;
  h->header_size = sizeof(Header);
  h->slot_size = sizeof(Slot);
  h->capacity = capacity;
  h->key = static_cast<uint32_t>(key);
  h->generation = generation;
  h->relay_pid = relay;
  h->mode = mode;
  h->live = generation;
  auto* slots = reinterpret_cast<Slot*>(static_cast<char*>(base) + sizeof(Header));
  for (uint32_t i = 0; i < capacity; ++i) {
    slots[i].seq = i;
    slots[i].size = 0;
    slots[i].kind = 0;
  }
  atomic_in(h->magic).store(kMagic, std::memory_order_release);
}

}  // namespace tav::ring
