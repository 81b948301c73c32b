// Hex dump text: 16 bytes per row, offset, hex columns, character column.
#include <cstdint>

#include "base/tav_log.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

char printable(uint8_t b) { return (b < 32 || b >= 127) ? '.' : static_cast<char>(b); }

}  // namespace

char* tav_hexstr(char* out, const void* data, int len) {
  if (!out) return out;
  char* p = out;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (int row = 0; bytes && row < len; row += 16) {
    const int n = len - row < 16 ? len - row : 16;
    *p++ = '+';
    *p++ = ' ';
    for (int shift = 20; shift >= 0; shift -= 4) *p++ = kHex[(row >> shift) & 0xf];
    *p++ = 'h';
    *p++ = ':';
    *p++ = ' ';
    for (int i = 0; i < n; ++i) {
      *p++ = kHex[bytes[row + i] >> 4];
      *p++ = kHex[bytes[row + i] & 0xf];
      *p++ = ' ';
      if (i == 7 && n >= 9) {
        *p++ = '-';
        *p++ = ' ';
      }
    }
    // Keep the character column aligned on a short last row.
    for (int i = n; i < 16; ++i) {
      *p++ = ' ';
      *p++ = ' ';
      *p++ = ' ';
    }
    if (n < 9) {
      *p++ = ' ';
      *p++ = ' ';
    }
    *p++ = '|';
    for (int i = 0; i < 16; ++i) *p++ = i < n ? printable(bytes[row + i]) : ' ';
    *p++ = '|';
    *p++ = '\n';
  }
  *p = 0;
  return out;
}
