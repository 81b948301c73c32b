// Inbound framing: the first-read test that tells a framing peer from any
// other, and the receipt of the block in front of each message.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"

namespace {

using tav::kBlock;

// A peer that stops inside a block is given five one-second waits.
constexpr int kWaits = 5;
constexpr int kWaitMs = 1000;
// While the bytes in hand stay queued (peeked, not read), readiness says
// nothing new; such waits go in steps of 10 ms.
constexpr int kStepMs = 10;

ssize_t read_own(int fd, void* b, size_t n, int flags) {
  return flags ? tav::real::recv(fd, b, n, flags) : tav::real::read(fd, b, n);
}

ssize_t peek_own(int fd, void* b, size_t n, int flags) {
  return tav::real::recv(fd, b, n, MSG_PEEK | flags);
}

bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do rc = poll(&p, 1, ms);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void nap(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Peeks until `want` bytes are queued or `budget_ms` have passed: the count
// peeked (possibly less), 0 at end of file, -1 on an error other than a wait.
ssize_t peek_until(int fd, uint8_t* b, size_t want, int flags, int budget_ms) {
  for (int waited = 0;; waited += kStepMs) {
    const ssize_t rc = peek_own(fd, b, want, flags);
    if (rc == 0) return 0;
    if (rc < 0 && errno != EAGAIN && errno != EINTR) return -1;
    if (rc >= static_cast<ssize_t>(want) || waited >= budget_ms) return rc < 0 ? 0 : rc;
    nap(kStepMs);
  }
}

// Reads exactly `n` queued bytes (already seen by a peek).
bool consume(int fd, uint8_t* b, size_t n, int flags) {
  size_t have = 0;
  while (have < n) {
    const ssize_t rc = read_own(fd, b + have, n - have, flags);
    if (rc > 0) {
      have += static_cast<size_t>(rc);
    } else if (rc < 0 && (errno == EINTR || errno == EAGAIN)) {
      readable_within(fd, kWaitMs);
    } else {
      return false;
    }
  }
  return true;
}

int not_service(int fd, mfd& r, ssize_t rc) {
  r.info &= ~MFD_SERVICE;
  TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid nsvc. rc(%d)\n", fd, r.info, static_cast<int>(rc));
  return 0;
}

// Hands bytes that are not a block to the host as its data.
int as_data(int fd, const mfd& r, void* buf, const uint8_t* b, size_t n) {
  memcpy(buf, b, n);
  TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid nhav. rc(%d:%d)\n", fd, r.info, static_cast<int>(n),
            static_cast<int>(n));
  TAV_LOG_H("M", b, static_cast<int>(n), "fd(%04d 0x%08x) expect.", fd, r.info);
  return static_cast<int>(n);
}

}  // namespace

namespace tav {

bool marker_prefix(const void* p, size_t n) {
  return memcmp(p, TAV_GTUID_INIT, std::min<size_t>(n, sizeof TAV_GTUID_INIT)) == 0;
}

bool block_valid(const gtuid_t& b) {
  if (!marker_prefix(&b, sizeof b.init) || b.gflag > 1) return false;
  for (uint8_t d : b.gtuid)
    if (d > 99) return false;
  return b.pck.get() < 0x80000000u;
}

int recv_check(int fd, mfd& r, int flags, int& cont) {
  cont = 0;
  ErrnoKeeper keep;  // a test that lets the read go on leaves the host's errno
  uint8_t b[5];
  ssize_t rc = peek_own(fd, b, sizeof b, flags);
  if (rc > 0) {
    cont = 1;
    r.info |= MFD_FIRSTREAD;
    if (rc < 5) {
      if (!marker_prefix(b, static_cast<size_t>(rc))) return not_service(fd, r, rc);
      // The start of a block: give the rest of the segment a moment.
      nap(100);
      int ready = 0;
      if (ioctl(fd, FIONREAD, &ready) != 0 || ready < 5) return not_service(fd, r, rc);
      rc = peek_own(fd, b, sizeof b, flags);
      if (rc != 5) return not_service(fd, r, rc);
    }
    if (marker_prefix(b, 4) && b[4] <= 1)
      r.info |= MFD_SERVICE;
    else
      r.info &= ~MFD_SERVICE;
    TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid info. rc(%d)\n", fd, r.info, static_cast<int>(rc));
    return 0;
  }
  const int err = rc < 0 ? errno : 0;
  if (rc == 0 || (err != EAGAIN && err != EINTR)) {
    cont = 1;
    r.info |= MFD_FIRSTREAD;
  } else {
    keep.set(err);  // the host's call ends here with the wait's errno
  }
  TAV_LOG_T("M", "fd(%04d 0x%08x) RC. rc(%d) (%d:%s)\n", fd, r.info, static_cast<int>(rc), err,
            strerror(err));
  return static_cast<int>(rc);
}

// Reads the rest of a block of which `have` bytes are in hand, waiting up to
// five times one second for a silent peer. Returns 1 when complete, else the
// result for the host (0 with errno 0 after the waits or at end of file, -1
// with the read's errno).
int complete_block(int fd, const mfd& r, uint8_t* b, size_t have, size_t len, int flags,
                   ErrnoKeeper& keep) {
  for (int timeouts = 0; have < kBlock;) {
    TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid more. rc(%d:%d)\n", fd, r.info, static_cast<int>(have),
              static_cast<int>(len));
    if (!readable_within(fd, kWaitMs)) {
      if (++timeouts < kWaits) continue;
      TAV_LOG_T("M", "fd(%04d 0x%08x) gtuid more. rc(%d:%d) (%d:%s)\n", fd, r.info,
                static_cast<int>(have), static_cast<int>(len), ETIMEDOUT, strerror(ETIMEDOUT));
      keep.set(0);
      return 0;
    }
    const ssize_t m = read_own(fd, b + have, kBlock - have, flags);
    if (m == 0) {
      TAV_LOG_T("M", "fd(%04d 0x%08x) gtuid more. rc(%d:%d)\n", fd, r.info, static_cast<int>(have),
                static_cast<int>(len));
      keep.set(0);
      return 0;
    }
    if (m < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      keep.set(errno);
      return -1;
    }
    have += static_cast<size_t>(m);
    TAV_LOG_H("M", b, static_cast<int>(have), "fd(%04d 0x%08x) more.", fd, r.info);
  }
  return 1;
}

int recv_block(int fd, mfd& r, void* buf, size_t len, int flags, gtuid_t& blk, int& cont) {
  cont = 0;
  auto* b = reinterpret_cast<uint8_t*>(&blk);
  if (len == 0) return static_cast<int>(read_own(fd, buf, 0, flags));

  if (len < kBlock) {
    // The host's buffer cannot hold a block that turns out not to be one, so
    // the block is looked at in the queue before it is taken.
    const ssize_t rc = peek_own(fd, b, kBlock, flags);
    if (rc <= 0) return static_cast<int>(rc);
    ErrnoKeeper keep;
    if (!marker_prefix(b, static_cast<size_t>(rc)) ||
        (rc == static_cast<ssize_t>(kBlock) && !block_valid(blk))) {
      const ssize_t got = read_own(fd, buf, len, flags);  // the host's own data
      keep.set(errno);
      return static_cast<int>(got);
    }
    // A block, or the start of one that is not queued in full yet (waiting
    // for it in the queue could wait for ever: many small segments can fill
    // the receive buffer): it is taken off and completed by reading.
    if (!consume(fd, b, static_cast<size_t>(rc), flags)) {
      keep.set(0);
      return 0;
    }
    const int done = complete_block(fd, r, b, static_cast<size_t>(rc), len, flags, keep);
    if (done != 1) return done;
    if (!block_valid(blk)) {
      // Taken off already and too long for the host's buffer: the peer's
      // stream cannot be handed on intact, so the host sees its end.
      TAV_LOG_T("M", "fd(%04d 0x%08x) gtuid invalid. rc(%d:%d)\n", fd, r.info,
                static_cast<int>(kBlock), static_cast<int>(len));
      keep.set(0);
      return 0;
    }
  } else {
    const ssize_t rc = read_own(fd, b, kBlock, flags);
    if (rc <= 0) {
      if (en_log && en_log_level >= 1) {
        ErrnoKeeper keep;
        TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid read. rc(%d:%d)\n", fd, r.info,
                  static_cast<int>(rc), static_cast<int>(len));
      }
      return static_cast<int>(rc);
    }
    ErrnoKeeper keep;
    size_t have = static_cast<size_t>(rc);
    if (!marker_prefix(b, have)) return as_data(fd, r, buf, b, have);
    if (have < sizeof blk.init) {
      const size_t missing = sizeof blk.init - have;
      uint8_t rest[sizeof blk.init];
      const ssize_t p = peek_until(fd, rest, missing, flags, kWaits * kWaitMs);
      if (p < static_cast<ssize_t>(missing) || memcmp(rest, TAV_GTUID_INIT + have, missing) != 0)
        return as_data(fd, r, buf, b, have);
      if (!consume(fd, b + have, missing, flags)) return as_data(fd, r, buf, b, have);
      have += missing;
    }
    const int done = complete_block(fd, r, b, have, len, flags, keep);
    if (done != 1) return done;
    if (!block_valid(blk)) return as_data(fd, r, buf, b, kBlock);
  }

  cont = 1;
  r.rsize = static_cast<int>(blk.pck.get());
  TAV_LOG_G("M", &blk, "fd(%04d 0x%08x) recv. (%d) len(%d)\n", fd, r.info, blk.gflag == 1 ? 1 : 0,
            r.rsize);
  TAV_LOG_H("M", &blk, static_cast<int>(kBlock), "gtuid info");
  return 0;
}

void take_block(mthr* m, const gtuid_t& blk) {
  m->gtuid = blk;
  tav_gtuid_time(m);
  m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq.get() + 1);
  TAV_LOG_H("M", &m->gtuid, static_cast<int>(kBlock), "gtuid info(r)");
}

}  // namespace tav

int tav_fd_recv_check(int fd, int* cont) {
  mfd* r = tav::fd_record(fd);
  int c = 0;
  const int rc = r ? tav::recv_check(fd, *r, 0, c) : -1;
  if (cont) *cont = c;
  return rc;
}

int tav_gtuid_recv(mthr* m, int fd, void* buf, int len, int* cont) {
  mfd* r = tav::fd_record(fd);
  int c = 0;
  if (cont) *cont = 0;
  if (!r || len < 0) {
    errno = EINVAL;
    return -1;
  }
  gtuid_t blk;
  const int rc = tav::recv_block(fd, *r, buf, static_cast<size_t>(len), 0, blk, c);
  if (cont) *cont = c;
  if (!c) return rc;
  if (blk.gflag != 1) return -1;
  tav::take_block(m, blk);
  return 0;
}
