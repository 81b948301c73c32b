// Overrides of the calls where a transaction enters the process: read,
// recv and readv.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_jcall.h"
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_io.h"
#include "servers/webtob/tav_webtob.h"
#include "servers/webtob/tav_webtob_io.h"
#include "servers/weblogic/tav_wls.h"

namespace {

using tav::ErrnoKeeper;
using tav::IoCtx;

// A database listener's redirect: packet checksum 0 and packet type 5.
constexpr uint8_t kRedirect[6] = {0, 0, 5, 0, 0, 0};

// Notes the port a database listener redirects the thread's next connect
// to: the header marks the reply, and "PORT=" with its digits closed by a
// parenthesis names the port, within the bytes actually read.
void note_redirect(mthr* m, const void* buf, ssize_t rc) {
  const auto* p = static_cast<const char*>(buf);
  if (m->dbmsp == 0 && rc >= 8 && memcmp(p + 2, kRedirect, sizeof kRedirect) == 0) m->dbmsp = 1;
  if (m->dbmsp != 1 || rc < 51) return;
  const char* end = p + rc;
  const char* at = static_cast<const char*>(memmem(p + 10, static_cast<size_t>(rc - 10), "PORT=", 5));
  if (!at) return;
  int port = 0, digits = 0;
  for (at += 5; at < end && *at >= '0' && *at <= '9' && digits < 6; ++at, ++digits)
    port = port * 10 + (*at - '0');
  if (digits == 0 || at >= end || *at != ')' || port < 1 || port > 65535) return;
  m->dbmsp = port;
  TAV_LOG_D("M", "dbms new port(%d)\n", port);
}

// Where the blocks a read takes off go: the reading thread (null for a
// thread without a record of its own: they are dropped) on a descriptor.
struct Taker {
  mthr* m;
  int fd;
  bool took = false;    // the read took a block off
  bool active = false;  // ... and one of them carried a transaction
};

// What a thread does with each block it takes off: an active one carries
// the caller's transaction over to it. In the WebLogic build it waits in
// the descriptor's record until its message has been read.
void on_block(void* ctx, const gtuid_t& blk) {
  auto* sink = static_cast<Taker*>(ctx);
  sink->took = true;
  mthr* m = sink->m;
  if (!m || blk.gflag != 1) return;
  sink->active = true;
#if defined(TAV_BUILD_WEBLOGIC)
  tav::wls::park_block(m, sink->fd, blk);
#else
  tav::take_block(m, blk);
  tav_mzp1_proc(m, TAV_MZP_RC);
  tav::java_put(m);
#endif
}

// Reads a framed connection, each block taken off going to the thread.
ssize_t service_read(Taker& sink, int fd, mfd& r, void* buf, size_t n, int flags) {
  return tav::service_read(fd, r, buf, n, flags, on_block, &sink);
}

#if !defined(TAV_BUILD_WEBLOGIC)
void start_transaction(mthr* m, int fd) {
  ErrnoKeeper keep;
  tav_gtuid_create(m);
  m->gtuid_last_create_fd = fd;
  tav_mzp1_proc(m, TAV_MZP_RS);
  tav::java_put(m);
}

// A request that arrives in several reads is one transaction: a read of an
// entry connection goes on with the transaction that a read of the same
// descriptor started, while it is active (its reply, which ends it, has not
// been written).
bool request_goes_on(const mthr* m, int fd) {
  return tav::gtuid_active(m) && m->gtuid_last_create_fd == fd;
}
#endif

#if defined(TAV_BUILD_TMAX)
// A read or receive of the Tmax build on a descriptor that is not a
// database's: the connection's header form, message following (reads of
// client handlers and gateways), the start at an entry and the greetings of
// monitored peers.
ssize_t tmax_read(mthr* m, int fd, mfd& r, void* buf, size_t n, int flags) {
  namespace tm = tav::tmax;
  const bool is_recv = flags >= 0;
  if (is_recv) tm::on_recv();
  if (!(r.info & MFD_HFORM)) tm::header_check(0, fd, nullptr, 0, is_recv ? flags : 0);
  const bool follow = !is_recv && tm::following(r);
  if (follow) n = tm::before_read(m, fd, r, n);
  const bool service = (r.info & MFD_SERVICE) && !(is_recv && (r.info & MFD_TPSTART));
  Taker sink{m, fd};
  auto read_into = [&](void* b, size_t k) -> ssize_t {
    if (service) return service_read(sink, fd, r, b, k, flags);
    return is_recv ? tav::real::recv(fd, b, k, flags) : tav::real::read(fd, b, k);
  };
  ssize_t rc = read_into(buf, n);
  if (follow) rc = tm::complete_body_start(fd, buf, n, rc, read_into);
  // Peeked bytes are looked at when they are read.
  const tm::Seen seen =
      is_recv && (flags & MSG_PEEK) ? tm::Seen{} : tm::header_read(fd, r, follow, buf, rc);
  if (!service && (r.info & MFD_START) && rc >= 1) {
    const bool starts = tav_tmax_proc == TAV_TMAX_CLH && !is_recv
                            ? tm::entry_starts(m, fd, seen)
                            : m->gtuid.svc != 3 && !tav::jeus_magic_alone(buf, rc);
    // A client handler starts one transaction per message header it reads.
    if (starts && (tav_tmax_proc == TAV_TMAX_CLH || !request_goes_on(m, fd))) start_transaction(m, fd);
  }
  tm::recognise(fd, r, seen, buf, rc);
  if (seen.head) tm::note_service(m, r, buf, rc);
  // A server named to create transactions ends the one it received at once.
  if (sink.active && tav_gtuid_create_proc == 1 && tav::gtuid_active(m)) tav::end_transaction(m);
  if (follow) tm::after_read(m, fd, r, seen, buf, rc);
  return rc;
}
#endif

// read and recv: `flags` < 0 means a read.
ssize_t recv_path(int fd, void* buf, size_t n, int flags) {
  const bool is_recv = flags >= 0;
  auto real = [&] {
    return is_recv ? tav::real::recv(fd, buf, n, flags) : tav::real::read(fd, buf, n);
  };
  IoCtx c;
  if (!tav::io_enter(fd, c)) return real();
  mfd& r = *c.r;
  if (r.rowed > 0) return tav::give_owed(r, buf, n, is_recv && (flags & MSG_PEEK));
  if (!c.own) {
    if (!(r.info & MFD_FIRSTREAD) && r.rhave > 0) {
      // A first-read test that could not wait holds the stream's first bytes.
      int cont = 0;
      const int rc = tav::recv_check(fd, r, is_recv ? tav::own_read_flags(flags) : 0, cont);
      if (!cont) return rc;
      if (r.rowed > 0) return tav::give_owed(r, buf, n, is_recv && (flags & MSG_PEEK));
    }
    if (!(r.info & MFD_SERVICE) || (is_recv && (r.info & MFD_TPSTART))) return real();
    Taker drop{nullptr, fd};
    return service_read(drop, fd, r, buf, n, flags);
  }
  mthr* m = c.m;
  m->fildes = fd;
  const char* what = is_recv ? "recv" : "read";
  auto line = [&](ssize_t rc) {
    if (!en_log) return;
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d) rsize(%d)\n", fd, r.info, r.rip,
              r.rport, what, static_cast<int>(rc), static_cast<int>(n), r.rsize);
    if (rc > 0) TAV_LOG_H("M", buf, static_cast<int>(rc), "%s data", what);
  };

  if (tav::is_database(r.info)) {
    const ssize_t rc = real();
    ErrnoKeeper keep;
    if (rc > 0 && tav::gtuid_active(m)) tav_mzp1_dbms_conti_recv(m);
    line(rc);
    if (!is_recv && (r.info & MFD_ORACLE_MS) == MFD_ORACLE_MS) note_redirect(m, buf, rc);
    return rc;
  }
  const bool tp_service = (r.info & MFD_TPSTART) && (r.info & MFD_SERVICE);
  if (!tp_service && !(r.info & MFD_FIRSTREAD)) {
    int cont = 0;
    const int rc = tav::recv_check(fd, r, is_recv ? tav::own_read_flags(flags) : 0, cont);
    if (!cont) return rc;
    if (r.rowed > 0) {
      const ssize_t got = tav::give_owed(r, buf, n, is_recv && (flags & MSG_PEEK));
      line(got);
      return got;
    }
  }
  ssize_t rc;
#if defined(TAV_BUILD_TMAX)
  rc = tmax_read(m, fd, r, buf, n, flags);
#else
  if ((r.info & MFD_SERVICE) && !(is_recv && (r.info & MFD_TPSTART))) {
    Taker sink{m, fd};
#if defined(TAV_BUILD_WEBTOB)
    if (!is_recv && tav::webtob::handler()) {
      // An answer of a service process: followed, with its transaction's
      // block behind it (or owed bytes of that block without a read).
      const ssize_t owed = tav::webtob::answer_owed(fd, buf, n);
      if (owed >= 0) {
        line(owed);
        return owed;
      }
      const size_t cap = tav::webtob::answer_cap(m, fd, r, n);
      rc = tav::webtob::answer_read(m, fd, r, buf, n, service_read(sink, fd, r, buf, cap, flags));
      line(rc);
      return rc;
    }
#endif
#if defined(TAV_BUILD_WEBLOGIC)
    const bool framed = r.rsize > 0;
#endif
    rc = service_read(sink, fd, r, buf, n, flags);
#if defined(TAV_BUILD_WEBLOGIC)
    // The bytes of the message this read could take: a framed message caps
    // the read at what it still holds.
    if (rc > 0 && !(flags >= 0 && (flags & MSG_PEEK))) {
      const size_t left = static_cast<size_t>(std::max(r.rsize, 0));
      const size_t asked = framed || sink.took ? std::min(n, static_cast<size_t>(rc) + left) : n;
      tav::wls::after_service_read(m, fd, r, buf, asked, rc, what);
    }
#endif
  } else if (r.info & MFD_START) {
    rc = real();
#if defined(TAV_BUILD_WEBLOGIC)
    // This build reports the start from the adapter's side.
    tav::wls::after_entry_read(m, fd, r, buf, n, rc, what);
#elif defined(TAV_BUILD_WEBTOB)
    // A request read by the HTTP handler; elsewhere every request whose URL
    // is not excluded.
    if (!is_recv && tav::webtob::handler())
      rc = tav::webtob::request_read(m, fd, r, buf, n, rc);
    else if (rc >= 1 && m->gtuid.svc != 3 && !request_goes_on(m, fd) && !tav::jeus_magic_alone(buf, rc) &&
             !tav_gtuid_url_expect(buf, static_cast<size_t>(rc)))
      start_transaction(m, fd);
#else
    if (rc >= 1 && m->gtuid.svc != 3 && !request_goes_on(m, fd) && !tav::jeus_magic_alone(buf, rc))
      start_transaction(m, fd);
#endif
  } else {
    rc = real();
  }
#endif
  line(rc);
  return rc;
}

}  // namespace

extern "C" {

TAV_EXPORT ssize_t read(int fd, void* buf, size_t n) { return recv_path(fd, buf, n, -1); }

TAV_EXPORT ssize_t recv(int fd, void* buf, size_t n, int flags) {
  // Negative flags are not valid; they go to libc, which refuses them.
  if (flags < 0) return tav::real::recv(fd, buf, n, flags);
  return recv_path(fd, buf, n, flags);
}

// recvfrom on a stream socket is a recv whose address the kernel leaves
// empty for TCP and fills with the peer's for a local socket.
TAV_EXPORT ssize_t recvfrom(int fd, void* buf, size_t n, int flags, struct sockaddr* addr,
                            socklen_t* alen) {
  auto real = [&] { return tav::real::recvfrom(fd, buf, n, flags, addr, alen); };
  if (flags < 0 || !tav::prologue()) return real();
  const mfd* r = tav::fd_record(fd);
  if (!r || !r->info || (r->info & MFD_DGRAM)) return real();
  const int info = r->info;
  const ssize_t rc = recv_path(fd, buf, n, flags);
  if (rc >= 0 && addr && alen) {
    ErrnoKeeper keep;
    socklen_t got = *alen;
    const bool named = (info & MFD_UNIX) && getpeername(fd, addr, &got) == 0 && got > sizeof(sa_family_t);
    *alen = named ? got : 0;
  }
  return rc;
}

#if TAV_OVR_READV
TAV_EXPORT ssize_t readv(int fd, const struct iovec* iov, int cnt) {
  auto real = [&] { return tav::real::readv(fd, iov, cnt); };
  IoCtx c;
  if (!tav::io_enter(fd, c) || cnt < 1 || !iov) return real();
  mfd& r = *c.r;
  if (r.rowed > 0) {
    ssize_t given = 0;
    for (int i = 0; i < cnt && r.rowed > 0; ++i)
      given += tav::give_owed(r, static_cast<char*>(iov[i].iov_base), iov[i].iov_len, false);
    return given;
  }
  mthr* m = c.own ? c.m : nullptr;
  if (m) m->fildes = fd;
  auto line = [&](ssize_t rc) {
    if (!en_log) return;
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) readv. rc(%d) iovcnt(%d)\n", fd, r.info, r.rip, r.rport,
              static_cast<int>(rc), cnt);
    for (int i = 0; i < cnt && rc > 0; ++i)
      TAV_LOG_H("M", iov[i].iov_base, static_cast<int>(iov[i].iov_len), "readv data");
  };

  if (m && tav::is_database(r.info)) {
    const ssize_t rc = real();
    if (rc > 0 && tav::gtuid_active(m)) {
      ErrnoKeeper keep;
      tav::database_write(m, r.info, false);
    }
    line(rc);
    return rc;
  }

  if (r.info & MFD_SERVICE) {
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) readv. iovcnt(%d)\n", fd, r.info, r.rip, r.rport, cnt);
    ssize_t rc;
    if (r.rsize < 1) {
      // The block is taken off in front of the first element; a block that
      // turns out not to be one is the host's data in that element.
      gtuid_t blk;
      int cont = 0;
      rc = tav::recv_block(fd, r, iov[0].iov_base, iov[0].iov_len, 0, blk, cont);
      if (!cont) {
        line(rc);
        return rc;
      }
      if (blk.gflag == 1) {
        Taker sink{m, fd};
        on_block(&sink, blk);
      }
    }
    if (r.rsize < 1) {
      rc = 0;  // the block announced no payload
    } else {
      // The payload, capped to what the message still holds.
      iovec capped[64];
      int k = 0;
      size_t left = static_cast<size_t>(r.rsize);
      for (int i = 0; i < cnt && k < 64 && left > 0; ++i) {
        const size_t take = std::min(iov[i].iov_len, left);
        if (take == 0) continue;
        capped[k++] = {iov[i].iov_base, take};
        left -= take;
      }
      rc = tav::real::readv(fd, capped, k);
      if (rc > 0) r.rsize -= static_cast<int>(rc);
    }
    line(rc);
    return rc;
  }

  const ssize_t rc = real();
  if (m && (r.info & MFD_START) && rc >= 1 && m->gtuid.svc != 3 && !request_goes_on(m, fd) &&
      !tav::jeus_magic_alone(iov[0].iov_base, std::min<ssize_t>(rc, iov[0].iov_len)))
    start_transaction(m, fd);
  line(rc);
  if (m) {
    tav::java_call_stack(m);
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) readv. GTUID_CallStack\n", fd, r.info, r.rip, r.rport);
  }
  return rc;
}
#endif

}  // extern "C"
