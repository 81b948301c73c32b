// How many bytes a host can read now from a framed connection: what the
// library owes it, and what is queued less the blocks in it. The count may
// be lower than what the host will read, never higher, so a host that reads
// exactly that many bytes never waits for bytes that are not its own.
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"

namespace tav {
namespace {

// Bytes examined after the current message's payload, at most.
constexpr size_t kView = 4096;

// The first position at or after `at` where a block could begin.
size_t next_marker(const uint8_t* q, size_t k, size_t at) {
  for (; at < k; ++at)
    if (marker_prefix(q + at, k - at)) return at;
  return k;
}

}  // namespace

size_t framed_host_bytes(const uint8_t* q, size_t k, size_t rem) {
  size_t count = 0, at = 0;
  while (at < k) {
    if (rem > 0) {
      const size_t take = std::min(rem, k - at);
      count += take;
      at += take;
      rem -= take;
      continue;
    }
    gtuid_t b;
    if (k - at >= kBlock) {
      memcpy(&b, q + at, kBlock);
      if (block_valid(b)) {
        at += kBlock;
        rem = b.pck.get();
        continue;
      }
    } else if (marker_prefix(q + at, k - at)) {
      break;  // a block still arriving
    }
    // No block: the host's bytes, up to where one could begin again.
    const size_t end = next_marker(q, k, at + 1);
    count += end - at;
    at = end;
  }
  return count;
}

int framed_available(int fd, const mfd& r, int queued) {
  const size_t owed = static_cast<size_t>(std::max(r.rowed, 0));
  const size_t inq = static_cast<size_t>(std::max(queued, 0));
  const size_t rem = r.rhave > 0 ? 0 : static_cast<size_t>(std::max(r.rsize, 0));
  size_t host;
  if (inq == 0 || rem >= inq) {
    host = std::min(rem, inq);  // all of it payload: nothing to look at
  } else if (rem + kBlock > kView) {
    host = rem;  // the next block lies beyond what is examined
  } else {
    ErrnoKeeper keep;
    uint8_t view[kBlock + kView];
    const size_t held = static_cast<size_t>(std::max(r.rhave, 0));
    memcpy(view, r.rblock, held);
    const ssize_t k = real::recv(fd, view + held, std::min(inq, kView), MSG_PEEK | MSG_DONTWAIT);
    host = framed_host_bytes(view, held + static_cast<size_t>(std::max<ssize_t>(k, 0)), rem);
  }
  const size_t total = owed + host;
  return static_cast<int>(std::min<size_t>(total, 0x7fffffff));
}

}  // namespace tav
