// Common frame of the data-transfer overrides.
#pragma once

#include "core/tav_load.h"
#include "core/tav_tables.h"

namespace tav {

// Runs `real` (the real call with the host's arguments) after the prologue
// and the bookkeeping of a tracked descriptor. Untracked descriptors, numbers
// outside the table and a library that did not start cost the prologue and
// one table lookup.
template <typename Real>
inline auto io_call(int fd, Real real) {
  if (!prologue()) return real();
  mfd* r = fd_record(fd);
  if (!r || r->info == 0) return real();
  mthr* m = tav_thrinfo();
  if (thread_usable(m)) m->fildes = fd;
  return real();
}

}  // namespace tav
