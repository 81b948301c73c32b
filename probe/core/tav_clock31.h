// The 31-bit microsecond clock of hop stamps: microseconds since the epoch
// modulo 2^31, which wraps about every 36 minutes.
#pragma once

#include <cstdint>

namespace tav {

inline constexpr uint64_t kMod31 = uint64_t{1} << 31;

// Elapsed time from stamp `last` to `now`, both taken modulo 2^31. A `now`
// not later than `last` means either the clock wrapped past 2^31 between the
// two or `last` came from a clock that is ahead of ours; the smaller reading
// wins. Across a wrap the distance is 2^31 - last + now, to the microsecond.
constexpr uint64_t elapsed31(uint64_t now, uint64_t last) {
  now %= kMod31;
  last %= kMod31;
  if (now > last) return now - last;
  const uint64_t behind = last - now;
  const uint64_t wrapped = kMod31 - last + now;
  return behind < wrapped ? behind : wrapped;
}

// The stamp `by` microseconds before `stamp`, on the same clock: across the
// wrap it lands just below 2^31, not at 0.
constexpr uint64_t earlier31(uint64_t stamp, uint64_t by) {
  return (stamp % kMod31 + kMod31 - by % kMod31) % kMod31;
}

}  // namespace tav
