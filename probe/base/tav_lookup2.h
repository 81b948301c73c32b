// Bob Jenkins' lookup2 hash over a byte string, shared by the path-pattern
// hash and the general hash table.
#pragma once

#include <cstdint>

extern "C" {
// lookup2 of `len` bytes with initial value 0. Bytes are read as signed chars
// (sign-extended), as the pattern values already on the wire were computed.
// A null pointer or a negative length hashes as no bytes.
uint32_t tav_lookup2(const void* key, int len);
}
