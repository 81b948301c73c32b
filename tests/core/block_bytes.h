// A 96-byte block as a peer puts it on the wire, for the receipt tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "core/tav_gtuid.h"

namespace qel::test {

// The marker that opens every block on the wire, as a peer writes it.
inline constexpr uint8_t kWireMarker[4] = {0x02, 0x0A, 0x24, 0x0F};

// Marker, flag, every identifier byte `digit`, sequence 4 and the payload
// length `pck`.
inline std::string block_bytes(uint8_t gflag, uint32_t pck, uint8_t digit = 12) {
  gtuid_t b{};
  memcpy(b.init, kWireMarker, sizeof kWireMarker);
  b.gflag = gflag;
  memset(b.gtuid, digit, sizeof b.gtuid);
  b.seq = 4;
  b.pck = pck;
  return std::string(reinterpret_cast<const char*>(&b), sizeof b);
}

}  // namespace qel::test
