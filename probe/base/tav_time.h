// Date-time text of the monitoring messages and the per-thread clock that
// stamps new transaction identifiers.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

// Per-thread clock. `tns` is the last value handed out; every reading is
// strictly later than the one before it in the same thread.
struct mtime {
  uint32_t ons;  // nanosecond field of the previous clock reading
  uint32_t nns;  // nanosecond field of the current clock reading
  timespec tns;  // the clock's value
};
using mtime_t = mtime;
static_assert(sizeof(mtime) == 24);

// The date-time text of one thread's records: the 14 characters of the
// date and time of day are made once per second, the microseconds at every
// event.
struct mdate {
  time_t sec;     // the second `text` was made for
  int valid;      // `text` holds that second
  char text[14];  // "YYYYMMDDhhmmss"
};
using mdate_t = mdate;

namespace tav {
// Milliseconds of the monotonic clock, and of its coarse form (a few
// milliseconds' resolution, read without a system call for "once a second").
uint64_t monotonic_ms();
uint64_t coarse_clock_ms();
}  // namespace tav

extern "C" {
// "YYYYMMDDhhmmss" from `tm` followed by the six microsecond digits of `tv`:
// 20 characters and a NUL, so `out` holds at least 21 bytes.
char* tav_date_time(const struct timeval* tv, const struct tm* tm, char* out);
// The same text, `tm` being local time, with the date and time of day from
// the cache when `tv` lies in the second it holds (no local-time conversion
// and no formatting then).
char* tav_date_cached(mdate* cache, const struct timeval* tv, char* out);
void tav_init_time(mtime* mt);
void tav_get_time(mtime* mt, struct timespec* out);
}
