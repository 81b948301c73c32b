#include "rly_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace {

void close_keep_errno(int fd) {
  int saved = errno;
  close(fd);
  errno = saved;
}

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

extern "C" int tav_sck_connect(const char* ip, int port, int timeout_us) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!ip || inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    errno = EINVAL;
    return -82;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -16;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    close_keep_errno(fd);
    return -22;
  }
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    close_keep_errno(fd);
    return -28;
  }
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc < 0 && errno != EINPROGRESS && errno != EINTR) {
    close_keep_errno(fd);
    return -82;
  }
  if (fcntl(fd, F_SETFL, flags) < 0) {
    close_keep_errno(fd);
    return -44;
  }
  if (rc < 0) {
    int timeout_ms = timeout_us > 0 ? (timeout_us + 999) / 1000 : 0;
    if (!wait_for(fd, POLLOUT, rly_now_ms() + timeout_ms)) {
      close_keep_errno(fd);
      errno = ETIMEDOUT;
      return -65;
    }
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) {
    close_keep_errno(fd);
    return -76;
  }
  if (err != 0) {
    close(fd);
    errno = err;
    return -82;
  }
  return fd;
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
