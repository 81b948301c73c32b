// Bob Jenkins' lookup2 hash.
#include "base/tav_lookup2.h"

namespace {

inline void mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

// A byte as the hash takes it: a signed char, sign-extended.
inline uint32_t sbyte(const signed char* k, int i) { return static_cast<uint32_t>(k[i]); }

inline uint32_t word(const signed char* k) {
  return sbyte(k, 0) + (sbyte(k, 1) << 8) + (sbyte(k, 2) << 16) + (sbyte(k, 3) << 24);
}

}  // namespace

uint32_t tav_lookup2(const void* key, int len) {
  const auto* k = static_cast<const signed char*>(key);
  if (!k || len < 0) len = 0;  // nothing readable: hashed as no bytes
  uint32_t a = 0x9E3779B9u;    // the golden ratio, an arbitrary start
  uint32_t b = 0x9E3779B9u;
  uint32_t c = 0;              // the initial value
  int left = len;
  for (; left >= 12; left -= 12, k += 12) {
    a += word(k);
    b += word(k + 4);
    c += word(k + 8);
    mix(a, b, c);
  }
  c += static_cast<uint32_t>(len);
  // The remaining bytes in the published order; the low byte of c already
  // holds the length, so c takes bytes 8..10 from bit 8 up.
  switch (left) {
    case 11: c += sbyte(k, 10) << 24; [[fallthrough]];
    case 10: c += sbyte(k, 9) << 16; [[fallthrough]];
    case 9: c += sbyte(k, 8) << 8; [[fallthrough]];
    case 8: b += sbyte(k, 7) << 24; [[fallthrough]];
    case 7: b += sbyte(k, 6) << 16; [[fallthrough]];
    case 6: b += sbyte(k, 5) << 8; [[fallthrough]];
    case 5: b += sbyte(k, 4); [[fallthrough]];
    case 4: a += sbyte(k, 3) << 24; [[fallthrough]];
    case 3: a += sbyte(k, 2) << 16; [[fallthrough]];
    case 2: a += sbyte(k, 1) << 8; [[fallthrough]];
    case 1: a += sbyte(k, 0); break;
    default: break;
  }
  mix(a, b, c);
  return c;
}
