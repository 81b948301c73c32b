// A host's socket address, copied into storage of the library's own.
#pragma once

#include <sys/socket.h>

#include <cstring>

namespace tav {

// Copies `len` bytes of a host address (already accepted by the kernel) into
// zeroed storage, so classification never reads beyond the host's buffer.
inline const sockaddr* copy_addr(const sockaddr* addr, socklen_t len, sockaddr_storage& out) {
  memset(&out, 0, sizeof out);
  if (!addr) return nullptr;
  memcpy(&out, addr, len < sizeof out ? len : sizeof out);
  return reinterpret_cast<const sockaddr*>(&out);
}

}  // namespace tav
