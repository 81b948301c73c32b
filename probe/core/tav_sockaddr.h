// A host's socket address, copied into storage of the library's own.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>

namespace tav {

// The shortest length under which an address of its family can be read.
inline socklen_t min_addr_len(sa_family_t family) {
  switch (family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    case AF_UNIX: return offsetof(sockaddr_un, sun_path);
    default: return sizeof(sa_family_t);
  }
}

// Copies a host address into zeroed storage after checking it against its
// length, so classification never reads beyond the host's buffer and a Unix
// path always ends within the copy. Null when there is nothing usable.
inline const sockaddr* copy_addr(const sockaddr* addr, socklen_t len, sockaddr_storage& out) {
  memset(&out, 0, sizeof out);
  if (!addr || len < sizeof(sa_family_t) || len < min_addr_len(addr->sa_family)) return nullptr;
  memcpy(&out, addr, len < sizeof out ? len : sizeof out);
  return reinterpret_cast<const sockaddr*>(&out);
}

}  // namespace tav
