#include "tavmaster_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tavmaster {

bool Output::open(const std::string& path) {
  if (path.empty()) return true;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  fd_ = fd;
  own_ = true;
  return true;
}

Output::~Output() {
  if (own_) close(fd_);
}

bool Output::write(const std::string& bytes, const volatile sig_atomic_t& stop) {
  // The stop signals are blocked outside the main wait; they are let through
  // here so that they can interrupt a write into a pipe that nobody drains.
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigprocmask(SIG_UNBLOCK, &stops, &old);
  const char* p = bytes.data();
  size_t left = bytes.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd_, p, left);
    if (n > 0) {
      p += n;
      left -= static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      ok = false;
      break;
    }
    // Cut short by a stop signal: the reader has stopped reading, and the
    // master must not wait for it.
    if (left > 0 && stop) {
      ok = false;
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

}  // namespace tavmaster
