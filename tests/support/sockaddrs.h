// Socket addresses for tests, built into full-size storage, and sockets
// bound on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// A socket bound on 127.0.0.1 with a port the kernel picked; closed at the end.
struct Bound {
  int fd = -1;
  int port = 0;
  explicit Bound(int type) {
    fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~Bound() {
    if (fd >= 0) close(fd);
  }
  Bound(const Bound&) = delete;
  Bound& operator=(const Bound&) = delete;
};

// A TCP port that is free at the moment.
inline int free_port() { return Bound(SOCK_STREAM).port; }

}  // namespace qel::test
