// Socket loops and address checks of the probe. Reads, writes, connects and
// closes go through tav::real, never through the names the probe overrides in
// the host; waits use poll() because host descriptors often exceed FD_SETSIZE.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include "base/tav_real.h"
#include "base/tav_util.h"

namespace {

// Closes a descriptor of our own without disturbing the caller's errno.
void close_keep_errno(int fd) {
  int saved = errno;
  tav::real::close(fd);
  errno = saved;
}

// Waits up to timeout_ms for fd to become writable (or to report an error or
// hangup, which a failed connect does). Returns true when it did.
bool wait_writable(int fd, int timeout_ms) {
  const long long deadline = tav::now_ms() + timeout_ms;
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    int rc = poll(&p, 1, timeout_ms);
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
    long long left = deadline - tav::now_ms();
    timeout_ms = left > 0 ? static_cast<int>(left) : 0;
  }
}

// A cancellable wait is cut into steps of this length, so that the flag is
// seen soon after it is raised.
constexpr long long kCancelStepMs = 50;

bool cancelled(const int* cancel) {
  return cancel && __atomic_load_n(cancel, __ATOMIC_ACQUIRE) != 0;
}

// Waits for `events` on fd until the deadline or until *cancel is raised.
// True when the descriptor is ready (or reports an error or hang-up, which
// the next call then sees).
bool wait_for(int fd, short events, long long deadline, const int* cancel) {
  for (;;) {
    if (cancelled(cancel)) {
      errno = ECANCELED;
      return false;
    }
    long long left = deadline - tav::now_ms();
    if (left < 0) left = 0;
    if (cancel && left > kCancelStepMs) left = kCancelStepMs;
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
    if (rc == 0 && tav::now_ms() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
  }
}

}  // namespace

namespace tav {

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

size_t send_all(int fd, const void* buf, size_t n, int timeout_ms, const int* cancel) {
  const char* p = static_cast<const char*>(buf);
  const long long deadline = now_ms() + timeout_ms;
  size_t done = 0;
  while (done < n && !cancelled(cancel)) {
    ssize_t w = real::send(fd, p + done, n - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (w > 0) {
      done += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!wait_for(fd, POLLOUT, deadline, cancel)) break;
      continue;
    }
    break;
  }
  return done;
}

size_t recv_all(int fd, void* buf, size_t n, int timeout_ms, const int* cancel) {
  char* p = static_cast<char*>(buf);
  const long long deadline = now_ms() + timeout_ms;
  size_t done = 0;
  while (done < n && !cancelled(cancel)) {
    ssize_t r = real::recv(fd, p + done, n - done, MSG_DONTWAIT);
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) break;  // the peer ended the stream
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait_for(fd, POLLIN, deadline, cancel)) break;
      continue;
    }
    break;
  }
  return done;
}

bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do rc = poll(&p, 1, ms);
  while (rc < 0 && errno == EINTR);
  return rc > 0;
}

bool read_must_not_wait(int fd, int recv_flags) {
  if (recv_flags & MSG_DONTWAIT) return true;
  const int fl = real::sys<int>(SYS_fcntl, fd, F_GETFL);
  return fl >= 0 && (fl & O_NONBLOCK);
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace tav

int tav_sck_nread(int fd, char* buf, int n) {
  if (!buf || n <= 0) return 0;
  int total = 0;
  while (total < n) {
    ssize_t r = tav::real::read(fd, buf + total, static_cast<size_t>(n - total));
    if (r > 0) {
      total += static_cast<int>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  return total;
}

int tav_sck_nwrite2(int fd, const char* buf, int n) {
  if (!buf || n <= 0) return 0;
  int total = 0;
  while (total < n) {
    ssize_t w = tav::real::write(fd, buf + total, static_cast<size_t>(n - total));
    if (w > 0) {
      total += static_cast<int>(w);
    } else if (w == 0 || errno != EINTR) {
      break;
    }
  }
  return total;
}

// Writes a 96-byte record with its payload behind it. It stops as soon as the
// record and at least one payload byte are out (or everything, if less), and
// leaves the rest to the host's own retry logic.
int tav_sck_nwrite(int fd, const char* buf, int n) {
  constexpr int kRecord = 96;
  if (!buf || n <= 0) return 0;
  ssize_t w = tav::real::write(fd, buf, static_cast<size_t>(n));
  if (w <= 0) return static_cast<int>(w);
  int total = static_cast<int>(w);
  while (total <= kRecord && total < n) {
    w = tav::real::write(fd, buf + total, static_cast<size_t>(n - total));
    if (w > 0) {
      total += static_cast<int>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      continue;  // busy retry: the record must not be left half written
    } else {
      break;
    }
  }
  return total;
}

int tav_sck_connect(const char* ip, int port, int timeout_us) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!ip || inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
    errno = EINVAL;
    return -82;
  }

  // The library's own socket: not inherited by programs the host executes.
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
  int rc = tav::real::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc < 0 && errno != EINPROGRESS && errno != EINTR) {
    // Failed at once (unreachable, no local port, ...): nothing to wait for.
    close_keep_errno(fd);
    return -82;
  }
  if (fcntl(fd, F_SETFL, flags) < 0) {
    close_keep_errno(fd);
    return -44;
  }
  if (rc < 0) {
    int timeout_ms = timeout_us > 0 ? (timeout_us + 999) / 1000 : 0;
    if (!wait_writable(fd, timeout_ms)) {
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
    tav::real::close(fd);
    errno = err;
    return -82;
  }
  return fd;
}

int tav_ip_check(const char* text) {
  if (!text || !*text) return -99;
  if (text[0] == '/') return 0;
  if (std::strlen(text) > 15) return -109;

  // Four numbers separated by points; the shape is checked before the range.
  int parts = 0;
  bool too_big = false;
  const char* p = text;
  for (;;) {
    int value = 0;
    int digits = 0;
    for (; *p >= '0' && *p <= '9'; ++p, ++digits)
      if (value <= 255) value = value * 10 + (*p - '0');
    if (digits == 0) return -109;
    if (value > 255) too_big = true;
    ++parts;
    if (*p == '\0') break;
    if (*p != '.' || parts == 4) return -109;
    ++p;
  }
  if (parts != 4) return -109;
  return too_big ? -114 : 0;
}

int tav_port_check(const char* text) {
  if (!text || !*text) return -131;
  if (std::strlen(text) > 6) return -136;
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return -143;
  return 0;
}

// An unresolvable name leaves `out` empty, never a stale address.
int tav_gethostbyname(const char* name, char* out) {
  if (!out) return -1;
  out[0] = '\0';
  if (!name || !*name) return -1;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return -1;
  int rc = -1;
  for (addrinfo* ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || !ai->ai_addr) continue;
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text)) {
      std::memcpy(out, text, std::strlen(text) + 1);  // at most 16 bytes
      rc = 0;
    }
    break;
  }
  freeaddrinfo(res);
  return rc;
}
