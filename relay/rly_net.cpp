#include "rly_net.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

// Waits for `events` on fd until the deadline. True when the descriptor is
// ready (or reports an error or hang-up, which the next call then sees).
bool wait_for(int fd, short events, long long deadline) {
  for (;;) {
    long long left = deadline - rly_now_ms();
    if (left < 0) left = 0;
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return true;
    if (rc == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

}  // namespace

long long rly_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

size_t rly_send_all(int fd, const void* buf, size_t n, int timeout_ms) {
  const char* p = static_cast<const char*>(buf);
  const long long deadline = rly_now_ms() + timeout_ms;
  size_t done = 0;
  while (done < n) {
    ssize_t w = send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT, deadline)) break;
      continue;
    }
    break;
  }
  return done;
}

size_t rly_recv_all(int fd, void* buf, size_t n, int timeout_ms) {
  char* p = static_cast<char*>(buf);
  const long long deadline = rly_now_ms() + timeout_ms;
  size_t done = 0;
  while (done < n) {
    ssize_t r = recv(fd, p + done, n - done, MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) break;  // the peer ended the stream
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait_for(fd, POLLIN, deadline)) break;
      continue;
    }
    break;
  }
  return done;
}
