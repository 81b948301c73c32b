// Process-level overrides. The table work a fork needs happens in the fork
// handlers registered at start-up, so it is done for every way the host forks.
#include <fcntl.h>

#include <cstdarg>

#include "base/tav_real.h"
#include "core/tav_load.h"

extern "C" {

#if TAV_OVR_FORK
TAV_EXPORT pid_t fork(void) noexcept {
  tav::prologue();
  return tav::real::fork();
}
#endif

#if TAV_OVR_OPEN
TAV_EXPORT int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  tav::prologue();
  return tav::real::open(path, flags, mode);
}
#endif

}  // extern "C"
