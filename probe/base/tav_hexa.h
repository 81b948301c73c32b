// Hexadecimal text form of byte records: the identifier record travels
// between the library and the Java adapter as 192 characters for 96 bytes.
#pragma once

extern "C" {
// Writes the 2 * n lower-case hex characters of `in[0..n)` to `out`, high
// nibble first, without a terminator. Returns 2 * n; -1 (nothing written)
// for a negative n or a null pointer.
int tav_gtuid_hexa(const unsigned char* in, int n, char* out);

// Reads n hex characters ('0'-'9', 'a'-'f', 'A'-'F'), two per byte, and
// writes n / 2 bytes to `out`. Returns n / 2. The text comes from outside
// the library: an odd or negative n, a null pointer or any other character
// returns -1 and leaves `out` untouched.
int tav_gtuid_unhexa(const char* in, int n, unsigned char* out);
}
