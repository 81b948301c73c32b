// Overrides of the calls where a transaction leaves the process: write,
// send and writev.
#include <limits.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_jcall.h"
#include "servers/tmax/tav_tmax_io.h"
#include "servers/webtob/tav_webtob_io.h"

namespace {

using tav::ErrnoKeeper;
using tav::IoCtx;

// A 58-byte control message of the Java remote protocol starts with this.
constexpr uint8_t kRemoteHeader[10] = {0x1B, 0, 0, 0, 0x49, 0, 0x54, 0, 0x50, 0};
// The stream header a Java remote-call client sends first.
constexpr uint8_t kJrmiHello[7] = {'J', 'R', 'M', 'I', 0x00, 0x02, 0x4B};

bool keeps_transaction(int info) {
  return (info & (MFD_KEEP | MFD_ADAPTER)) || (info & MFD_SERVER_INFO) == MFD_SERVER_INFO;
}

// A failure the host retries with the same bytes: the reply is not out yet.
bool retried(ssize_t rc) { return rc < 0 && (errno == EAGAIN || errno == EINTR); }

// A control message of the JEUS protocol written on a service connection; it
// carries a block without the transaction.
bool jeus_control_write(const uint8_t* p, size_t n) {
  if (n < 20 || memcmp(p, "\x00\x00\x27\x0F", 4) != 0) return false;
  const uint32_t t = tav::jeus_type(p, n);
  return t == 1 || t == 2;
}

// Control messages of `send` that go out behind a block without the
// transaction and raise no event.
bool send_control(const uint8_t* p, size_t n, int info) {
  if (n == 58 && memcmp(p, kRemoteHeader, sizeof kRemoteHeader) == 0) return true;
  if ((info & MFD_JRMI) && n >= 1 && n <= 15 && p[0] == 'T') return true;
  if (n == 96 && tav::jeus_magic(p, n)) return true;
  const uint32_t t = n >= 96 ? tav::jeus_type(p, n) : 0;
  return t == 1 || t == 2;
}

void call_line(const char* what, int fd, const mfd& r, ssize_t rc, size_t n, const void* p,
               const char* dump) {
  if (!en_log) return;
  ErrnoKeeper keep;
  TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d)\n", fd, r.info, r.rip, r.rport, what,
            static_cast<int>(rc), static_cast<int>(n));
  if (rc > 0) TAV_LOG_H("M", p, static_cast<int>(rc), "%s", dump);
}

// Suspends the thread's transaction for one call and restores it at the end.
class Suspend {
 public:
  explicit Suspend(mthr* m) : m_(m) {}
  ~Suspend() {
    if (on_) m_->gtuid.gflag = 1;
  }
  void now() {
    if (m_->gtuid.gflag == 1) {
      m_->gtuid.gflag = 0;
      on_ = true;
    }
  }

 private:
  mthr* m_;
  bool on_ = false;
};

// write and send: `via` says which real call and flags carry the bytes.
ssize_t send_path(int fd, const void* buf, size_t n, tav::SendVia via) {
  const char* what = via.use_send ? "send" : "write";
  const char* dump = via.use_send ? "send data" : "write data";
  auto real = [&] {
    return via.use_send ? tav::real::send(fd, buf, n, via.flags) : tav::real::write(fd, buf, n);
  };
  IoCtx c;
  if (!tav::io_enter(fd, c)) return real();
#if defined(TAV_BUILD_WEBTOB)
  if (via.use_send) {
    // This build frames nothing that goes out with send; but a transaction
    // that a process other than the HTTP handler started on an entry
    // connection ends with its answer, whichever call writes it.
    const ssize_t rc = real();
    if (c.own && (c.r->info & (MFD_START | MFD_SERVICE)) == MFD_START && !tav::webtob::handler() &&
        !tav::is_database(c.r->info) && tav::gtuid_active(c.m) && !retried(rc)) {
      ErrnoKeeper keep;
      tav::end_transaction(c.m);
    }
    return rc;
  }
#endif
  mfd& r = *c.r;
  const auto* p = static_cast<const uint8_t*>(buf);
  iovec v{const_cast<void*>(buf), n};
  bool committed = false;
  if (!c.own) {
    if (!(r.info & MFD_SERVICE)) return real();
    return tav::frame_send(nullptr, fd, r, &v, 1, via, committed);
  }
  mthr* m = c.m;
  m->fildes = fd;
  if (via.use_send) tav::java_get(m);
  bool active = tav::gtuid_active(m);

  if (tav::is_database(r.info)) {
    const ssize_t rc = real();
    if (rc >= 1 && active) {
      ErrnoKeeper keep;
      tav::database_write(m, r.info, true);
    }
    call_line(what, fd, r, rc, n, buf, dump);
    return rc;
  }
#if defined(TAV_BUILD_TMAX)
  // The header form, a greeting marker and a hand-off taken back: the
  // library's changes go out from a copy, never from the host's buffer.
  tav::tmax::Outbound out(buf);
  tav::tmax::prepare_write(m, fd, r, buf, n, !via.use_send, out);
  buf = out.data();
  p = static_cast<const uint8_t*>(buf);
  v.iov_base = const_cast<void*>(buf);
  active = tav::gtuid_active(m);
  auto done = [&](ssize_t rc) {
    tav::tmax::wrote(r, rc);
    return rc;
  };
#else
  auto done = [](ssize_t rc) { return rc; };
#endif
#if defined(TAV_BUILD_WEBTOB)
  // A request passed on to a service process takes its transaction along.
  if (r.info & MFD_SERVICE) {
    tav::webtob::request_write(m, p, n);
    active = tav::gtuid_active(m);
  }
#endif
  if (active && m->gtuid.rem[0] == 1 && !(r.info & MFD_SERVICE)) {
    const ssize_t rc = real();
    m->gtuid.svc = 0;
    call_line(what, fd, r, rc, n, buf, dump);
    return done(rc);
  }
  if (m->dbmsf && active) tav_mzp1_dbms_recv(m);  // the database reply is complete
  if (via.use_send && !(r.info & MFD_FIRSTREAD) && (r.info & MFD_JRMI) && n == sizeof kJrmiHello &&
      memcmp(p, kJrmiHello, n) == 0) {
    r.info |= MFD_FIRSTREAD | MFD_SERVICE;
    TAV_LOG_T("M", "fd(%04d 0x%08x %s:%d) checked ! (EJB REMOTE CALL)\n", fd, r.info, r.rip,
              r.rport);
  }
#if TAV_WITH_JAVA
  if (m->wflag == 1 && active && m->wfildes == 0) m->wfildes = fd;
#endif

  Suspend suspend(m);
  ssize_t rc;
  if (r.info & MFD_SERVICE) {
#if defined(TAV_BUILD_TMAX)
    // An excluded service suspends the transaction; a created one starts.
    if (tav::tmax::service_write(m, fd, r, p, n, active)) suspend.now();
    active = tav::gtuid_active(m);
#endif
#if TAV_WITH_JAVA
    if (m->wfildes != fd) {
      m->sflag = 1;
    } else if (m->sflag == 0 && active) {
      const bool chunk_end = n > 100 && memcmp(p + 96, "HTTP", 4) != 0 &&
                             memcmp(p + n - 5, "0\r\n\r\n", 5) == 0;
      const bool post = via.use_send && n >= 4 && memcmp(p, "POST", 4) == 0;
      if (chunk_end || post)
        TAV_LOG_G("M", &m->gtuid, "gtuid send\n");
      else
        suspend.now();
    }
#endif
    if (active) {
      tav::java_get(m);
      active = m->gtuid.gflag == 1;
      if (!via.use_send && active && jeus_control_write(p, n)) {
        suspend.now();
        active = false;
      }
    }
    m->gtuid.svc = 0;
    if (via.use_send && !(r.info & MFD_TPSTART) && n >= 96 && tav::jeus_type(p, n) == 1) {
      r.info |= MFD_TPSTART;
      TAV_LOG_T("M", "fd(%04d 0x%08x) tpstart.\n", fd, r.info);
    }
    if (via.use_send && r.wsize == 0 && r.wtail == 0 && active && send_control(p, n, r.info)) {
      m->gtuid.gflag = 0;
      rc = tav::frame_send(m, fd, r, &v, 1, via, committed);
      m->gtuid.gflag = 1;
      return done(rc);
    }
    rc = tav::frame_send(m, fd, r, &v, 1, via, committed);
    if (active && committed) {
      ErrnoKeeper keep;
      tav_mzp1_proc(m, TAV_MZP_SC);
      m->gtuid.gflag = 0;
      TAV_LOG_G("M", &m->gtuid, "clear.\n");
    }
    call_line(what, fd, r, rc, n, buf, dump);
    if (r.wsize > 0)
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) P. (%d) n(%d) w(%d)\n", fd, r.info, r.rip, r.rport,
                r.wsize, static_cast<int>(n), static_cast<int>(rc));
    return done(rc);
  }

#if defined(TAV_BUILD_WEBTOB)
  // An answer written to a client goes without the block behind it, whose
  // transaction ends with it.
  size_t len = n;
  if (r.info & MFD_START) tav::webtob::answer_write(m, fd, buf, n, len);
  rc = len == n ? real() : tav::webtob::answer_written(fd, n, len, tav::real::write(fd, buf, len));
#else
  rc = real();
#endif
#if TAV_WITH_JAVA
  if (m->wflag == 1 && active) {
    // Deferred end: the adapter ends the transaction once the response is out.
    m->wfildes = fd;
    en_ws_gtuid[fd] = m->gtuid;
    suspend.now();
  }
#endif
  if (tav::gtuid_active(m) && !retried(rc)) {
    const bool keep = !(r.info & MFD_START) && (en_ip_keep_mode || keeps_transaction(r.info));
    if (!keep) tav::end_transaction(m);
  }
  call_line(what, fd, r, rc, n, buf, dump);
  m->gtuid.svc = 0;
  return done(rc);
}

// sendfile onto a framed connection: the file's bytes go out as one message
// behind the block, as a write of them would. The library reads them itself,
// at most a stack buffer per call (sendfile may always send fewer bytes than
// asked), and the file position, or *offset, moves by what went out. On any
// other descriptor the kernel copies as it does without the library.
template <typename Off, typename Real>
ssize_t sendfile_path(int out, int in, Off* offset, size_t count, Real real) {
  if (count == 0 || !tav::prologue()) return real();
  const mfd* r = tav::fd_record(out);
  if (!r || !(r->info & MFD_SERVICE) || (r->info & MFD_DGRAM)) return real();
  char buf[8192];
  const size_t want = count < sizeof buf ? count : sizeof buf;
  const ssize_t got = offset ? pread(in, buf, want, static_cast<off_t>(*offset))
                             : tav::real::read(in, buf, want);
  if (got <= 0) return got;
  const ssize_t sent = send_path(out, buf, static_cast<size_t>(got), {false, 0});
  ErrnoKeeper keep;
  const ssize_t went = sent > 0 ? sent : 0;
  if (offset) *offset += static_cast<Off>(went);
  else if (went < got) lseek(in, static_cast<off_t>(went - got), SEEK_CUR);
  return sent;
}

}  // namespace

extern "C" {

TAV_EXPORT ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
  return sendfile_path(out, in, offset, count, [&] { return tav::real::sendfile(out, in, offset, count); });
}

TAV_EXPORT ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
  return sendfile_path(out, in, offset, count,
                       [&] { return tav::real::sendfile64(out, in, offset, count); });
}

TAV_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  return send_path(fd, buf, n, {false, 0});
}

TAV_EXPORT ssize_t send(int fd, const void* buf, size_t n, int flags) {
  return send_path(fd, buf, n, {true, flags});
}

// sendto on a connected stream socket: TCP ignores the address (unless it
// is to open the connection), so the call is a send; anything else goes to
// the kernel as it is.
TAV_EXPORT ssize_t sendto(int fd, const void* buf, size_t n, int flags, const struct sockaddr* addr,
                          socklen_t alen) {
  auto real = [&] { return tav::real::sendto(fd, buf, n, flags, addr, alen); };
  if (flags < 0 || (flags & MSG_FASTOPEN) || !tav::prologue()) return real();
  const mfd* r = tav::fd_record(fd);
  if (!r || !r->info || (r->info & MFD_DGRAM)) return real();
  if (addr && alen != 0 && !(r->info & (MFD_INET | MFD_INET6))) return real();
  return send_path(fd, buf, n, {true, flags});
}

#if TAV_OVR_WRITEV
TAV_EXPORT ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  auto real = [&] { return tav::real::writev(fd, iov, cnt); };
  IoCtx c;
  // Vectors the system refuses are refused by it, not sent in pieces.
  if (!tav::io_enter(fd, c) || cnt < 0 || cnt > IOV_MAX || (cnt > 0 && !iov)) return real();
  mfd& r = *c.r;
  bool committed = false;
  if (!c.own) {
    if (!(r.info & MFD_SERVICE)) return real();
    return tav::frame_send(nullptr, fd, r, iov, cnt, {false, 0}, committed);
  }
  mthr* m = c.m;
  m->fildes = fd;
  tav::java_get(m);
  const bool active = tav::gtuid_active(m);
  auto line = [&](ssize_t rc) {
    if (!en_log) return;
    ErrnoKeeper keep;
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) writev. rc(%d) iovcnt(%d)\n", fd, r.info, r.rip, r.rport,
              static_cast<int>(rc), cnt);
    for (int i = 0; i < cnt; ++i)
      TAV_LOG_H("M", iov[i].iov_base, static_cast<int>(iov[i].iov_len), "writev data");
  };

  if (tav::is_database(r.info)) {
    const ssize_t rc = real();
    if (rc > 0 && active) {
      ErrnoKeeper keep;
      tav::database_write(m, r.info, false);
    }
    line(rc);
    return rc;
  }
  if (m->dbmsf && active) tav_mzp1_dbms_recv(m);

  if (r.info & MFD_SERVICE) {
    const ssize_t rc = tav::frame_send(m, fd, r, iov, cnt, {false, 0}, committed);
    if (active && committed) {
      ErrnoKeeper keep;
      tav_mzp1_proc(m, TAV_MZP_SC);
      m->gtuid.gflag = 0;
      TAV_LOG_G("M", &m->gtuid, "clear.\n");
    }
    line(rc);
    return rc;
  }

  const ssize_t rc = real();
  {
    Suspend suspend(m);
    if (rc > 0 && active && cnt > 0) {
      const auto* h = static_cast<const char*>(iov[0].iov_base);
      const size_t len = iov[0].iov_len;
      if (len >= 5 && memcmp(h, "HTTP/", 5) == 0 && memmem(h, len, "100 Continue", 12)) {
        suspend.now();
        TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) writev. 100 Continue KEEP\n", fd, r.info, r.rip,
                  r.rport);
      }
    }
    if (!keeps_transaction(r.info) && tav::gtuid_active(m) && !retried(rc))
      tav::end_transaction(m);
    line(rc);
  }
  tav::java_call_stack(m);
  TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) writev. GTUID_CallStack\n", fd, r.info, r.rip, r.rport);
  return rc;
}
#endif

}  // extern "C"
