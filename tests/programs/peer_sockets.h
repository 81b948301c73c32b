// Start-up and sockets of the test peers: addresses "tcp:PORT" (127.0.0.1) or
// "unix:PATH", and whole-buffer reads and writes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace peer {

// The arguments after the program name. A peer takes a closed connection as
// a failed write, not a signal, and ends after two minutes at the latest.
inline std::vector<std::string> start(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  alarm(120);
  return std::vector<std::string>(argv + 1, argv + argc);
}

inline bool parse_addr(const std::string& a, sockaddr_storage& ss, socklen_t& len) {
  memset(&ss, 0, sizeof ss);
  if (a.rfind("tcp:", 0) == 0) {
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(static_cast<uint16_t>(atoi(a.c_str() + 4)));
    len = sizeof *in;
    return true;
  }
  if (a.rfind("unix:", 0) == 0) {
    auto* un = reinterpret_cast<sockaddr_un*>(&ss);
    un->sun_family = AF_UNIX;
    if (a.size() - 5 >= sizeof un->sun_path) return false;
    strcpy(un->sun_path, a.c_str() + 5);
    len = sizeof *un;
    return true;
  }
  return false;
}

// A listener on `a` (an old socket file is removed first), or -1.
inline int listen_on(const std::string& a) {
  sockaddr_storage ss;
  socklen_t len;
  if (!parse_addr(a, ss, len)) return -1;
  const int fd = socket(ss.ss_family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (ss.ss_family == AF_UNIX) unlink(reinterpret_cast<sockaddr_un*>(&ss)->sun_path);
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

inline int connect_to(const std::string& a) {
  sockaddr_storage ss;
  socklen_t len;
  if (!parse_addr(a, ss, len)) return -1;
  const int fd = socket(ss.ss_family, SOCK_STREAM, 0);
  if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// One read of at most `n` bytes, with read or, when `use_recv`, with recv.
inline ssize_t read_some(int fd, void* buf, size_t n, bool use_recv) {
  return use_recv ? recv(fd, buf, n, 0) : read(fd, buf, n);
}

// Reads exactly `n` bytes.
inline bool read_exact(int fd, void* buf, size_t n, bool use_recv = false) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t k = read_some(fd, p, n, use_recv);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

inline bool write_all(int fd, const void* buf, size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t k = write(fd, p, n);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Listens on `addr`, prints "ready <shown>" and serves every connection in
// a thread of its own with `handle(fd)`, until the process is killed.
template <typename Handle>
int accept_loop(const std::string& addr, const std::string& shown, Handle handle) {
  const int l = listen_on(addr);
  if (l < 0) {
    fprintf(stderr, "cannot listen on %s\n", addr.c_str());
    return 1;
  }
  printf("ready %s\n", shown.c_str());
  fflush(stdout);
  for (;;) {
    const int c = accept(l, nullptr, nullptr);
    if (c >= 0) std::thread(handle, c).detach();
  }
}

}  // namespace peer
