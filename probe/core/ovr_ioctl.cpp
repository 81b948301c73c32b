// ioctl: asked how many bytes a framed connection holds (FIONREAD, which is
// SIOCINQ for sockets, and what Java's available() asks), the host is told
// its own bytes only. Every other request goes to the kernel untouched.
#include <sys/ioctl.h>

#include <cstdarg>

#include "base/tav_export.h"
#include "base/tav_real.h"
#include "core/tav_dbms.h"
#include "core/tav_frame.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"

extern "C" {

TAV_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);  // every request takes one word, or none
  va_end(ap);
  const int rc = tav::real::ioctl(fd, request, arg);
  if (rc != 0 || request != FIONREAD || !arg || !tav::prologue()) return rc;
  const mfd* r = tav::fd_record(fd);
  if (!r || !r->info || (r->info & MFD_DGRAM) || tav::is_database(r->info)) return rc;
  // Framed, or not yet tested (its first bytes may be a block), or owed bytes.
  const bool framed = (r->info & MFD_SERVICE) || !(r->info & MFD_FIRSTREAD);
  int* count = static_cast<int*>(arg);
  if (framed) *count = tav::framed_available(fd, *r, *count);
  else if (r->rowed > 0) *count += r->rowed;
  return rc;
}

}  // extern "C"
