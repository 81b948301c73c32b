// Hexadecimal text form of the 96-byte identifier record.
#include "base/tav_hexa.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Value of one hex character; -1 for anything else.
int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int tav_gtuid_hexa(const unsigned char* in, int n, char* out) {
  if (n < 0 || (n > 0 && (!in || !out))) return -1;
  for (int i = 0; i < n; ++i) {
    out[2 * i] = kHex[in[i] >> 4];
    out[2 * i + 1] = kHex[in[i] & 0xf];
  }
  return 2 * n;
}

int tav_gtuid_unhexa(const char* in, int n, unsigned char* out) {
  if (n < 0 || n % 2 != 0 || (n > 0 && (!in || !out))) return -1;
  // The whole text is checked before the first byte is written, so that a
  // bad record changes nothing.
  for (int i = 0; i < n; ++i)
    if (nibble(in[i]) < 0) return -1;
  for (int i = 0; i < n; i += 2)
    out[i / 2] = static_cast<unsigned char>(nibble(in[i]) << 4 | nibble(in[i + 1]));
  return n / 2;
}
