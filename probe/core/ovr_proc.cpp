// Process-level overrides. The table work a fork needs happens in the fork
// handlers registered at start-up, so it is done for every way the host forks.
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>

#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_load.h"

extern "C" {

#if TAV_OVR_FORK
TAV_EXPORT pid_t fork(void) noexcept {
  if (!tav::prologue()) return tav::real::fork();
  const pid_t pid = tav::real::fork();
  const int saved_errno = errno;
  if (pid == 0) tav_strlog("start.\n");  // the child's own log file, named by the fork handler
  if (en_log && en_log_level >= 1)
    tav_usrlog("M", __LINE__, 'D', "fork rc(%d) pid(%d)\n", static_cast<int>(pid),
               static_cast<int>(en_my_pid));
  errno = saved_errno;
  return pid;
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
