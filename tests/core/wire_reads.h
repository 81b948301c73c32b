// Reading what the probe put on the wire, with the real calls: both ends of
// the test connections are the test program's own, so its plain reads would
// go through the overrides.
#pragma once

#include <sys/socket.h>

#include <cstring>
#include <string>

#include "base/tav_real.h"
#include "core/tav_gtuid.h"

// Reads exactly n bytes (fewer at the end of the stream).
inline std::string wire(int fd, size_t n) {
  std::string s(n, '\0');
  size_t have = 0;
  while (have < n) {
    const ssize_t k = tav::real::read(fd, s.data() + have, n - have);
    if (k <= 0) break;
    have += static_cast<size_t>(k);
  }
  s.resize(have);
  return s;
}

// Nothing more is waiting on fd.
inline bool nothing_more(int fd) {
  char c;
  return tav::real::recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0;
}

// The block at `at` of bytes read off the wire (a zeroed one when they end
// before it).
inline gtuid_t block_of(const std::string& s, size_t at = 0) {
  gtuid_t b{};
  if (s.size() >= at + sizeof b) memcpy(&b, s.data() + at, sizeof b);
  return b;
}
