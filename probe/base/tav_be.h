// Big-endian integers stored as plain bytes, for records that travel: no
// alignment, no padding, the value converted on every access.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

template <typename T>
struct be {
  uint8_t b[sizeof(T)];

  constexpr T get() const {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | b[i]);
    return v;
  }
  constexpr void set(T v) {
    for (size_t i = sizeof(T); i-- > 0;) {
      b[i] = static_cast<uint8_t>(v & 0xff);
      v = static_cast<T>(v >> 8);
    }
  }
  constexpr operator T() const { return get(); }
  constexpr be& operator=(T v) {
    set(v);
    return *this;
  }
};

using be16 = be<uint16_t>;
using be32 = be<uint32_t>;
using be64 = be<uint64_t>;
static_assert(sizeof(be16) == 2 && alignof(be16) == 1);
static_assert(sizeof(be32) == 4 && alignof(be32) == 1);
static_assert(sizeof(be64) == 8 && alignof(be64) == 1);

}  // namespace tav
