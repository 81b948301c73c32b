// Tmax build: the transaction of a message that a client handler or gateway
// reads on one connection and writes on to another travels inside the
// host's message buffer between the two calls. The read side puts a marker
// and the address of a library block in place of the message's first 16
// bytes; the write side takes the block back. Bytes that reach a write can
// come from the network and carry any marker and address: only a block this
// library handed out and has not taken back is ever used.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/tav_gtuid.h"

namespace tav::tmax {

// Bytes of the host's message that the hand-off replaces.
inline constexpr size_t kHandoffBytes = 16;
// Blocks out at the same time, at most.
inline constexpr int kMaxBlocks = 65536;
// The marker in front of a block's address, a native int.
inline constexpr int32_t kHandoffMarker = 0x020A240F;

// Replaces the first 16 of `n` bytes at `buf` by the marker and the address
// of a new block holding `g` and those 16 bytes. False (buffer unchanged)
// when there are fewer than 16 bytes, no memory, or kMaxBlocks blocks out
// already (blocks of messages a host never writes on are not taken back).
bool handoff_out(const gtuid_t& g, void* buf, size_t n);

// When the 16 bytes at `ticket` name a block handed out by handoff_out and
// not yet taken back: sets `g` to the block's transaction and `bytes` to the
// host's 16 bytes it kept, releases the block and returns true. Otherwise
// nothing is read through the address and false is returned.
bool handoff_in(const void* ticket, gtuid_t& g, unsigned char (&bytes)[kHandoffBytes]);

// Blocks handed out and not yet taken back.
int handoff_count();

}  // namespace tav::tmax
