// What every fuzzer shares: a check that aborts (libFuzzer keeps the input),
// a cursor over the input and a small deterministic generator of cuts.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(cond)                                                                    \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      fprintf(stderr, "%s:%d: check failed: %s (errno %d)\n", __FILE__, __LINE__, #cond,    \
              errno);                                                                       \
      abort();                                                                              \
    }                                                                                       \
  } while (0)

namespace qel::fuzz {

// Reads the input front to back; past its end every byte reads as 0.
struct Cursor {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  // The rest of the input in an exact-size heap buffer, so that ASan sees
  // any byte read past it.
  std::vector<uint8_t> rest() {
    std::vector<uint8_t> v(p, p + n);
    p += n;
    n = 0;
    return v;
  }
};

// xorshift: the same cuts for the same input, varied across inputs.
struct Rng {
  uint32_t s;
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  // 1..k
  size_t upto(size_t k) { return 1 + next() % k; }
};

inline Rng rng_from(Cursor& in) {
  const uint32_t high = in.byte();
  const uint32_t low = in.byte();  // read in this order, whatever the compiler
  return Rng{high << 8 | low | 0x10000u};
}

}  // namespace qel::fuzz
