// Overrides of the data-transfer calls.
#include "base/tav_real.h"
#include "core/tav_io.h"

extern "C" {

TAV_EXPORT ssize_t read(int fd, void* buf, size_t n) {
  return tav::io_call(fd, [&] { return tav::real::read(fd, buf, n); });
}

TAV_EXPORT ssize_t write(int fd, const void* buf, size_t n) {
  return tav::io_call(fd, [&] { return tav::real::write(fd, buf, n); });
}

TAV_EXPORT ssize_t recv(int fd, void* buf, size_t n, int flags) {
  return tav::io_call(fd, [&] { return tav::real::recv(fd, buf, n, flags); });
}

TAV_EXPORT ssize_t send(int fd, const void* buf, size_t n, int flags) {
  return tav::io_call(fd, [&] { return tav::real::send(fd, buf, n, flags); });
}

#if TAV_OVR_READV
TAV_EXPORT ssize_t readv(int fd, const struct iovec* iov, int cnt) {
  return tav::io_call(fd, [&] { return tav::real::readv(fd, iov, cnt); });
}
#endif

#if TAV_OVR_WRITEV
TAV_EXPORT ssize_t writev(int fd, const struct iovec* iov, int cnt) {
  return tav::io_call(fd, [&] { return tav::real::writev(fd, iov, cnt); });
}
#endif

#if TAV_OVR_MSG
TAV_EXPORT ssize_t recvmsg(int fd, struct msghdr* msg, int flags) {
  return tav::io_call(fd, [&] { return tav::real::recvmsg(fd, msg, flags); });
}

TAV_EXPORT ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
  return tav::io_call(fd, [&] { return tav::real::sendmsg(fd, msg, flags); });
}
#endif

}  // extern "C"
