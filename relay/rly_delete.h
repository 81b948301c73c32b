// The delete thread: keeps the check home clean.
//
// Registrations of processes that have ended (R/proc/pid with /proc/pid
// gone) are removed within about a second: R/port/N/pid, R/port/N when it is
// empty or a plain file, and R/proc/pid/N for each registration N of the
// process. Every 30th pass is a full scan, which also removes the emptied
// R/proc/pid directories and the entries of R/port that are at least 20
// seconds old (last access) and not registered by a running process:
// markers that no accepting process consumed, and registrations left behind.
//
// The tree is writable by every local user: nothing below the root is
// followed through a symbolic link, every operation works relative to a
// directory descriptor opened without following one, and names are only
// taken from process ids and registration names that were read and checked.
#pragma once

#include <ctime>

#include "rly_list.h"

extern "C" {

// Body of the delete thread: prepares R, R/port and R/proc, then scans once
// a second until *state is 4; every 30th pass is a full scan. The stop signal
// interrupts the sleep; an interruption while *state is not 4 only resumes
// it. Returns 0.
int rly_delete_serve(const char* check_home, const volatile int* state);

// One scan of the tree. With `list` (fresh and empty) it is a full scan: the
// registration names of running processes are collected in it as type 0,
// the R/proc/pid directories of ended ones as type 1 (full paths), and the
// list is left filled for the caller to destroy. `now` is the clock the
// ageing compares last-access times with, `min_age` the age in seconds from
// which an unregistered R/port entry is removed. Returns 0, or -1 when R/proc
// cannot be opened (nothing is cleaned then).
int rly_delete_scan(const char* check_home, rlylist_t* list, time_t now, int min_age);

// Handler of the delete thread's stop signal. Logging is not safe in a
// signal handler: it only notes the signal, and the thread writes the
// stop-signal line once its sleep has returned.
void tav_delete_stop(int sig);
}

namespace rly {
// Scans between two full scans, and the age at which markers go.
constexpr int kDeleteFullEvery = 30;
constexpr int kDeleteMinAge = 20;
}  // namespace rly
