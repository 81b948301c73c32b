// Overrides that create, classify, duplicate and release descriptors.
#include <cerrno>
#include <cstring>

#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_load.h"
#include "core/tav_sockaddr.h"
#include "core/tav_tables.h"

extern "C" {
int en_gtuid_sock = -1;
int en_was_sock = -1;
}

namespace {

// Keeps the real call's errno across the bookkeeping that follows it.
struct ErrnoGuard {
  int saved = errno;
  ~ErrnoGuard() { errno = saved; }
};

void reset(mfd& r) { memset(&r, 0, sizeof r); }

// A new descriptor number takes over the `info` of the one it came from and
// nothing else.
void inherit(mfd& to, int info) {
  reset(to);
  to.info = info;
}

}  // namespace

extern "C" {

TAV_EXPORT int listen(int fd, int backlog) noexcept {
  tav::prologue();  // starts the library and refreshes its switches
  return tav::real::listen(fd, backlog);
}

TAV_EXPORT int bind(int fd, const struct sockaddr* addr, socklen_t len) noexcept {
  if (!tav::prologue()) return tav::real::bind(fd, addr, len);
  mfd* r = tav::fd_record(fd);
  if (!r) {
    TAV_LOG_D("M", "fd(%04d) bind. invalid\n", fd);
    return tav::real::bind(fd, addr, len);
  }
  mthr* m = tav_thrinfo();
  if (m->bl) return tav::real::bind(fd, addr, len);
  const int rc = tav::real::bind(fd, addr, len);
  if (rc != 0) return rc;
  ErrnoGuard keep;
  sockaddr_storage copy;
  const sockaddr* a = tav::copy_addr(addr, len, copy);
  tav_fd_init(m, fd, a, 0);
  // The two bytes after the family: an IP port, or the start of a path.
  if (a && (a->sa_data[0] || a->sa_data[1])) r->bind = 1;
  return rc;
}

TAV_EXPORT int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  if (!tav::prologue()) return tav::real::accept(fd, addr, len);
  mfd* listener = tav::fd_record(fd);
  if (!listener) {
    TAV_LOG_D("M", "fd(%04d) accept. invalid\n", fd);
    return tav::real::accept(fd, addr, len);
  }
  mthr* m = tav_thrinfo();
  if (listener->info == 0) {
    // A listener this library never saw bound (inherited, for example).
    ErrnoGuard keep;
    sockaddr_storage local;
    socklen_t n = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) == 0)
      tav_fd_init(m, fd, reinterpret_cast<sockaddr*>(&local), 0);
    else
      TAV_LOG_T("M", "fd(%04d 0x%08x) accept getsockname. (%d)\n", fd, listener->info, errno);
  }
  if (listener->info == 0 || m->bl) {
    const int rc = tav::real::accept(fd, addr, len);
    ErrnoGuard keep;
    TAV_LOG_D("M", "fd(%04d 0x%08x) accept. not sockfd or BL_THREAD rc(%d) (%d)\n", fd,
              listener->info, rc, m->bl);
    return rc;
  }

  const int nfd = tav::real::accept(fd, addr, len);
  if (nfd < 0) return nfd;
  ErrnoGuard keep;
  mfd* r = tav::fd_record(nfd);
  if (!r) {
    TAV_LOG_D("M", "fd(%04d) accept. invalid\n", nfd);
    return nfd;
  }
  inherit(*r, listener->info);

  // The peer as the kernel reports it: the host's own buffer is not read,
  // whatever its size or validity.
  sockaddr_storage peer{};
  socklen_t n = sizeof peer;
  const bool known = getpeername(nfd, reinterpret_cast<sockaddr*>(&peer), &n) == 0;
  if (r->info & MFD_UNIX) {
    memcpy(r->rip, listener->rip, sizeof r->rip);
    r->rport = nfd;
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. accept fd(%04d)\n", fd, r->info, nfd);
  } else if (known && (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)) {
    tav::set_peer(*r, reinterpret_cast<sockaddr*>(&peer));
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. accept fd(%04d) remote(%s:%d)\n", fd, r->info, nfd,
              r->rip, r->rport);
  }
  return nfd;
}

TAV_EXPORT int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  if (!tav::prologue()) return tav::real::connect(fd, addr, len);
  if (!tav::fd_record(fd)) {
    TAV_LOG_D("M", "fd(%04d) connect. invalid\n", fd);
    return tav::real::connect(fd, addr, len);
  }
  mthr* m = tav_thrinfo();
  if (m->bl) {
    const int rc = tav::real::connect(fd, addr, len);
    if (rc != 0 && errno != EINPROGRESS) return rc;
    if (m->bl == 2) en_gtuid_sock = fd;
    else if (m->bl >= 3) en_was_sock = fd;
    return rc;
  }
  const int rc = tav::real::connect(fd, addr, len);
  if (rc != 0 && errno != EINPROGRESS) return rc;
  ErrnoGuard keep;
  sockaddr_storage copy;
  tav_fd_init(m, fd, tav::copy_addr(addr, len, copy), 2);
  return rc;
}

TAV_EXPORT int close(int fd) {
  if (!tav::prologue()) return tav::real::close(fd);
  mfd* r = tav::fd_record(fd);
  if (!r) {
    TAV_LOG_D("M", "fd(%04d) close. invalid\n", fd);
    return tav::real::close(fd);
  }
  if (r->info == 0) return tav::real::close(fd);
  reset(*r);
  en_ws_gtuid[fd].gflag = 0;
  en_ws_gtuid[fd].svc = 0;
  mthr* m = tav_thrinfo();
  if (m->ofildes == fd) m->ofildes = 0;
  if (m->gtuid_last_create_fd == fd) m->gtuid_last_create_fd = 0;
  const int rc = tav::real::close(fd);
  ErrnoGuard keep;
  TAV_LOG_D("M", "fd(%04d) close. rc(%d)\n", fd, rc);
  return rc;
}

TAV_EXPORT int dup(int fd) noexcept {
  if (!tav::prologue()) return tav::real::dup(fd);
  mfd* r = tav::fd_record(fd);
  if (!r) TAV_LOG_D("M", "fd(%d) dup. invalid\n", fd);
  if (!r || r->info == 0 || tav_thrinfo()->bl) return tav::real::dup(fd);
  const int nfd = tav::real::dup(fd);
  if (mfd* n = tav::fd_record(nfd)) {
    ErrnoGuard keep;
    inherit(*n, r->info);
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. dup fd(%d)\n", fd, r->info, nfd);
  }
  return nfd;
}

TAV_EXPORT int dup2(int fd, int nfd) noexcept {
  if (!tav::prologue()) return tav::real::dup2(fd, nfd);
  mfd* r = tav::fd_record(fd);
  if (!r || !tav::fd_record(nfd)) TAV_LOG_D("M", "fd(%d %d) dup2. invalid\n", fd, nfd);
  const int info = r ? r->info : 0;
  if (info != 0 && tav_thrinfo()->bl) return tav::real::dup2(fd, nfd);
  const int rc = tav::real::dup2(fd, nfd);
  if (rc < 0 || fd == nfd) return rc;
  // The target now refers to the source's file, tracked or not: a record
  // left from what the target was before would describe a closed socket.
  if (mfd* n = tav::fd_record(nfd)) {
    ErrnoGuard keep;
    inherit(*n, info);
    if (info) TAV_LOG_D("M", "fd(%04d 0x%08x) create. dup2 fd(%04d 0x%08x)\n", fd, info, nfd, info);
  }
  return rc;
}

}  // extern "C"
