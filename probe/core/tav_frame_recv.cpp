// Inbound framing: the first-read test that tells a framing peer from any
// other, and the receipt of the block in front of each message.
#include <poll.h>
#include <sys/uio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_util.h"
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

using tav::readable_within;

// The peer has ended its side of the stream: nothing more will be queued.
bool peer_ended(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// Peeks until `want` bytes are queued, the peer has ended the stream or
// `budget_ms` have passed: the count peeked (possibly less), 0 at end of
// file, -1 on an error other than a wait.
ssize_t peek_until(int fd, uint8_t* b, size_t want, int flags, int budget_ms) {
  for (int waited = 0;; waited += kStepMs) {
    const ssize_t rc = peek_own(fd, b, want, flags);
    if (rc == 0) return 0;
    if (rc < 0 && errno != EAGAIN && errno != EINTR) return -1;
    if (rc >= static_cast<ssize_t>(want) || waited >= budget_ms || peer_ended(fd)) return rc < 0 ? 0 : rc;
    tav::sleep_ms(kStepMs);
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

ssize_t give_owed(mfd& r, void* buf, size_t n, bool peek) {
  const size_t k = std::min(n, static_cast<size_t>(r.rowed));
  memcpy(buf, r.rblock, k);
  if (!peek) {
    r.rowed -= static_cast<int>(k);
    memmove(r.rblock, r.rblock + k, static_cast<size_t>(r.rowed));
  }
  return static_cast<ssize_t>(k);
}

int recv_check(int fd, mfd& r, int flags, int& cont) {
  cont = 0;
  ErrnoKeeper keep;  // a test that lets the read go on leaves the host's errno
  // Bytes of a block's start that an earlier test took off because the
  // host's read could not wait for the rest.
  const size_t held = static_cast<size_t>(r.rhave);
  uint8_t b[5];
  memcpy(b, r.rblock, held);
  ssize_t rc = peek_own(fd, b + held, sizeof b - held, flags);
  const int err = rc < 0 ? errno : 0;
  if (rc < 0 && held > 0 && (err == EAGAIN || err == EINTR)) {
    keep.set(err);  // still nothing new: the host waits for the next readiness
    return -1;
  }
  if (rc > 0 || held > 0) {
    cont = 1;
    r.info |= MFD_FIRSTREAD;
    size_t have = held + static_cast<size_t>(std::max<ssize_t>(rc, 0));
    if (have < sizeof b && rc > 0 && marker_prefix(b, have)) {
      if (read_must_not_wait(fd, flags)) {
        // The start of a block: taken off and kept, so that readiness shows
        // what comes next; the test goes on when the host reads again.
        if (!consume(fd, r.rblock + held, static_cast<size_t>(rc), flags)) return not_service(fd, r, rc);
        r.rhave = static_cast<int>(have);
        r.info &= ~MFD_FIRSTREAD;
        cont = 0;
        keep.set(EAGAIN);
        return -1;
      }
      // The start of a block: give the rest of the segment a moment.
      tav::sleep_ms(100);
      int ready = 0;
      if (tav::real::ioctl(fd, FIONREAD, &ready) == 0 && static_cast<size_t>(ready) >= sizeof b - held) {
        rc = peek_own(fd, b + held, sizeof b - held, flags);
        have = held + static_cast<size_t>(std::max<ssize_t>(rc, 0));
      }
    }
    if (have == sizeof b && marker_prefix(b, 4) && b[4] <= 1) {
      r.info |= MFD_SERVICE;  // held bytes stay the start of the first block
    } else {
      // Taken for monitored, the peer answers without a block: what was sent
      // cannot be unsent, but nothing more goes out framed.
      if (r.info & MFD_SERVICE)
        TAV_LOG_T("M", "fd(%04d 0x%08x) peer sends no block: not framed from now on\n", fd, r.info);
      r.info &= ~MFD_SERVICE;
      // Held bytes were the host's first bytes after all.
      r.rowed = r.rhave;
      r.rhave = 0;
    }
    TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid info. rc(%d)\n", fd, r.info, static_cast<int>(have));
    return 0;
  }
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

namespace {

// Logs a block taken off the stream and makes its payload the descriptor's
// next message.
void accept_block(int fd, mfd& r, const gtuid_t& blk) {
  r.rsize = static_cast<int>(blk.pck.get());
  TAV_LOG_G("M", &blk, "fd(%04d 0x%08x) recv. (%d) len(%d)\n", fd, r.info, blk.gflag == 1 ? 1 : 0,
            r.rsize);
  TAV_LOG_H("M", &blk, static_cast<int>(kBlock), "gtuid info");
}

// Bytes taken off the stream that are no block: the host's data, as much as
// its buffer holds now, the rest owed to its next read.
int give_back(int fd, mfd& r, void* buf, size_t len, const uint8_t* b, size_t n, ErrnoKeeper& keep) {
  keep.set(0);
  if (n <= len) return as_data(fd, r, buf, b, n);
  TAV_LOG_T("M", "fd(%04d 0x%08x) gtuid invalid. rc(%d:%d) owed(%d)\n", fd, r.info, static_cast<int>(n),
            static_cast<int>(len), static_cast<int>(n - len));
  memmove(r.rblock, b + len, n - len);
  r.rowed = static_cast<int>(n - len);
  return as_data(fd, r, buf, b, len);
}

// The rest of a block on a read that must not wait: what is queued is taken,
// the marker first so that no more of a stream that is no block is taken
// than its first bytes. Incomplete, the bytes in hand stay on the
// descriptor and the host's read ends as a non-blocking read with nothing
// queued does. Returns 1 when complete, else the result for the host.
int complete_now(int fd, mfd& r, void* buf, size_t len, int flags, uint8_t* b, size_t& have,
                 ErrnoKeeper& keep) {
  while (have < kBlock) {
    const size_t upto = have < sizeof(gtuid_t::init) ? sizeof(gtuid_t::init) : kBlock;
    const ssize_t m = read_own(fd, b + have, upto - have, flags);
    if (m > 0) {
      have += static_cast<size_t>(m);
      if (!marker_prefix(b, have)) return give_back(fd, r, buf, len, b, have, keep);
      continue;
    }
    if (m < 0 && errno == EINTR) continue;
    if (m == 0 && have < sizeof(gtuid_t::init)) return give_back(fd, r, buf, len, b, have, keep);
    const int err = m < 0 ? errno : 0;
    if (m < 0) {
      memcpy(r.rblock, b, have);
      r.rhave = static_cast<int>(have);
    }
    TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid kept. rc(%d:%d) (%d)\n", fd, r.info, static_cast<int>(have),
              static_cast<int>(len), err);
    keep.set(err);  // EAGAIN: the rest comes with a later readiness
    return m < 0 ? -1 : 0;
  }
  return 1;
}

// Goes on with `have` bytes of a possible block in hand: makes sure of the
// marker, completes the block and validates it.
int finish_block(int fd, mfd& r, void* buf, size_t len, int flags, gtuid_t& blk, size_t have,
                 int& cont, ErrnoKeeper& keep) {
  auto* b = reinterpret_cast<uint8_t*>(&blk);
  if (!marker_prefix(b, have)) return give_back(fd, r, buf, len, b, have, keep);
  if (have < kBlock && read_must_not_wait(fd, flags)) {
    const int done = complete_now(fd, r, buf, len, flags, b, have, keep);
    if (done != 1) return done;
  }
  if (have < sizeof blk.init) {
    const size_t missing = sizeof blk.init - have;
    uint8_t rest[sizeof blk.init];
    const ssize_t p = peek_until(fd, rest, missing, flags, kWaits * kWaitMs);
    if (p < static_cast<ssize_t>(missing) || memcmp(rest, TAV_GTUID_INIT + have, missing) != 0 ||
        !consume(fd, b + have, missing, flags))
      return give_back(fd, r, buf, len, b, have, keep);
    have += missing;
  }
  const int done = complete_block(fd, r, b, have, len, flags, keep);
  if (done != 1) return done;
  if (!block_valid(blk)) return give_back(fd, r, buf, len, b, kBlock, keep);
  cont = 1;
  accept_block(fd, r, blk);
  return 0;
}

}  // namespace

int recv_block(int fd, mfd& r, void* buf, size_t len, int flags, gtuid_t& blk, int& cont) {
  cont = 0;
  auto* b = reinterpret_cast<uint8_t*>(&blk);
  if (r.rhave > 0) {
    // The start of a block that an earlier read took together with data.
    ErrnoKeeper keep;
    const size_t have = std::min<size_t>(static_cast<size_t>(r.rhave), kBlock);
    memcpy(b, r.rblock, have);
    r.rhave = 0;
    return finish_block(fd, r, buf, len, flags, blk, have, cont, keep);
  }
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
    return finish_block(fd, r, buf, len, flags, blk, static_cast<size_t>(rc), cont, keep);
  }
  const ssize_t rc = read_own(fd, b, kBlock, flags);
  if (rc <= 0) {
    if (en_log && en_log_level >= 1) {
      ErrnoKeeper keep;
      TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid read. rc(%d:%d)\n", fd, r.info, static_cast<int>(rc),
                static_cast<int>(len));
    }
    return static_cast<int>(rc);
  }
  ErrnoKeeper keep;
  return finish_block(fd, r, buf, len, flags, blk, static_cast<size_t>(rc), cont, keep);
}

Received recv_message(int fd, mfd& r, void* host, size_t len, int flags, BlockSink sink,
                      void* ctx) {
  auto* buf = static_cast<uint8_t*>(host);
  gtuid_t blk;
  auto* b = reinterpret_cast<uint8_t*>(&blk);
  iovec v[2] = {{b, kBlock}, {buf, len - kBlock}};
  ssize_t rc;
  if (flags) {
    msghdr h{};
    h.msg_iov = v;
    h.msg_iovlen = 2;
    rc = tav::real::recvmsg(fd, &h, flags);
  } else {
    rc = tav::real::readv(fd, v, 2);
  }
  if (rc <= 0) return {rc, true};
  ErrnoKeeper keep;
  const size_t have = std::min(static_cast<size_t>(rc), kBlock);
  const size_t extra = static_cast<size_t>(rc) - have;
  // Bytes that are no block are the host's, in the order they came.
  auto as_host_data = [&]() -> Received {
    memmove(buf + have, buf, extra);
    memcpy(buf, b, have);
    TAV_LOG_D("M", "fd(%04d 0x%08x) gtuid nhav. rc(%d:%d)\n", fd, r.info, static_cast<int>(rc),
              static_cast<int>(len));
    return {rc, true};
  };
  if (!marker_prefix(b, have)) return as_host_data();
  if (have < kBlock) {
    int cont = 0;
    const int got = finish_block(fd, r, buf, len, flags, blk, have, cont, keep);
    if (!cont) return {got, true};
    sink(ctx, blk);
    return {0, false};
  }
  if (!block_valid(blk)) return as_host_data();
  accept_block(fd, r, blk);
  sink(ctx, blk);

  // The payload read with the block, and whatever messages followed it:
  // their blocks are taken off and their payloads moved up behind it.
  size_t out = 0, at = 0;
  for (;;) {
    const size_t take = std::min(extra - at, static_cast<size_t>(r.rsize));
    if (out != at) memmove(buf + out, buf + at, take);
    out += take;
    at += take;
    r.rsize -= static_cast<int>(take);
    const size_t left = extra - at;
    if (left == 0) break;
    if (left < kBlock && marker_prefix(buf + at, left)) {
      // A block cut by this read: kept until the rest arrives.
      memcpy(r.rblock, buf + at, left);
      r.rhave = static_cast<int>(left);
      break;
    }
    gtuid_t next;
    if (left >= kBlock) memcpy(&next, buf + at, kBlock);
    if (left < kBlock || !block_valid(next)) {
      memmove(buf + out, buf + at, left);  // not a block: the host's data
      out += left;
      break;
    }
    at += kBlock;
    accept_block(fd, r, next);
    sink(ctx, next);
  }
  if (out == 0) return {0, false};
  return {static_cast<ssize_t>(out), true};
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
