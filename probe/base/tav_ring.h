// The record ring: a System V shared-memory segment with the key of each
// record queue, created by the relay, into which every monitored process of
// the host writes its records without a system call. (A segment's size is
// fixed when it is made, so no process can shrink it under a mapping.)
//
// Positions count up from 0 and are never reused; slot `pos & mask` holds
// position `pos`. A slot's `seq` says what it holds: `pos` while free for the
// producers of that position, `pos + 1` once the record at `pos` is
// published. The relay frees a slot by setting `seq` to `pos + capacity`,
// the next lap's free value, once the batch holding its record is written. Producers reserve a position
// by advancing `head`, copy the record, and publish with a compare-and-swap
// of `seq`, so that a relay that gave up waiting for a slot (its writer was
// killed between the two steps) and a writer that comes back late never both
// succeed.
//
// Every process of the host may write the segment, so neither side trusts
// what it reads there: a mapping keeps its own copy of the geometry it
// checked when it attached, and indexes only with that.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tav::ring {

inline constexpr uint32_t kMagic = 0x52'4c'45'51;  // "QELR" in memory on little-endian hosts
inline constexpr uint16_t kVersion = 1;
// Largest record a slot holds: the type-6 transaction-code record (296).
inline constexpr uint32_t kPayloadMax = 304;
inline constexpr uint32_t kMinSlots = 64;
inline constexpr uint32_t kMaxSlots = 1u << 20;

// Which queue family a ring stands beside.
enum Family : uint16_t { kGtuidFamily = 0, kTcodeFamily = 1 };

// Host byte order throughout: the segment never leaves the host.
struct alignas(64) Header {
  // Written once by the relay before `magic`; read by producers when they map.
  uint32_t magic;
  uint16_t version;
  uint16_t family;
  uint32_t header_size;  // bytes before the first slot
  uint32_t slot_size;    // bytes of one slot
  uint32_t capacity;     // slots, a power of two
  uint32_t key;          // the queue key the ring stands beside
  uint64_t generation;   // never 0; differs at every creation
  int32_t relay_pid;     // the relay draining it, 0 after an orderly stop
  uint32_t mode;         // permission bits it was created with
  uint8_t pad0[24];

  // The producers' line.
  uint64_t head;     // next position to reserve
  uint64_t dropped;  // records producers gave up: ring full, or published too late
  uint8_t pad1[48];

  // Written by the relay, read by producers at every record.
  uint64_t live;      // == generation while the relay drains this ring; 0 once retired
  uint32_t sleeping;  // futex word: 1 while the relay waits for a record
  uint32_t pad2;
  uint8_t pad3[48];

  // The relay's counters, for operators.
  uint64_t tail;      // first position not yet freed: a relay taking the ring over starts there
  uint64_t taken;     // records whose batch was written to a master
  uint64_t skipped;   // positions given up: reserved and not published in time
  uint64_t rejected;  // published slots whose size or kind is not a record of the family
  uint8_t pad4[32];
};

static_assert(sizeof(Header) == 256);
static_assert(offsetof(Header, version) == 4);
static_assert(offsetof(Header, family) == 6);
static_assert(offsetof(Header, header_size) == 8);
static_assert(offsetof(Header, slot_size) == 12);
static_assert(offsetof(Header, capacity) == 16);
static_assert(offsetof(Header, key) == 20);
static_assert(offsetof(Header, generation) == 24);
static_assert(offsetof(Header, relay_pid) == 32);
static_assert(offsetof(Header, mode) == 36);
static_assert(offsetof(Header, head) == 64);
static_assert(offsetof(Header, dropped) == 72);
static_assert(offsetof(Header, live) == 128);
static_assert(offsetof(Header, sleeping) == 136);
static_assert(offsetof(Header, tail) == 192);
static_assert(offsetof(Header, taken) == 200);
static_assert(offsetof(Header, skipped) == 208);
static_assert(offsetof(Header, rejected) == 216);

struct alignas(64) Slot {
  uint64_t seq;
  uint32_t size;  // record bytes in `payload`
  uint32_t kind;  // record type: 1, 2, 4 or 6
  unsigned char payload[kPayloadMax];
};

static_assert(sizeof(Slot) == 320);
static_assert(offsetof(Slot, size) == 8);
static_assert(offsetof(Slot, kind) == 12);
static_assert(offsetof(Slot, payload) == 16);

// Bytes of a ring of `capacity` slots.
constexpr size_t bytes_for(uint32_t capacity) {
  return sizeof(Header) + static_cast<size_t>(capacity) * sizeof(Slot);
}

// A capacity a ring may have: a power of two within [kMinSlots, kMaxSlots].
constexpr bool capacity_ok(uint32_t n) {
  return n >= kMinSlots && n <= kMaxSlots && (n & (n - 1)) == 0;
}

// One process's mapping of a ring. Everything but the two pointers is this
// process's own copy, checked once when it attached.
struct View {
  Header* h = nullptr;
  Slot* slots = nullptr;
  uint64_t mask = 0;  // capacity - 1
  uint64_t generation = 0;
  size_t bytes = 0;  // of the segment
  int shmid = -1;

  bool mapped() const { return h != nullptr; }
  uint64_t capacity() const { return mask + 1; }
};

// Why an existing ring could not be used.
enum class OpenResult {
  kOpened,
  kMissing,   // no segment with the key
  kDenied,    // not permitted
  kNotRing,   // too small, or no ring magic: some other segment has the key
  kMismatch,  // another version, slot or header size, or a capacity the segment cannot hold
  kFailed,    // the attach itself failed
};
const char* open_result_text(OpenResult r);

// Attaches the ring with `key` after checking its header against the
// segment's size. Read-only mappings are for looking at the counters.
OpenResult open_existing(key_t key, bool writable, View* out);
// Checks an attached segment of `bytes` bytes at `base` as a ring.
OpenResult check(void* base, size_t bytes, View* out);
// A segment of `bytes` bytes at `base` is a ring, whatever its state.
bool is_ring(const void* base, size_t bytes);
void unmap(View* v);

// The ring is still the one its mapping checked, and the relay has not
// retired it.
bool live(const View& v);

// Producers.
enum class Put { kDone, kFull, kLate, kTooLarge };
// Writes one record of `kind`; never waits and makes no system call, except
// one wake-up when the relay sleeps. kFull and kLate are counted in the
// header as dropped.
Put put(const View& v, uint32_t kind, const void* data, size_t size);

// The steps of put(): a position is reserved, its slot's payload written,
// and the record published.
struct Reservation {
  Slot* slot = nullptr;
  uint64_t pos = 0;
};
// False when the ring is full (counted as dropped).
bool reserve(const View& v, Reservation* r);
// kDone, or kLate when the relay gave the position up meanwhile (counted).
Put publish(const View& v, const Reservation& r, uint32_t kind, size_t size);

// The relay's side: one reader per ring.
enum class Peek {
  kEmpty,    // nothing reserved at `pos`
  kReady,    // published
  kPending,  // reserved (or spoiled) and not published
  kTaken,    // already freed for the next lap: a reader before this one took it
  kSpoiled,  // `head` cannot be right for a reader at `pos`
};
// What the slot of position `pos` holds. `seen` is its `seq`, for skip().
Peek peek(const View& v, uint64_t pos, uint64_t* seen);
inline Slot& slot_at(const View& v, uint64_t pos) { return v.slots[pos & v.mask]; }
// The record at `pos` is taken: the slot is free for the next lap.
void release(const View& v, uint64_t pos);
// Gives position `pos` up while its slot still holds `seen`: a late writer
// then fails to publish. False when the slot changed meanwhile (it was
// published after all).
bool skip(const View& v, uint64_t pos, uint64_t seen);
// An empty ring whose slot at `pos` holds anything but the free value for
// `pos` (someone wrote over it) is put right, so producers can reserve again.
void repair_empty(const View& v, uint64_t pos, uint64_t seen);

// Writes a new header and free slots into a mapping of `capacity` slots
// (the creator's side); `magic` goes last.
void format(void* base, uint32_t capacity, Family family, key_t key, uint64_t generation,
            uint32_t mode, pid_t relay);

}  // namespace tav::ring
