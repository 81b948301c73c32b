// epoll_echo: an event-driven echo server of the kind that must never stall.
//
//   epoll_echo
//
// One thread, one level-triggered epoll set, non-blocking sockets: listens
// on 127.0.0.1 (a port of the system's choosing, printed as "ready <port>"),
// and writes back whatever each connection sends, as it arrives. A read is
// made only after readiness and a write waits only for its own socket's
// room, so one silent or slow client never delays another. It ends after
// two minutes at the latest.
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>

#include "peer_sockets.h"

namespace {

bool set_nonblocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0; }

// Writes all of it, waiting for room on this socket only.
bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd out{fd, POLLOUT, 0};
      if (poll(&out, 1, 5000) <= 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  peer::start(argc, argv);
  const int listener = peer::listen_on("tcp:0");
  const int ep = epoll_create1(0);
  if (listener < 0 || ep < 0 || !set_nonblocking(listener)) return 2;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  if (epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev) != 0) return 2;
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  printf("ready %d\n", ntohs(a.sin_port));
  fflush(stdout);

  epoll_event ready[32];
  char buf[4096];
  for (;;) {
    const int n = epoll_wait(ep, ready, 32, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 3;
    for (int i = 0; i < n; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener) {
        const int c = accept(listener, nullptr, nullptr);
        if (c < 0) continue;
        ev.data.fd = c;
        if (!set_nonblocking(c) || epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev) != 0) close(c);
        continue;
      }
      // One read per readiness: level-triggered, the loop comes back.
      const ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0 && write_all(fd, buf, static_cast<size_t>(r))) continue;
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
      close(fd);
    }
  }
}
