// JEUS build: receipt of a request header on a plain read path, and the
// entry through which the server sets a transaction code.
#include "servers/jeus/tav_jeus.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_util.h"
#include "core/tav_frame.h"
#include "core/tav_gtuid.h"
#include "core/tav_load.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"

namespace {

// The other header a JEUS request may open with.
constexpr uint8_t kJeusHeader[4] = {0x00, 0x00, 0x27, 0x0f};
// Bytes that follow that header in its message.
constexpr int kJeusHeaderRest = 92;
// A block cut short waits this often, one second each, for its rest.
constexpr int kRestWaits = 5;

// Reads what is already there of the block's missing bytes, waiting at most
// a second for the first of them (not at all when the host's read must not
// wait). 0: nothing came; < 0: end or error.
ssize_t read_more(int fd, char* at, size_t want, bool wait) {
  if (wait && !tav::readable_within(fd, 1000)) return 0;
  const ssize_t rc = tav::real::recv(fd, at, want, MSG_DONTWAIT);
  if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return rc == 0 ? -1 : rc;
}

}  // namespace

extern "C" {

int tav_tmrdp_recv(mthr* m, int fd, char* buf, int nbyte, int* flag) {
  mfd* r = tav::fd_record(fd);
  if (!m || !r || !buf || !flag || nbyte < 0) {
    errno = EINVAL;
    return -1;
  }
  tav::ErrnoKeeper keep;
  r->hform = 0;
  *flag = 0;
  // Nothing is read beyond the caller's buffer: a block needs all of it.
  const int cap = std::min(nbyte, static_cast<int>(tav::kBlock));
  int n = 0;
  if (r->rhave > 0) {
    // What an earlier call that could not wait took of a header or block.
    n = std::min(r->rhave, cap);
    memcpy(buf, r->rblock, static_cast<size_t>(n));
    r->rhave = 0;
  }
  // A read that must not wait keeps the bytes in hand on the descriptor and
  // ends as a non-blocking read with nothing queued; the next call goes on.
  int no_wait = -1;  // asked once, only where a wait would come
  auto must_not_wait = [&] {
    if (no_wait < 0) no_wait = tav::read_must_not_wait(fd, 0) ? 1 : 0;
    return no_wait == 1;
  };
  auto keep_for_later = [&] {
    memcpy(r->rblock, buf, static_cast<size_t>(n));
    r->rhave = n;
    keep.set(EAGAIN);
    return -1;
  };
  const int head = std::min(cap, 4);
  while (n < head) {
    const ssize_t rc = tav::real::read(fd, buf + n, static_cast<size_t>(head - n));
    if (rc <= 0) {
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) gtuid read. rc(%d:%d)\n", fd, r->info, r->rip, r->rport,
                n, nbyte);
      if (rc < 0 && n >= 1 && (errno == EAGAIN || errno == EWOULDBLOCK)) return keep_for_later();
      if (n >= 1) return n;
      if (rc < 0) keep.set(errno);  // the read's own errno is the caller's answer
      return static_cast<int>(rc);
    }
    n += static_cast<int>(rc);
    if (n == head) break;
    // A header cut short: wait briefly for its rest, if it is one.
    if (memcmp(buf, TAV_GTUID_INIT, static_cast<size_t>(n)) != 0 &&
        memcmp(buf, kJeusHeader, static_cast<size_t>(n)) != 0) {
      TAV_LOG_T("M", "fd(%04d 0x%08x %s:%d) unknown. rc(%d)\n", fd, r->info, r->rip, r->rport, n);
      return n;
    }
    if (must_not_wait()) return keep_for_later();
    tav::sleep_ms(100);
    int waiting = 0;
    if (tav::real::ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 4 - n) {
      TAV_LOG_T("M", "fd(%04d 0x%08x %s:%d) unknown. rc(%d) nb(%d)\n", fd, r->info, r->rip,
                r->rport, n, waiting);
      return n;
    }
  }
  if (n < 4) return n;  // a buffer too small for a header: plain data

  if (memcmp(buf, TAV_GTUID_INIT, 4) != 0) {
    if (memcmp(buf, kJeusHeader, 4) == 0) {
      r->hform = 3;
      r->rsize = kJeusHeaderRest;
    } else {
      TAV_LOG_T("M", "fd(%04d 0x%08x %s:%d) unknown. rc(%d)\n", fd, r->info, r->rip, r->rport, n);
    }
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) recv. rc(%d) nbyte(%d) rsize(%d)\n", fd, r->info, r->rip,
              r->rport, n, nbyte, r->rsize);
    TAV_LOG_H("M", buf, n, "recv data");
    return n;
  }

  // The rest of the block, with bounded waits.
  for (int waits = 0; n < cap && waits < kRestWaits;) {
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) gtuid more. rc(%d:%d)\n", fd, r->info, r->rip, r->rport,
              n, nbyte);
    const bool wait = !must_not_wait();
    const ssize_t rc = read_more(fd, buf + n, static_cast<size_t>(cap - n), wait);
    if (rc < 0) break;
    if (rc == 0) {
      if (!wait) return keep_for_later();
      ++waits;
      continue;
    }
    n += static_cast<int>(rc);
    TAV_LOG_H("M", buf, n, "fd(%04d 0x%08x %s:%d) more.", fd, r->info, r->rip, r->rport);
  }
  gtuid_t blk;
  memcpy(&blk, buf, std::min(static_cast<size_t>(n), sizeof blk));
  // A block cut short, or one that is not a block after all, is not trusted:
  // nothing of it is taken over.
  if (n < static_cast<int>(tav::kBlock) || !tav::block_valid(blk)) {
    TAV_LOG_T("M", "fd(%04d 0x%08x %s:%d) gtuid incomplete or invalid. rc(%d)\n", fd, r->info,
              r->rip, r->rport, n);
    return n;
  }
  *flag = 1;
  r->rsize = static_cast<int>(blk.pck.get());
  TAV_LOG_G("M", &blk, "fd(%04d 0x%08x %s:%d) recv. (%d) len(%d)\n", fd, r->info, r->rip, r->rport,
            blk.gflag == 1 ? 1 : 0, r->rsize);
  if (blk.gflag != 1) return -1;
  m->gtuid = blk;
  tav_gtuid_time(m);
  m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq.get() + 1);
  TAV_LOG_H("M", &m->gtuid, static_cast<int>(sizeof m->gtuid), "gtuid info(r)");
  return 0;
}

TAV_EXPORT int TAV_GTUID_GET_TRCODE99(const char* trcode, int len) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return 0;
  mthr* m = tav_thrinfo();
  TAV_LOG_D("M", "TAV_GTUID_GET_TRCODE ......... trcode (%d:%.*s)\n", len,
            trcode && len > 0 ? std::min(len, 32) : 0, trcode ? trcode : "");
  if (!tav::thread_usable(m) || !tav::gtuid_active(m) || !trcode || len < 1) return 0;
  gtuid_t& g = m->gtuid;
  // The whole field is the new code: no tail of an older, longer one stays.
  memset(g.trcode, 0, sizeof g.trcode);
  memcpy(g.trcode, trcode, std::min(static_cast<size_t>(len), sizeof g.trcode));
  g.routing = 6;
  g.trblock = '0';
  tav_mzp4_send(m);
  return 0;
}

}  // extern "C"
