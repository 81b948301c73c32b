// The identifier of a transaction as text: its 11 bytes each hold two
// decimal digits (0..99).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tav {

constexpr size_t kGtuidBytes = 11;

// Writes the 22 digits of the identifier bytes and a NUL (23 bytes).
inline void gtuid_digits(const uint8_t* id, char* out) {
  for (size_t i = 0; i < kGtuidBytes; ++i) {
    out[2 * i] = static_cast<char>('0' + id[i] / 10 % 10);
    out[2 * i + 1] = static_cast<char>('0' + id[i] % 10);
  }
  out[2 * kGtuidBytes] = 0;
}

}  // namespace tav
