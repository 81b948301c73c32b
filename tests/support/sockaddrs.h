// Socket addresses for tests, built into full-size storage, and sockets
// bound on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

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

// True when a TCP socket can be bound to `port` on every address now.
inline bool port_free(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

// A TCP port that is free at the moment, for a server a test starts next.
// It is picked below the kernel's range of ephemeral ports: a port from that
// range could be taken by any outgoing connection of a test running in
// parallel before the server binds it. Where that range leaves no room
// below it, the kernel picks.
inline int free_port() {
  int low = 32768;
  if (FILE* f = fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    if (fscanf(f, "%d", &low) != 1) low = 32768;
    fclose(f);
  }
  constexpr int kFirst = 10000;
  if (low - kFirst >= 1000) {
    thread_local std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(getpid()));
    std::uniform_int_distribution<int> ports(kFirst, low - 1);
    for (int tries = 0; tries < 200; ++tries)
      if (const int port = ports(pick); port_free(port)) return port;
  }
  return Bound(SOCK_STREAM).port;
}

}  // namespace qel::test
