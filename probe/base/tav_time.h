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

extern "C" {
// "YYYYMMDDhhmmss" from `tm` followed by the six microsecond digits of `tv`:
// 20 characters and a NUL, so `out` holds at least 21 bytes.
char* tav_date_time(const struct timeval* tv, const struct tm* tm, char* out);
void tav_init_time(mtime* mt);
void tav_get_time(mtime* mt, struct timespec* out);
}
