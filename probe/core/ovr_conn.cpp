// Overrides that create, classify, duplicate and release descriptors.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>

#include "base/tav_check_home.h"
#include "base/tav_errno.h"
#include "base/tav_ipinfo.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_adt_link.h"
#include "core/tav_load.h"
#include "core/tav_sockaddr.h"
#include "core/tav_tables.h"
#include "servers/tmax/tav_tmax_io.h"
#include "servers/webtob/tav_webtob_io.h"
#include "servers/weblogic/tav_wls.h"

namespace {

using tav::ErrnoKeeper;

void reset(mfd& r) {
  memset(&r, 0, sizeof r);
  // A descriptor starts without a message being read on it.
#if defined(TAV_BUILD_TMAX)
  tav::tmax::forget(static_cast<int>(&r - en_mfd));
#elif defined(TAV_BUILD_WEBTOB)
  tav::webtob::forget(static_cast<int>(&r - en_mfd));
#endif
}

// A new descriptor number takes over the `info` of the one it came from and
// nothing else.
void inherit(mfd& to, int info) {
  reset(to);
  to.info = info;
}

bool is_stream(int fd) {
  int type = 0;
  socklen_t n = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &n) == 0 && type == SOCK_STREAM;
}

// Only stream sockets carry framed messages: a datagram socket that matched
// a service entry stays an ordinary one.
void stream_only(int fd, mfd& r) {
  if (!r.info || is_stream(fd)) return;
  // A datagram is never a framed message, whatever it begins with.
  r.info = (r.info & ~MFD_SERVICE) | MFD_DGRAM | MFD_FIRSTREAD;
}

// Connections that keep their own protocol (database, keep, adapter, known
// server) never carry the transaction block, whoever their peer is.
bool own_protocol(int info) {
  constexpr int kAny = MFD_KEEP | MFD_ADAPTER | MFD_ORACLE | MFD_SYBASE | MFD_DB2 | MFD_UDB |
                       MFD_ALTIBASE;
  return (info & kAny) || (info & MFD_SERVER_INFO) == MFD_SERVER_INFO ||
         (info & MFD_ORACLE_MS) == MFD_ORACLE_MS;
}

// Whether the registry is asked about a peer before connecting to it.
bool ask_registry(const sockinfo& peer) {
  const char* host = peer.in.host;
  const int port = peer.in.port;
  if (en_qel_check_mode)
    return !tav::iplist_match(en_mip, host, port, -1) && !tav::iplist_match(en_cip, host, port, 0);
  return tav::iplist_match(en_cip, host, port, 1) != nullptr;
}

// A TCP socket whose connection is being made or is made already.
bool under_way(int fd) {
  tcp_info ti{};
  socklen_t n = sizeof ti;
  return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &n) == 0 && ti.tcpi_state != TCP_CLOSE;
}

bool is_wildcard(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET)
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr == htonl(INADDR_ANY);
  if (a.ss_family == AF_INET6)
    return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr);
  return false;
}

// The address the kernel will use as source towards `peer`: a datagram
// socket connected to it reports it without sending anything.
bool source_towards(const sockaddr* peer, sockaddr_storage& out) {
  const int s = socket(peer->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  const socklen_t len = peer->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  socklen_t n = sizeof out;
  const bool ok = tav::real::connect(s, peer, len) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr*>(&out), &n) == 0;
  tav::real::close(s);
  return ok;
}

// Asks the registry whether the peer is a monitored process. The marker is
// named after the caller's address and port as the peer will see them, so an
// unbound socket is first bound to its port, and to the source address the
// kernel would give it rather than the wildcard. -1: not asked.
int registry_answer(int fd, mfd& r, const sockaddr* peer, const sockinfo& si) {
  sockaddr_storage local{};
  socklen_t n = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) != 0) {
    TAV_LOG_T("M", "fd(%04d 0x%08x) connect getsockname. (%d)\n", fd, r.info, errno);
    return -1;
  }
  sockaddr_storage source{};
  if (is_wildcard(local) && source_towards(peer, source) && source.ss_family == local.ss_family) {
    // Keeps the port the socket may already have.
    if (local.ss_family == AF_INET)
      reinterpret_cast<sockaddr_in&>(source).sin_port = reinterpret_cast<sockaddr_in&>(local).sin_port;
    else
      reinterpret_cast<sockaddr_in6&>(source).sin6_port = reinterpret_cast<sockaddr_in6&>(local).sin6_port;
    local = source;
  }
  tav::real::bind(fd, reinterpret_cast<sockaddr*>(&local),
                  local.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in));
  const int answer = tav_connect_port(fd, peer, en_qel_check_port);
  TAV_LOG_T("M", "fd(%04d 0x%08x) connect check. (%s:%d) ret(%d)\n", fd, r.info, si.in.host,
            si.in.port, answer);
  return answer;
}

// The accepting half, shared by accept and accept4: `call` is the real call.
template <typename Call>
int accept_with(int fd, Call call) {
  if (!tav::prologue()) return call();
  mfd* listener = tav::fd_record(fd);
  if (!listener) {
    TAV_LOG_D("M", "fd(%04d) accept. invalid\n", fd);
    return call();
  }
  mthr* m = tav_thrinfo();
  if (listener->info == 0) {
    // A listener this library never saw bound (inherited, for example).
    ErrnoKeeper keep;
    sockaddr_storage local;
    socklen_t n = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &n) == 0)
      tav_fd_init(m, fd, reinterpret_cast<sockaddr*>(&local), 0);
    else
      TAV_LOG_T("M", "fd(%04d 0x%08x) accept getsockname. (%d)\n", fd, listener->info, errno);
  }
  if (listener->info == 0 || m->bl) {
    const int rc = call();
    TAV_LOG_D("M", "fd(%04d 0x%08x) accept. not sockfd or BL_THREAD rc(%d) (%d)\n", fd,
              listener->info, rc, m->bl);
    return rc;
  }

  const int nfd = call();
  if (nfd < 0) return nfd;
  ErrnoKeeper keep;
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
  const auto* pa = reinterpret_cast<const sockaddr*>(&peer);
  if (known && tav_accept_port(nfd, pa) == 0) {
    r->info |= MFD_SERVICE;
    TAV_LOG_T("M", "fd(%04d 0x%08x) accept. qel service set\n", nfd, r->info);
  }
  if (r->info & MFD_UNIX) {
    memcpy(r->rip, listener->rip, sizeof r->rip);
    r->rport = nfd;
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. accept fd(%04d)\n", fd, r->info, nfd);
  } else if (known && (peer.ss_family == AF_INET || peer.ss_family == AF_INET6)) {
    tav::set_peer(*r, pa);
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. accept fd(%04d) remote(%s:%d)\n", fd, r->info, nfd,
              r->rip, r->rport);
  }
  return nfd;
}

// The duplicating half of dup2 and dup3: the target takes over the source's
// classification; `call` is the real call.
template <typename Call>
int dup_onto(int fd, int nfd, Call call) {
  if (!tav::prologue()) return call();
  mfd* r = tav::fd_record(fd);
  if (!r || !tav::fd_record(nfd)) TAV_LOG_D("M", "fd(%d %d) dup2. invalid\n", fd, nfd);
  const int info = r ? r->info : 0;
  if (info != 0 && tav_thrinfo()->bl) return call();
  const int rc = call();
  if (rc < 0 || fd == nfd) return rc;
  // The target now refers to the source's file, tracked or not: a record
  // left from what the target was before would describe a closed socket.
  if (mfd* n = tav::fd_record(nfd)) {
    ErrnoKeeper keep;
    inherit(*n, info);
    if (info) TAV_LOG_D("M", "fd(%04d 0x%08x) create. dup2 fd(%04d 0x%08x)\n", fd, info, nfd, info);
  }
  return rc;
}

}  // namespace

extern "C" {

TAV_EXPORT int listen(int fd, int backlog) noexcept {
  if (!tav::prologue()) return tav::real::listen(fd, backlog);
  const int rc = tav::real::listen(fd, backlog);
  if (rc != 0) return rc;
  if (mfd* r = tav::fd_record(fd); r && r->bind == 1) {
    ErrnoKeeper keep;
    tav_listen_port(fd);
  }
  return rc;
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
  ErrnoKeeper keep;
  sockaddr_storage copy;
  const sockaddr* a = tav::copy_addr(addr, len, copy);
  reset(*r);  // a socket number seen before belongs to a new socket now
  tav_fd_init(m, fd, a, 0);
  stream_only(fd, *r);
  // The two bytes after the family: an IP port, or the start of a path.
  if (a && (a->sa_data[0] || a->sa_data[1])) r->bind = 1;
  return rc;
}

TAV_EXPORT int accept(int fd, struct sockaddr* addr, socklen_t* len) {
  return accept_with(fd, [&] { return tav::real::accept(fd, addr, len); });
}

TAV_EXPORT int accept4(int fd, struct sockaddr* addr, socklen_t* len, int flags) {
  return accept_with(fd, [&] { return tav::real::accept4(fd, addr, len, flags); });
}

TAV_EXPORT int connect(int fd, const struct sockaddr* addr, socklen_t len) {
  if (!tav::prologue()) return tav::real::connect(fd, addr, len);
  mfd* r = tav::fd_record(fd);
  if (!r) {
    TAV_LOG_D("M", "fd(%04d) connect. invalid\n", fd);
    return tav::real::connect(fd, addr, len);
  }
  mthr* m = tav_thrinfo();
  if (m->bl) {
    const int rc = tav::real::connect(fd, addr, len);
    if (rc != 0 && errno != EINPROGRESS) return rc;
    // Threads the adapter marked open its links to the master.
    if (const auto bl = static_cast<unsigned char>(m->bl); bl >= 2) {
      tav::ErrnoKeeper keep;
      tav::adt::link_register(bl == 2 ? tav::adt::kGtuidLink : tav::adt::kWasLink, fd);
    }
    return rc;
  }
  sockaddr_storage copy;
  const sockaddr* a = tav::copy_addr(addr, len, copy);
  sockinfo peer{};
  if (!a || getsockinfo(fd, a, &peer) != 0) {
    const int rc = tav::real::connect(fd, addr, len);
    TAV_LOG_D("M", "fd(%04d) connect. rc(%d)\n", fd, rc);
    return rc;
  }
  // A non-blocking host may call connect again for the same peer to learn
  // whether the connection is up: that socket was classified (and the
  // registry asked) at the first call already.
  const bool inet = peer.family != AF_UNIX;
  if (inet && r->info && r->rport == peer.in.port && strcmp(r->rip, peer.in.host) == 0 &&
      under_way(fd))
    return tav::real::connect(fd, addr, len);
  int answer = -1;
  if (inet && peer.type == SOCK_STREAM && ask_registry(peer)) {
    const int saved = errno;
    answer = registry_answer(fd, *r, a, peer);
    errno = saved;
  }
  const int rc = tav::real::connect(fd, addr, len);
  if (rc != 0 && errno != EINPROGRESS) return rc;
  ErrnoKeeper keep;
  reset(*r);  // a socket number seen before belongs to a new socket now
  tav_fd_init(m, fd, a, 2);
  stream_only(fd, *r);
  if (answer != 0) return rc;
  if (!own_protocol(r->info)) {
    r->info |= MFD_SERVICE;
    TAV_LOG_T("M", "fd(%04d 0x%08x) connect. (%s:%d) qel service set\n", fd, r->info, r->rip,
              r->rport);
  } else {
    r->info &= ~MFD_SERVICE;
    TAV_LOG_T("M", "fd(%04d 0x%08x) connect not service.\n", fd, r->info);
  }
  return rc;
}

TAV_EXPORT int close(int fd) {
  if (!tav::prologue()) return tav::real::close(fd);
  // A master link closed without closeMASTER: its sender lets go first.
  tav::adt::link_released(fd);
  mfd* r = tav::fd_record(fd);
  if (!r) {
    TAV_LOG_D("M", "fd(%04d) close. invalid\n", fd);
    return tav::real::close(fd);
  }
  if (r->info == 0) return tav::real::close(fd);
  reset(*r);
  en_ws_gtuid[fd].gflag = 0;
  en_ws_gtuid[fd].svc = 0;
#if defined(TAV_BUILD_WEBLOGIC)
  en_wls_gtuid[fd].gflag = 0;  // a transaction waiting for a message that will not come
#endif
  mthr* m = tav_thrinfo();
  if (m->ofildes == fd) m->ofildes = 0;
  if (m->gtuid_last_create_fd == fd) m->gtuid_last_create_fd = 0;
  const int rc = tav::real::close(fd);
  ErrnoKeeper keep;
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
    ErrnoKeeper keep;
    inherit(*n, r->info);
    TAV_LOG_D("M", "fd(%04d 0x%08x) create. dup fd(%d)\n", fd, r->info, nfd);
  }
  return nfd;
}

TAV_EXPORT int dup2(int fd, int nfd) noexcept {
  return dup_onto(fd, nfd, [&] { return tav::real::dup2(fd, nfd); });
}

TAV_EXPORT int dup3(int fd, int nfd, int flags) noexcept {
  return dup_onto(fd, nfd, [&] { return tav::real::dup3(fd, nfd, flags); });
}

}  // extern "C"
