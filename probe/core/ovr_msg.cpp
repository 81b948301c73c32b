// sendmsg and recvmsg. In the Tmax and WebtoB builds, a message that passes
// descriptors (SCM_RIGHTS) carries in front of its data the classification
// of each descriptor, so that the receiving process tracks the descriptors it
// is handed as the sender did. The prefix is as long as the control data of
// the descriptors (CMSG_SPACE of their count): 4-byte words, zero for the
// control header, then one word per descriptor with its flag word. The
// receiving probe takes the prefix off before its host sees the data.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_util.h"
#include "core/tav_build.h"
#include "core/tav_frame.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"

#if TAV_OVR_MSG
namespace {

using tav::ErrnoKeeper;

#if TAV_MSG_PREFIX
// The most descriptors one message may pass (the kernel's limit).
constexpr size_t kMaxFds = 253;
constexpr size_t kHeaderWords = CMSG_LEN(0) / sizeof(int32_t);
// Longest wait for the rest of a prefix.
constexpr int kPrefixWaitMs = 5000;
// Vectors up to this length are built on the stack.
constexpr size_t kSmallIov = 16;

// The descriptors a message passes, in order; their count.
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

// Sends a message passing `n` descriptors with their prefix in front. The
// host sees the count of its own bytes.
ssize_t send_with_prefix(int fd, const msghdr* msg, int flags, const int* fds, size_t n) {
  int32_t prefix[kHeaderWords + kMaxFds + 2] = {};
  const size_t len = prefix_length(n);
  for (size_t i = 0; i < n; ++i) {
    mfd* r = tav::fd_record(fds[i]);
    prefix[kHeaderWords + i] = r ? r->info : 0;
    if (r) TAV_LOG_D("M", "fd(%04d 0x%08x) sendmsg.\n", fds[i], r->info);
    else TAV_LOG_D("M", "fd(%d) sendmsg. max(%d)\n", fds[i], en_fd_max);
  }
  // The prefix goes as the first element of the host's vector.
  iovec small[kSmallIov];
  iovec* v = msg->msg_iovlen < kSmallIov
                 ? small
                 : static_cast<iovec*>(malloc((msg->msg_iovlen + 1) * sizeof(iovec)));
  if (!v) {
    errno = ENOBUFS;
    return -1;
  }
  v[0] = {prefix, len};
  for (size_t i = 0; i < msg->msg_iovlen; ++i) v[i + 1] = msg->msg_iov[i];
  msghdr copy = *msg;
  copy.msg_iov = v;
  copy.msg_iovlen = msg->msg_iovlen + 1;
  const ssize_t rc = tav::real::sendmsg(fd, &copy, flags);
  if (v != small) {
    ErrnoKeeper keep;
    free(v);
  }
  TAV_LOG_D("M", "sendmsg fd(%04d) rc(%d:%d)\n", fd, static_cast<int>(rc), static_cast<int>(len));
  if (rc < 0 || static_cast<size_t>(rc) >= len) return rc < 0 ? rc : rc - static_cast<ssize_t>(len);
  // The descriptors went with the first byte: the rest of the prefix and
  // the host's bytes must follow now, or the receiver could not tell them
  // apart. The waits are bounded.
  ErrnoKeeper keep;
  const char* p = reinterpret_cast<const char*>(prefix) + rc;
  if (tav::send_all(fd, p, len - static_cast<size_t>(rc), kPrefixWaitMs) != len - static_cast<size_t>(rc))
    return 0;
  size_t sent = 0;
  for (size_t i = 0; i < msg->msg_iovlen; ++i) {
    const size_t w = tav::send_all(fd, msg->msg_iov[i].iov_base, msg->msg_iov[i].iov_len, kPrefixWaitMs);
    sent += w;
    if (w < msg->msg_iov[i].iov_len) break;
  }
  return static_cast<ssize_t>(sent);
}

// After a receive that passed `n` descriptors: takes their prefix off the
// `rc` bytes and tracks each descriptor as its sender did. Returns the
// host's byte count; when the prefix took all of them, the host's data is
// received again.
ssize_t take_prefix(int fd, msghdr* msg, int flags, ssize_t rc, const int* fds, size_t n) {
  const size_t len = prefix_length(n);
  int32_t prefix[kHeaderWords + kMaxFds + 2] = {};
  const size_t have = std::min(static_cast<size_t>(rc), len);
  for (size_t k = 0; k < have; ++k) reinterpret_cast<char*>(prefix)[k] = at(msg->msg_iov, k);
  // A prefix opens with the zero words of its header; data from a sender
  // that added none is left alone.
  for (size_t w = 0; w < kHeaderWords && (w + 1) * sizeof(int32_t) <= have; ++w) {
    if (prefix[w] != 0) {
      TAV_LOG_D("M", "recvmsg fd(%04d) no prefix\n", fd);
      return rc;
    }
  }
  if (have < len) {
    // The host's buffer was smaller than the prefix: its rest is next in
    // the stream.
    ErrnoKeeper keep;
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
#endif

}  // namespace

extern "C" {

TAV_EXPORT ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  if (!tav::prologue()) return tav::real::sendmsg(fd, msg, flags);
  TAV_LOG_D("M", "sendmsg fd(%04d)\n", fd);
#if TAV_MSG_PREFIX
  int fds[kMaxFds];
  const size_t n = passed_fds(msg, fds);
  // Only messages that pass descriptors carry the prefix; a vector the
  // system would refuse is refused by it.
  if (n > 0 && msg->msg_iovlen < IOV_MAX && (msg->msg_iov || msg->msg_iovlen == 0))
    return send_with_prefix(fd, msg, flags, fds, n);
#else
  // The JEUS receiver does not take a prefix off: the bytes go as written.
#endif
  return tav::real::sendmsg(fd, msg, flags);
}

TAV_EXPORT ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  if (!tav::prologue()) return tav::real::recvmsg(fd, msg, flags);
  TAV_LOG_D("M", "recvmsg fd(%04d)\n", fd);
  ssize_t rc = tav::real::recvmsg(fd, msg, flags);
#if TAV_MSG_PREFIX
  int fds[kMaxFds];
  const size_t n = rc > 0 && !(msg->msg_flags & MSG_CTRUNC) ? passed_fds(msg, fds) : 0;
  if (n > 0 && !(flags & MSG_PEEK) && tav::iov_total(msg->msg_iov, msg->msg_iovlen) > 0)
    rc = take_prefix(fd, msg, flags, rc, fds, n);
#endif
  if (en_log && en_log_level >= 1 && msg) {
    ErrnoKeeper keep;
    const int first = msg->msg_iovlen > 0 && msg->msg_iov ? static_cast<int>(msg->msg_iov[0].iov_len) : 0;
    TAV_LOG_D("M", "recvmsg fd(%04d) size(%d) (%d) (%d)\n", fd, static_cast<int>(rc),
              first + static_cast<int>(msg->msg_controllen), static_cast<int>(msg->msg_controllen));
  }
  return rc;
}

}  // extern "C"
#endif
