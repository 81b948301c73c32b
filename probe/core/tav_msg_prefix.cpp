// The receiving side of the descriptor prefix.
#include "core/tav_msg_prefix.h"

#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_util.h"
#include "core/tav_tables.h"

#if TAV_MSG_PREFIX
namespace tav::msg_prefix {
namespace {

// Byte `k` of the scattered data.
char& at(const iovec* v, size_t k) {
  for (size_t i = 0;; ++i) {
    if (k < v[i].iov_len) return static_cast<char*>(v[i].iov_base)[k];
    k -= v[i].iov_len;
  }
}

// Drops the first `cut` of `n` bytes received into the host's vector.
void drop_front(const iovec* v, size_t n, size_t cut) {
  for (size_t k = 0; k + cut < n; ++k) at(v, k) = at(v, k + cut);
}

// The next `n` bytes (fewer than a header) are zero bytes of a prefix
// header; they stay queued. A sender's prefix follows its first byte at
// once, so the wait is bounded.
bool header_follows(int fd, size_t n) {
  char b[16];
  for (int waited = 0;; waited += 10) {
    const ssize_t got = tav::real::recv(fd, b, n, MSG_PEEK | MSG_DONTWAIT);
    if (got == static_cast<ssize_t>(n)) {
      for (size_t k = 0; k < n; ++k)
        if (b[k] != 0) return false;
      return true;
    }
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR) || waited >= kPrefixWaitMs) return false;
    tav::readable_within(fd, 10);
  }
}

}  // namespace

size_t passed_fds(const msghdr* msg, int* fds) {
  if (!msg || !msg->msg_control || msg->msg_controllen < sizeof(cmsghdr)) return 0;
  size_t n = 0;
  for (const cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(msg)); c;
       c = CMSG_NXTHDR(const_cast<msghdr*>(msg), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0))
      continue;
    const size_t k = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < k && n < kMaxFds; ++i)
      memcpy(&fds[n++], CMSG_DATA(c) + i * sizeof(int), sizeof(int));
  }
  return n;
}

size_t prefix_length(size_t nfds) { return CMSG_SPACE(nfds * sizeof(int32_t)); }

ssize_t take_prefix(int fd, msghdr* msg, int flags, ssize_t rc, const int* fds, size_t n) {
  const size_t len = prefix_length(n);
  int32_t prefix[kHeaderWords + kMaxFds + 2] = {};
  const size_t have = std::min(static_cast<size_t>(rc), len);
  for (size_t k = 0; k < have; ++k) reinterpret_cast<char*>(prefix)[k] = at(msg->msg_iov, k);
  // A prefix opens with the zero words of its header; data from a sender
  // that added none is left alone. Every byte of them that came counts, also
  // of a word cut by a small buffer: otherwise the host's first bytes would
  // be taken for a prefix and more of its data read after them.
  const size_t header_seen = std::min(have, kHeaderWords * sizeof(int32_t));
  for (size_t k = 0; k < header_seen; ++k) {
    if (reinterpret_cast<const char*>(prefix)[k] != 0) {
      TAV_LOG_D("M", "recvmsg fd(%04d) no prefix\n", fd);
      return rc;
    }
  }
  if (have < len) {
    // The host's buffer was smaller than the prefix: its rest is next in
    // the stream. Header bytes that did not come yet are looked at before
    // anything more is taken: data that only opened with zero bytes stays
    // the host's.
    tav::ErrnoKeeper keep;
    if (header_seen < kHeaderWords * sizeof(int32_t) && !header_follows(fd, kHeaderWords * sizeof(int32_t) - header_seen)) {
      TAV_LOG_D("M", "recvmsg fd(%04d) no prefix\n", fd);
      return rc;
    }
    if (tav::recv_all(fd, reinterpret_cast<char*>(prefix) + have, len - have, kPrefixWaitMs) !=
        len - have) {
      TAV_LOG_T("M", "recvmsg fd(%04d) prefix cut short (%zu of %zu)\n", fd, have, len);
      return 0;
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (mfd* r = tav::fd_record(fds[i])) {
      r->info = prefix[kHeaderWords + i];
      TAV_LOG_D("M", "fd(%04d 0x%08x) recvmsg.\n", fds[i], r->info);
    }
  }
  if (static_cast<size_t>(rc) > len) {
    drop_front(msg->msg_iov, static_cast<size_t>(rc), len);
    return rc - static_cast<ssize_t>(len);
  }
  // Nothing of the host's own bytes yet: receive them into its buffer.
  msghdr again{};
  again.msg_iov = msg->msg_iov;
  again.msg_iovlen = msg->msg_iovlen;
  return tav::real::recvmsg(fd, &again, flags & ~MSG_PEEK);
}

}  // namespace tav::msg_prefix
#endif
