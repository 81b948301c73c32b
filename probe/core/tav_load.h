// Start-up of the probe and the prologue that every entry point runs first.
#pragma once

#include "base/tav_export.h"
#include "base/tav_globals.h"

extern "C" {
void tav_load(void);
void tav_exit(void);
}


namespace tav {

// Slow half of the prologue: runs start-up unless the calling thread is the
// one performing it (start-up may itself reach the overrides through host
// libraries). Returns whether the library may do its own work on this call.
bool load_slow();

// Copies the run-time switches from the shared segments. Only changed values
// are written, so steady-state calls do not write shared cache lines.
inline void refresh() {
  if (mlogshm* l = en_log_info) {
    int v = __atomic_load_n(&l->logmode, __ATOMIC_RELAXED);
    if (v != en_log) en_log = v;
    v = __atomic_load_n(&l->loglevel, __ATOMIC_RELAXED);
    if (v != en_log_level) en_log_level = v;
  }
  if (mlogshm* a = en_ath_info) {
    int v = __atomic_load_n(&a->logmode, __ATOMIC_RELAXED);
    if (v != en_qel_full) en_qel_full = v;
    v = __atomic_load_n(&a->loglevel, __ATOMIC_RELAXED);
    if (v != en_bmt_mode) en_bmt_mode = v;
  }
}

// The load-and-refresh prologue. False means: pass the call straight through
// (start-up failed, or this thread is inside start-up).
inline bool prologue() {
  if (__builtin_expect(__atomic_load_n(&en_handle, __ATOMIC_ACQUIRE) == 0, 0)) {
    if (!load_slow()) return false;
  } else if (__builtin_expect(bypass != 0, 0)) {
    return false;
  }
  refresh();
  return true;
}

// Upper bound of the descriptor and thread tables, whatever the system
// reports as its limits.
inline constexpr int kTableCap = 65536;

// Table size from a limit the system reports: `fallback` when it reports
// none (below 1), never more than kTableCap.
constexpr int table_size(long reported, int fallback) {
  if (reported < 1) return fallback;
  return reported > kTableCap ? kTableCap : static_cast<int>(reported);
}

}  // namespace tav
