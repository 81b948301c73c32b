// Process-level overrides. The table work a fork needs happens in the fork
// handlers registered at start-up, so it is done for every way the host forks.
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "base/tav_ipinfo.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_build.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "servers/webtob/tav_webtob_io.h"

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
// Files named in the service list are traced like local sockets. Files of
// the library itself (its settings, its logs) and of /proc go straight to
// the real call, as does every open made while the library starts.
TAV_EXPORT int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  // A null path (declared impossible, yet passed by faulty hosts) is the
  // real call's to refuse; the empty asm keeps the compiler from assuming
  // the declaration and dropping the test.
  const char* name = path;
  asm("" : "+r"(name));
  if (name == nullptr || !tav::prologue()) return tav::real::open(path, flags, mode);
  path = name;
  if (strstr(path, "/proc/") || strstr(path, "tavstart") || strstr(path, "TavQEL.LOG") ||
      (en_config_file && strstr(path, en_config_file)))
    return tav::real::open(path, flags, mode);
  const int fd = tav::real::open(path, flags, mode);
  if (fd < 0 || !en_mfd || !en_mthr || tav_thrinfo()->bl) return fd;
  mfd* r = tav::fd_record(fd);
  if (!r || !tav::mip_lookup_path(path)) return fd;
  const int saved_errno = errno;
  *r = mfd{};
  tav::webtob::forget(fd);
  r->info = MFD_LOCAL | MFD_FILE;
  TAV_LOG_D("W", "open(%s) fd(%04d 0x%08x)\n", path, fd, r->info);
  errno = saved_errno;
  return fd;
}
#endif

}  // extern "C"
