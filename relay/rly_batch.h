// Batches of queue records for the master: sizes, margins, when a batch goes
// out, and how much one queue receive may take.
#pragma once

#include <cstddef>

#include "rly_build.h"

// One buffer per reader, laid out as the message to the master: length
// field, header, record count, four zero bytes, records.
inline constexpr size_t RLY_BATCH_BUFFER = 524324;
inline constexpr int RLY_GTUID_RECORD = 288;
inline constexpr int RLY_GTUID_MAX = 1820;
// Receive limit of the builds that take whole single records only.
inline constexpr size_t RLY_EXACT_RECV_LIMIT = 1016;

struct rly_batch_plan {
  int record;         // bytes of one record
  int max;            // records a batch may hold
  int threshold;      // a batch goes out once it holds this many
  size_t limit;       // message text bytes one receive may take (before the room check)
  int exact;          // 1: a message counts only when it is exactly one record
  const char* code;   // message code of the batch
};

// Batching margin: the configured count when at least 1, else 30; at most 100.
int rly_margin(int configured);

// Plan of a reader of queue kind qtype (0 gtuid, 1 tcode) in build b.
rly_batch_plan rly_batch_plan_for(const rly_build_t& b, int qtype, int gtuid_msend, int tcode_msend);

// Offset at which the next record lands when the batch holds n.
inline size_t rly_batch_at(const rly_batch_plan& p, int n) {
  return 40 + static_cast<size_t>(p.record) * static_cast<size_t>(n);
}

// Bytes of message text the next receive may take: the plan's limit, never
// more than the room left in the buffer.
size_t rly_recv_room(const rly_batch_plan& p, int n);

// Records that a message of `bytes` text bytes adds to the batch.
int rly_records_in(const rly_batch_plan& p, size_t bytes);

// Writes the header of a batch (at offset 4) into a zeroed buffer.
void rly_batch_init(char* buf, const rly_batch_plan& p);
// Fills the length field and the record count for n records; returns the
// bytes of the whole frame.
size_t rly_batch_seal(char* buf, const rly_batch_plan& p, int n);
