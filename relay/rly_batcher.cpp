#include "rly_batcher.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "rly_reader.h"
#include "rly_state.h"

bool rly_batcher::open(tav_thr* reader, const rly_batch_plan& p) {
  t = reader;
  plan = p;
  n = 0;
  held = false;
  buf = static_cast<char*>(calloc(1, RLY_BATCH_BUFFER));
  if (!buf) return false;
  rly_batch_init(buf, plan);
  return true;
}

void rly_batcher::close() {
  free(buf);
  buf = nullptr;
  n = 0;
}

void rly_batcher::flush() {
  if (n == 0) return;
  const int length = static_cast<int>(rly_batch_seal(buf, plan, n) - 4);
  if (tav_adt_proc(t, buf, n, length) == length + 4) {
    n = 0;
    held = false;
    return;
  }
  if (!held) RLY_LOG_T("adt batch held. rcnt(%d) qkey(0x%08x)\n", n, t->qkey);
  held = true;
}

void rly_batcher::take(size_t bytes) {
  n += rly_records_in(plan, bytes);
  if (n >= plan.threshold) flush();
}
