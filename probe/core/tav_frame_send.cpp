// Outbound framing: the block in front of each message, the bytes of a
// message still owed after a short write, and the vectored sends.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"

namespace {

// Entries of the vector the library builds for one system call; a longer
// host vector goes out in several calls.
constexpr int kOutMax = 64;
// A message announces its length in 31 bits.
constexpr size_t kPckMax = 0x7fffffff;

ssize_t gather(int fd, const iovec* v, int cnt, tav::SendVia via) {
  if (via.use_send) {
    msghdr h{};
    h.msg_iov = const_cast<iovec*>(v);
    h.msg_iovlen = static_cast<size_t>(cnt);
    return tav::real::sendmsg(fd, &h, via.flags);
  }
  return tav::real::writev(fd, v, cnt);
}

// Walks the host's vector, handing out at most `left` bytes.
struct Cursor {
  const iovec* iov;
  int cnt;
  int at = 0;
  size_t off = 0;
  size_t left;

  void skip_empty() {
    while (at < cnt && off >= iov[at].iov_len) {
      ++at;
      off = 0;
    }
  }
  // Appends entries to `out` from index `n` on; returns the new count.
  int fill(iovec* out, int n) {
    int i = at;
    size_t o = off, l = left;
    while (n < kOutMax && l > 0 && i < cnt) {
      const size_t take = std::min(iov[i].iov_len - o, l);
      if (take > 0) out[n++] = {static_cast<char*>(iov[i].iov_base) + o, take};
      l -= take;
      ++i;
      o = 0;
    }
    return n;
  }
  void advance(size_t k) {
    left -= k;
    while (k > 0) {
      const size_t take = std::min(iov[at].iov_len - off, k);
      off += take;
      k -= take;
      skip_empty();
    }
    skip_empty();
  }
};

// The thread's block made ready to go out in front of a new message.
void prepare_block(mthr* m, size_t pck) {
  gtuid_t& g = m->gtuid;
  if (g.init[0] != TAV_GTUID_INIT[0]) memcpy(g.init, TAV_GTUID_INIT, sizeof g.init);
  if (g.gflag == 1) {
    g.rem[0] = 0;  // the keep flag does not travel
    tav_gtuid_time(m);
    if (en_qel_full) g.seq = static_cast<uint16_t>(g.seq.get() + 1);
  }
  g.pck = static_cast<uint32_t>(pck);
}

}  // namespace

namespace tav {

ssize_t frame_send(mthr* m, int fd, mfd& r, const iovec* iov, int cnt, SendVia via,
                   bool& committed) {
  committed = false;
  const size_t total = tav::iov_total(iov, static_cast<size_t>(cnt));
  // An empty write is not a message: framing it would announce a payload of
  // 0 bytes that the receiver cannot tell from the next message's block.
  if (total == 0) return gather(fd, iov, cnt, via);

  // What goes in front of the host's bytes, and how many host bytes the
  // message in progress may still take.
  const uint8_t* hidden = nullptr;
  size_t hidden_len = 0;
  size_t budget;
  const bool fresh = r.wsize <= 0 && r.wtail <= 0;
  gtuid_t neutral;
  gtuid_t saved;  // the transaction before its hop was counted
  bool restore = false;
  gtuid_t* block = nullptr;
  if (!fresh) {
    if (r.wtail > 0) {
      hidden = r.wblock + kBlock - static_cast<size_t>(r.wtail);
      hidden_len = static_cast<size_t>(r.wtail);
    }
    budget = r.wsize > 0 ? static_cast<size_t>(r.wsize) : 0;
  } else {
    budget = std::min(total, kPckMax);
    if (m) {
      // Only an active transaction changes with the send (hop time and
      // sequence); that change is taken back if nothing goes out.
      restore = m->gtuid.gflag == 1;
      if (restore) saved = m->gtuid;
      prepare_block(m, budget);
      block = &m->gtuid;
    } else {
      memset(&neutral, 0, sizeof neutral);
      memcpy(neutral.init, TAV_GTUID_INIT, sizeof neutral.init);
      neutral.pck = static_cast<uint32_t>(budget);
      block = &neutral;
    }
    hidden = reinterpret_cast<const uint8_t*>(block);
    hidden_len = kBlock;
  }

  Cursor host{iov, cnt, 0, 0, std::min(total, budget)};
  host.skip_empty();
  size_t hidden_sent = 0, host_sent = 0;
  int err = 0;
  bool failed = false;
  for (;;) {
    iovec out[kOutMax];
    int n = 0;
    if (hidden_sent < hidden_len)
      out[n++] = {const_cast<uint8_t*>(hidden) + hidden_sent, hidden_len - hidden_sent};
    n = host.fill(out, n);
    if (n == 0) break;
    const size_t asked = tav::iov_total(out, static_cast<size_t>(n));
    const ssize_t rc = gather(fd, out, n, via);
    if (rc < 0) {
      err = errno;
      failed = true;
      break;
    }
    if (rc == 0) break;
    size_t got = static_cast<size_t>(rc);
    const size_t h = std::min(got, hidden_len - hidden_sent);
    hidden_sent += h;
    got -= h;
    host.advance(got);
    host_sent += got;
    // Once the block is out with at least one byte of the host's, a short
    // write is the host's to retry; a vector longer than one call goes on.
    if (hidden_sent == hidden_len && (host_sent > 0 || host.left == 0)) {
      if (static_cast<size_t>(rc) < asked || host.left == 0) break;
    }
  }

  if (fresh) {
    if (hidden_sent == 0) {
      if (restore) m->gtuid = saved;  // nothing went out: the retry sends the same block
    } else {
      committed = true;
      r.wsize = static_cast<int>(budget - host_sent);
      if (hidden_sent < kBlock) {
        memcpy(r.wblock, block, kBlock);
        r.wtail = static_cast<int>(kBlock - hidden_sent);
      }
    }
  } else {
    r.wtail -= static_cast<int>(hidden_sent);
    r.wsize -= static_cast<int>(host_sent);
  }

  if (en_log && fresh && hidden_sent > 0) {
    ErrnoKeeper keep;
    const int sent = static_cast<int>(hidden_sent + host_sent);
    if (hidden_sent < kBlock || host_sent == 0)
      TAV_LOG_T("M", "fd(%04d 0x%08x) E. (%d) n(%d) w(%d)\n", fd, r.info, err,
                static_cast<int>(budget), sent);
    TAV_LOG_G("M", block, "fd(%04d 0x%08x) send. (%d) rc(%d) nbyte(%d)\n", fd, r.info,
              block->gflag == 1 ? 1 : 0, sent, static_cast<int>(budget));
    TAV_LOG_H("M", block, static_cast<int>(kBlock), "gtuid info(s)");
  }
  if (host_sent > 0) return static_cast<ssize_t>(host_sent);
  if (failed) {
    errno = err;
    return -1;
  }
  if (hidden_sent > 0) {
    // Only block bytes went out and the kernel took no more: the host's
    // bytes are not written yet, which a caller retries like a full buffer.
    errno = EAGAIN;
    return -1;
  }
  return 0;
}

}  // namespace tav

int tav_gtuid_send(mthr* m, int fd, const void* buf, int n) {
  mfd* r = tav::fd_record(fd);
  if (!r || n < 0) {
    errno = EINVAL;
    return -1;
  }
  iovec v{const_cast<void*>(buf), static_cast<size_t>(n)};
  bool committed;
  return static_cast<int>(tav::frame_send(m, fd, *r, &v, 1, {false, 0}, committed));
}
