// The bytes in front of the data of a message that passes descriptors (Tmax
// and WebtoB builds): 4-byte words, zero for the control header, then each
// descriptor's flag word, as long as the descriptors' control data
// (CMSG_SPACE of their count). The receiving side is reachable here without
// the recvmsg override.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/tav_build.h"

#if TAV_MSG_PREFIX
namespace tav::msg_prefix {

// The most descriptors one message may pass (the kernel's limit).
inline constexpr size_t kMaxFds = 253;
inline constexpr size_t kHeaderWords = CMSG_LEN(0) / sizeof(int32_t);
// Longest wait for the rest of a prefix.
inline constexpr int kPrefixWaitMs = 5000;
// The descriptors a message passes, in order (at most kMaxFds); their count.
size_t passed_fds(const msghdr* msg, int* fds);
// Bytes of the prefix for `nfds` descriptors.
size_t prefix_length(size_t nfds);
// After a receive of `rc` bytes into msg's vector that passed the `n`
// descriptors `fds`: takes their prefix off and tracks each descriptor as
// its sender did. Returns the host's byte count; when the prefix took all
// of them, the host's data is received again.
ssize_t take_prefix(int fd, msghdr* msg, int flags, ssize_t rc, const int* fds, size_t n);

}  // namespace tav::msg_prefix
#endif
