// One reader's batch on its way to the master: records are put at its end,
// and it goes out on the next accepted session once it holds enough, or
// when the reader's source is momentarily empty.
#pragma once

#include <cstddef>

#include "rly_batch.h"

struct tav_thr;

struct rly_batcher {
  tav_thr* t = nullptr;
  rly_batch_plan plan{};
  char* buf = nullptr;
  int n = 0;
  // The last batch found no session to take it whole: the reader takes no
  // more records (they wait where they are) and offers it again, so records
  // read before a master accepts, or while every session is down, are kept.
  bool held = false;

  // Allocates and heads the buffer for reader `t`; false when memory is short.
  bool open(tav_thr* reader, const rly_batch_plan& p);
  void close();

  // Where the next record goes.
  char* end() const { return buf + rly_batch_at(plan, n); }
  // Room at the end for `bytes` more.
  bool fits(size_t bytes) const { return rly_batch_at(plan, n) + bytes <= RLY_BATCH_BUFFER; }
  // Sends what the batch holds (nothing when empty).
  void flush();
  // Counts a message of `bytes` text bytes now lying at the end, and sends
  // the batch once it holds enough.
  void take(size_t bytes);
};
