#include <pthread.h>

#include <cstdarg>
#include <cstdio>

#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "base/tav_real.h"

void tav_scrlog(const char* file, int line, const char* fmt, ...) {
  char buf[1024];
  const char module = (file && *file) ? *file : 'M';
  int n = snprintf(buf, sizeof buf, "%d.%u %c%04d ", static_cast<int>(getpid()),
                   static_cast<unsigned>(pthread_self()), module, line);
  if (n < 0) return;
  va_list ap;
  va_start(ap, fmt);
  int m = vsnprintf(buf + n, sizeof buf - n, fmt, ap);
  va_end(ap);
  if (m < 0) return;
  size_t len = static_cast<size_t>(n) + static_cast<size_t>(m);
  if (len >= sizeof buf) len = sizeof buf - 1;
  for (size_t off = 0; off < len;) {
    ssize_t w = tav::real::write(1, buf + off, len - off);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    off += static_cast<size_t>(w);
  }
}
