// Decimal digits without formatting calls: the identifier of a transaction
// as text (its 11 bytes each hold two decimal digits, 0..99), and numbers of
// a fixed width, two digits at a time from a table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

constexpr size_t kGtuidBytes = 11;

// "00" "01" ... "99".
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the last `width` decimal digits of `v`, zero-padded (no NUL).
inline void put_digits(char* out, size_t width, uint64_t v) {
  size_t i = width;
  while (i >= 2) {
    const unsigned pair = static_cast<unsigned>(v % 100);
    v /= 100;
    i -= 2;
    out[i] = kDigitPairs[2 * pair];
    out[i + 1] = kDigitPairs[2 * pair + 1];
  }
  if (i == 1) out[0] = static_cast<char>('0' + v % 10);
}

// Writes `v` in as few digits as it needs, at least `min_width` (zero-padded);
// returns how many were written (at most 20, no NUL).
inline size_t put_number(char* out, uint64_t v, size_t min_width = 1) {
  size_t n = 1;
  for (uint64_t t = v; t >= 10; t /= 10) ++n;
  if (n < min_width) n = min_width;
  put_digits(out, n, v);
  return n;
}

// Writes the 22 digits of the identifier bytes and a NUL (23 bytes).
// A byte above 99 gives the last two digits of its tens and its units.
inline void gtuid_digits(const uint8_t* id, char* out) {
  for (size_t i = 0; i < kGtuidBytes; ++i) {
    const unsigned b = id[i] < 100 ? id[i] : id[i] / 10 % 10 * 10 + id[i] % 10;
    out[2 * i] = kDigitPairs[2 * b];
    out[2 * i + 1] = kDigitPairs[2 * b + 1];
  }
  out[2 * kGtuidBytes] = 0;
}

// "a.b.c.d" of four address bytes and a NUL (at most 16 bytes).
inline void ipv4_text(const uint8_t (&ip)[4], char* out) {
  size_t at = 0;
  for (int i = 0; i < 4; ++i) {
    if (i) out[at++] = '.';
    at += put_number(out + at, ip[i]);
  }
  out[at] = 0;
}

}  // namespace tav
