// Date-time text of the monitoring messages and the per-thread clock.
#include <cstdio>
#include <cstring>

#include "base/tav_time.h"

#include "base/tav_digits.h"

char* tav_date_time(const struct timeval* tv, const struct tm* tm, char* out) {
  if (!out) return out;
  if (!tv || !tm) {
    out[0] = '\0';
    return out;
  }
  // Formatted with room to spare and then cut to the 20 characters of the
  // text, so out-of-range fields can never write past the caller's 21 bytes.
  char text[96];
  snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%06ld", tm->tm_year + 1900,
           tm->tm_mon + 1, tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec,
           static_cast<long>(tv->tv_usec));
  std::memcpy(out, text, 20);
  out[20] = '\0';
  return out;
}

char* tav_date_cached(mdate* cache, const struct timeval* tv, char* out) {
  if (!out) return out;
  if (!cache || !tv) return tav_date_time(tv, nullptr, out);
  if (!cache->valid || cache->sec != tv->tv_sec) {
    tm lt{};
    localtime_r(&tv->tv_sec, &lt);
    char day[96];
    const int n = snprintf(day, sizeof day, "%04d%02d%02d%02d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1,
                           lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    if (n != static_cast<int>(sizeof cache->text)) {  // a field out of its range: no cache
      cache->valid = 0;
      return tav_date_time(tv, &lt, out);
    }
    std::memcpy(cache->text, day, sizeof cache->text);
    cache->sec = tv->tv_sec;
    cache->valid = 1;
  }
  std::memcpy(out, cache->text, sizeof cache->text);
  const long usec = tv->tv_usec;
  tav::put_digits(out + sizeof cache->text, 6, static_cast<uint64_t>(usec < 0 ? 0 : usec));
  out[20] = '\0';
  return out;
}

namespace tav {

namespace {
uint64_t clock_ms(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
}  // namespace

uint64_t monotonic_ms() { return clock_ms(CLOCK_MONOTONIC); }
uint64_t coarse_clock_ms() { return clock_ms(CLOCK_MONOTONIC_COARSE); }

}  // namespace tav

void tav_init_time(mtime* mt) {
  if (!mt) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  mt->ons = static_cast<uint32_t>(now.tv_nsec);
  mt->nns = 0;
  mt->tns = now;
}

// Hands out the real time, or 1 ns past the previous value when the clock has
// not moved beyond it (same reading, clock stepped back, or a base ahead of
// real time). Values of one clock are thus strictly increasing and track real
// time as closely as that allows.
void tav_get_time(mtime* mt, struct timespec* out) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (!mt) {
    if (out) *out = now;
    return;
  }
  mt->nns = static_cast<uint32_t>(now.tv_nsec);
  const timespec& prev = mt->tns;
  bool later = now.tv_sec > prev.tv_sec ||
               (now.tv_sec == prev.tv_sec && now.tv_nsec > prev.tv_nsec);
  if (later) {
    mt->tns = now;
  } else if (mt->tns.tv_nsec >= 999999999) {
    mt->tns.tv_sec += 1;
    mt->tns.tv_nsec = 0;
  } else {
    mt->tns.tv_nsec += 1;
  }
  if (out) *out = mt->tns;
  mt->ons = mt->nns;
}
