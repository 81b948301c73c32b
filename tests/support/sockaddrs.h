// Socket addresses for tests, built into full-size storage.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>

namespace qel::test {

inline sockaddr_storage inet4(const char* ip, int port) {
  sockaddr_storage ss{};
  auto* in = reinterpret_cast<sockaddr_in*>(&ss);
  in->sin_family = AF_INET;
  in->sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &in->sin_addr);
  return ss;
}

inline sockaddr_storage inet6(const char* ip, int port) {
  sockaddr_storage ss{};
  auto* in = reinterpret_cast<sockaddr_in6*>(&ss);
  in->sin6_family = AF_INET6;
  in->sin6_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET6, ip, &in->sin6_addr);
  return ss;
}

inline sockaddr_storage unix_path(const char* path) {
  sockaddr_storage ss{};
  auto* un = reinterpret_cast<sockaddr_un*>(&ss);
  un->sun_family = AF_UNIX;
  strncpy(un->sun_path, path, sizeof un->sun_path);
  return ss;
}

}  // namespace qel::test
