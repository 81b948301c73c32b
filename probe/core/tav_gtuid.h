// The transaction identifier record: 96 bytes, the same in memory and on the
// wire in front of every message between two monitored processes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/tav_be.h"

// The tag carries the _t name: a member may not share its class name.
struct gtuid_t {
  uint8_t init[4];       // marker 02 0A 24 0F
  uint8_t gflag;         // 1: an active transaction
  uint8_t gtuid[11];     // 22 decimal digits packed two per byte
  tav::be16 seq;         // hop sequence number
  tav::be16 bizseq;
  uint8_t routing;
  uint8_t svc;
  uint8_t ip[4];         // origin peer address, one byte per component
  tav::be32 gpat;        // path pattern
  tav::be32 wpat;
  tav::be64 stime;       // start, microseconds since the epoch
  tav::be32 mask;
  uint8_t rem[4];        // rem[0]: keep flag
  char trcode[32];       // transaction code, zero-filled
  tav::be16 callseq;
  char trblock;
  uint8_t etc;
  tav::be32 ctime;       // latest hop, microseconds since the epoch mod 2^31
  tav::be16 wkey;
  tav::be32 pck;         // payload bytes that follow the block on the wire
};

static_assert(sizeof(gtuid_t) == 96);
static_assert(offsetof(gtuid_t, gflag) == 4);
static_assert(offsetof(gtuid_t, gtuid) == 5);
static_assert(offsetof(gtuid_t, seq) == 16);
static_assert(offsetof(gtuid_t, bizseq) == 18);
static_assert(offsetof(gtuid_t, routing) == 20);
static_assert(offsetof(gtuid_t, svc) == 21);
static_assert(offsetof(gtuid_t, ip) == 22);
static_assert(offsetof(gtuid_t, gpat) == 26);
static_assert(offsetof(gtuid_t, wpat) == 30);
static_assert(offsetof(gtuid_t, stime) == 34);
static_assert(offsetof(gtuid_t, mask) == 42);
static_assert(offsetof(gtuid_t, rem) == 46);
static_assert(offsetof(gtuid_t, trcode) == 50);
static_assert(offsetof(gtuid_t, callseq) == 82);
static_assert(offsetof(gtuid_t, trblock) == 84);
static_assert(offsetof(gtuid_t, etc) == 85);
static_assert(offsetof(gtuid_t, ctime) == 86);
static_assert(offsetof(gtuid_t, wkey) == 90);
static_assert(offsetof(gtuid_t, pck) == 92);

extern "C" {
// The marker that opens every record; read as a big-endian number it is also
// the port-range marker of the address lists.
extern const uint8_t TAV_GTUID_INIT[4];
}

struct mthr;

extern "C" {
// Gives the thread a new active identifier: clock reading and node id as the
// 22 packed digits, everything after the identifier zeroed, the origin address
// from the thread's last descriptor. Always 0. `init` is left as it is.
int tav_gtuid_create(struct mthr* m);
// Stamps the start and latest-hop times with the current time and zeroes the
// elapsed and running times of the thread's type-1 message.
void tav_gtuid_time_init(struct mthr* m);
// Times one hop: running time since the start and elapsed time since the
// previous hop (plus the thread's pending database time) into the thread's
// type-1 message, then moves the latest-hop time to now.
void tav_gtuid_time(struct mthr* m);
// The path-pattern hash of `len` bytes (lookup2, bytes read as signed chars).
uint32_t tav_pattern_value(const void* data, int len);
}

namespace tav {
// tav_gtuid_time at the clock reading `now_us` (microseconds since the epoch);
// the date-time text of the thread's message is not touched.
void gtuid_time_at(mthr* m, uint64_t now_us);
}  // namespace tav
