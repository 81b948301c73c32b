// In-band framing on connections between two monitored processes: every
// message goes out behind a 96-byte transaction block, and every block is
// taken off again before the host sees the message.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

#include "core/tav_gtuid.h"

struct mfd;
struct mthr;

extern "C" {
// Frames `n` payload bytes behind the thread's block and writes them with the
// real write. Returns the payload bytes written, or the real call's result
// when none were.
int tav_gtuid_send(struct mthr* m, int fd, const void* buf, int n);
// The first-read test: decides by content whether the peer frames its
// messages. With *cont left 0 the caller returns the result to the host.
int tav_fd_recv_check(int fd, int* cont);
// Reads the next block. With *cont left 0 the result is the host's (data
// copied into buf, 0 at end of file, -1 with errno); with *cont 1 a block was
// consumed: 0 when it carried a transaction (now the thread's), -1 when not.
int tav_gtuid_recv(struct mthr* m, int fd, void* buf, int len, int* cont);
}

namespace tav {

inline constexpr size_t kBlock = sizeof(gtuid_t);

// The first n bytes (at most 4) agree with the marker.
bool marker_prefix(const void* p, size_t n);
// A received block that may be trusted: the marker, a flag of 0 or 1, two
// decimal digits in every identifier byte and a payload length below 2^31.
bool block_valid(const gtuid_t& b);

// The bytes of a vector of `cnt` entries.
inline size_t iov_total(const iovec* iov, size_t cnt) {
  size_t t = 0;
  for (size_t i = 0; i < cnt; ++i) t += iov[i].iov_len;
  return t;
}

// How the framing writes: through write/writev, or through sendmsg with the
// host's flags.
struct SendVia {
  bool use_send;
  int flags;
};

// Sends the host's vector on a framed descriptor. A new message goes out
// behind the block of `m` (a neutral block when `m` is null), prepared as the
// thread's send requires; a message in progress continues without one, and
// block bytes still owed from an earlier call go first. Returns the host's
// bytes written, or -1 with errno when none were. `committed` tells whether
// a new block started to go out in this call.
ssize_t frame_send(mthr* m, int fd, mfd& r, const iovec* iov, int cnt, SendVia via,
                   bool& committed);

// Flags of the host's call that the library's own reads keep.
inline int own_read_flags(int host_flags) { return host_flags & MSG_DONTWAIT; }

// Gives the host up to `n` of the bytes owed to it (mfd::rowed), before any
// other byte of the stream; a peek leaves them owed.
ssize_t give_owed(mfd& r, void* buf, size_t n, bool peek);

// The first-read test and the block receipt, with the non-blocking bit of
// the host's receive flags applied to the library's own reads. The block is
// returned in `blk`; nothing is copied into the thread. On a read that must
// not wait (a non-blocking descriptor or MSG_DONTWAIT) neither waits: the
// bytes of a block that has not fully arrived are kept on the descriptor,
// the host's read ends with EAGAIN, and the next read goes on with them.
int recv_check(int fd, mfd& r, int flags, int& cont);
int recv_block(int fd, mfd& r, void* buf, size_t len, int flags, gtuid_t& blk, int& cont);
// Called for each block taken off the stream, in order.
using BlockSink = void (*)(void* ctx, const gtuid_t& blk);
struct Received {
  ssize_t rc;  // what the host gets when `done`
  bool done;   // false: only blocks were taken off, no payload byte yet
};
// Reads the next message at a message boundary in one call: the block into
// the library's buffer and the payload straight into the host's (of `len`,
// more than a block), so that no more than `len` bytes are ever taken. Blocks
// of further messages read with it are taken off and their payloads moved up;
// a block cut by the read is kept on the descriptor until the rest arrives.
Received recv_message(int fd, mfd& r, void* buf, size_t len, int flags, BlockSink sink, void* ctx);
// The host's read of a framed connection (`flags` < 0: a read, else the
// host's receive flags): blocks are taken off and handed to `sink` in
// order; the host gets its payload bytes only, never more than `n`.
ssize_t service_read(int fd, mfd& r, void* buf, size_t n, int flags, BlockSink sink, void* ctx);
// Host bytes in `k` bytes of a framed stream whose current message has
// `rem` payload bytes left: payloads, and bytes that are no block up to
// where one could begin; a block still arriving ends the count.
size_t framed_host_bytes(const uint8_t* q, size_t k, size_t rem);
// What FIONREAD reports to the host of a framed connection with `queued`
// bytes in the socket: the bytes owed to it and the host's bytes queued.
int framed_available(int fd, const mfd& r, int queued);
// Takes a received active block over into the thread: hop timing and the
// sequence one higher.
void take_block(mthr* m, const gtuid_t& blk);

}  // namespace tav
