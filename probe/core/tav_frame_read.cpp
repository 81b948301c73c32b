// The host's read of a framed connection: the blocks in front of the
// messages are taken off, and the host reads exactly the payload bytes, in
// order, whatever the sizes of its reads and the cuts of the stream.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "base/tav_errno.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"

namespace tav {
namespace {

// One read: at a message boundary the block is taken off first and handed
// to `sink`.
ssize_t read_once(int fd, mfd& r, void* buf, size_t n, int flags, BlockSink sink, void* ctx) {
  const bool is_recv = flags >= 0;
  const int host_flags = is_recv ? flags : 0;
  const bool peek = host_flags & MSG_PEEK;
  if (r.rowed > 0) return give_owed(r, buf, n, peek);
  for (;;) {
    if (r.rsize < 1) {
      if (r.rhave == 0 && n > kBlock && !peek) {
        // Block and payload in one call: the common case costs one read.
        const Received got = recv_message(fd, r, buf, n, host_flags & ~MSG_WAITALL, sink, ctx);
        if (got.done) {
          if (got.rc > 0 && static_cast<size_t>(got.rc) < n && r.rsize > 0) {
            // The block took room of the host's buffer: what is already
            // queued of the payload fills it up as a plain read would.
            ErrnoKeeper keep;
            const size_t room = std::min(n - static_cast<size_t>(got.rc), static_cast<size_t>(r.rsize));
            const ssize_t more = real::recv(fd, static_cast<char*>(buf) + got.rc, room, MSG_DONTWAIT);
            if (more > 0) {
              r.rsize -= static_cast<int>(more);
              return got.rc + more;
            }
          }
          return got.rc;
        }
      } else {
        gtuid_t blk;
        int cont = 0;
        const int rc = recv_block(fd, r, buf, n, own_read_flags(host_flags), blk, cont);
        if (!cont) return rc;
        sink(ctx, blk);
      }
      // A block that announces no payload is complete; the next message
      // follows (or the host's non-blocking read ends with EAGAIN).
      if (r.rsize < 1) continue;
    }
    const size_t cap = std::min(n, static_cast<size_t>(r.rsize));
    const ssize_t rc = is_recv ? real::recv(fd, buf, cap, flags) : real::read(fd, buf, cap);
    if (rc > 0 && !peek) r.rsize -= static_cast<int>(rc);
    return rc;
  }
}

}  // namespace

ssize_t service_read(int fd, mfd& r, void* buf, size_t n, int flags, BlockSink sink, void* ctx) {
  // A receive that waits for all its bytes gets them across message
  // boundaries, as it would without the blocks.
  const bool wait_all = flags >= 0 && (flags & MSG_WAITALL) && !(flags & (MSG_PEEK | MSG_DONTWAIT));
  if (!wait_all) return read_once(fd, r, buf, n, flags, sink, ctx);
  size_t total = 0;
  while (total < n) {
    const ssize_t rc = read_once(fd, r, static_cast<char*>(buf) + total, n - total, flags, sink, ctx);
    if (rc <= 0) return total > 0 ? static_cast<ssize_t>(total) : rc;
    total += static_cast<size_t>(rc);
  }
  return static_cast<ssize_t>(total);
}

}  // namespace tav
