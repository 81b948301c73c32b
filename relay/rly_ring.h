// The relay's side of a record ring: making it beside a queue (or taking
// over the one a previous relay left), seeing that it stays sound, and
// replacing it when it is not.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "base/tav_ring.h"

struct rly_ring {
  tav::ring::View v;
  key_t key = 0;
  tav::ring::Family family = tav::ring::kGtuidFamily;
  uint32_t capacity = 0;
  int mode = 0;
  // The relay's own copy of the next position to take. The header's `tail`
  // only shows it.
  uint64_t tail = 0;
};

// How a ring came to be.
enum class rly_ring_start {
  kCreated,   // a new segment
  kReused,    // the sound ring a previous relay left, records and all
  kReplaced,  // a previous ring of another size or a spoiled one, removed
  kForeign,   // the key has a segment that is not a ring: queue only
  kFailed,    // no segment could be made or attached: queue only
};
const char* rly_ring_start_text(rly_ring_start s);

// Makes the ring of `capacity` slots (a power of two) with `key`, or takes
// over a sound one of that size. On kReplaced the ring before is in
// `previous` when it may still hold records (else unmapped).
rly_ring_start rly_ring_open(rly_ring* r, key_t key, tav::ring::Family family, uint32_t capacity,
                             int mode, rly_ring* previous);

// What is wrong with the ring, or null when nothing: a header field that is
// not what the relay wrote, or the key now naming another segment.
const char* rly_ring_fault(const rly_ring& r, bool check_key);

// Replaces a spoiled or vanished ring with a new segment: the old one is
// retired (its producers move on) and, when it still has the key, removed.
// False when no new ring could be made (the relay then serves the queue only).
bool rly_ring_replace(rly_ring* r);

// Retires a ring (its producers go to the queue, then to a new ring) and
// detaches it.
void rly_ring_retire(rly_ring* r);
// The relay stops: the ring stays for the next one, its records kept.
void rly_ring_leave(rly_ring* r);

// Rings switched off: a ring with `key` is retired and removed, so that
// probes write onto the queue. True when there was one.
bool rly_ring_withdraw(key_t key);

// Bytes a record of `kind` has in `family`, 0 when the family has no such
// record.
uint32_t rly_ring_record_size(tav::ring::Family family, uint32_t kind);
