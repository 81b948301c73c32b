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
#include "core/tav_msg_prefix.h"
#include "core/tav_tables.h"

#if TAV_OVR_MSG
namespace {

using tav::ErrnoKeeper;

#if TAV_MSG_PREFIX
// Vectors up to this length are built on the stack.
constexpr size_t kSmallIov = 16;
using tav::msg_prefix::kHeaderWords;
using tav::msg_prefix::kMaxFds;
using tav::msg_prefix::kPrefixWaitMs;
using tav::msg_prefix::passed_fds;
using tav::msg_prefix::prefix_length;
using tav::msg_prefix::take_prefix;

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
