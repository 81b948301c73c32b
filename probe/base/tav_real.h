// Real libc entry points behind the probe's overrides.
//
// Every call the probe makes for its own work goes through these pointers,
// never through its own exported overrides. A pointer stays null when the
// dynamic linker could not resolve its name; the tav::real wrappers then issue
// the system call directly, so a missing symbol never becomes a call through
// a null pointer inside the host.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

extern "C" {
extern int (*f_listen)(int, int);
extern int (*f_bind)(int, const struct sockaddr*, socklen_t);
extern int (*f_accept)(int, struct sockaddr*, socklen_t*);
extern int (*f_connect)(int, const struct sockaddr*, socklen_t);
extern int (*f_close)(int);
extern int (*f_dup)(int);
extern int (*f_dup2)(int, int);
extern ssize_t (*f_read)(int, void*, size_t);
extern ssize_t (*f_write)(int, const void*, size_t);
extern ssize_t (*f_recv)(int, void*, size_t, int);
extern ssize_t (*f_send)(int, const void*, size_t, int);
extern int (*f_open)(const char*, int, ...);
extern int (*f_msgget)(key_t, int);
extern ssize_t (*f_msgrcv)(int, void*, size_t, long, int);
extern int (*f_msgsnd)(int, const void*, size_t, int);
extern ssize_t (*f_readv)(int, const struct iovec*, int);
extern ssize_t (*f_writev)(int, const struct iovec*, int);
extern ssize_t (*f_recvmsg)(int, struct msghdr*, int);
extern ssize_t (*f_sendmsg)(int, const struct msghdr*, int);
extern pid_t (*f_fork)(void);
extern int (*f_execve)(const char*, char* const[], char* const[]);
extern int (*f_pipe)(int[2]);
extern int (*f_accept4)(int, struct sockaddr*, socklen_t*, int);
extern int (*f_dup3)(int, int, int);
extern ssize_t (*f_recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
extern ssize_t (*f_sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
extern int (*f_ioctl)(int, unsigned long, ...);
extern ssize_t (*f_sendfile)(int, int, off_t*, size_t);
extern ssize_t (*f_sendfile64)(int, int, off64_t*, size_t);
}

namespace tav::real {

// Raw system call with libc's convention: -1 and errno on failure.
template <typename R, typename... A>
inline R sys(long nr, A... a) {
  return static_cast<R>(::syscall(nr, a...));
}

inline int listen(int fd, int backlog) {
  auto f = f_listen;
  return f ? f(fd, backlog) : sys<int>(SYS_listen, fd, backlog);
}
inline int bind(int fd, const sockaddr* a, socklen_t n) {
  auto f = f_bind;
  return f ? f(fd, a, n) : sys<int>(SYS_bind, fd, a, n);
}
inline int accept(int fd, sockaddr* a, socklen_t* n) {
  auto f = f_accept;
  return f ? f(fd, a, n) : sys<int>(SYS_accept, fd, a, n);
}
inline int connect(int fd, const sockaddr* a, socklen_t n) {
  auto f = f_connect;
  return f ? f(fd, a, n) : sys<int>(SYS_connect, fd, a, n);
}
inline int accept4(int fd, sockaddr* a, socklen_t* n, int fl) {
  auto f = f_accept4;
  return f ? f(fd, a, n, fl) : sys<int>(SYS_accept4, fd, a, n, fl);
}
inline int dup3(int fd, int nfd, int fl) {
  auto f = f_dup3;
  return f ? f(fd, nfd, fl) : sys<int>(SYS_dup3, fd, nfd, fl);
}
inline ssize_t recvfrom(int fd, void* b, size_t n, int fl, sockaddr* a, socklen_t* al) {
  auto f = f_recvfrom;
  return f ? f(fd, b, n, fl, a, al) : sys<ssize_t>(SYS_recvfrom, fd, b, n, fl, a, al);
}
inline ssize_t sendto(int fd, const void* b, size_t n, int fl, const sockaddr* a, socklen_t al) {
  auto f = f_sendto;
  return f ? f(fd, b, n, fl, a, al) : sys<ssize_t>(SYS_sendto, fd, b, n, fl, a, al);
}
inline ssize_t sendfile(int out, int in, off_t* off, size_t n) {
  auto f = f_sendfile;
  return f ? f(out, in, off, n) : sys<ssize_t>(SYS_sendfile, out, in, off, n);
}
inline ssize_t sendfile64(int out, int in, off64_t* off, size_t n) {
  auto f = f_sendfile64;
  return f ? f(out, in, off, n) : sys<ssize_t>(SYS_sendfile, out, in, off, n);
}
inline int ioctl(int fd, unsigned long req, void* arg) {
  auto f = f_ioctl;
  return f ? f(fd, req, arg) : sys<int>(SYS_ioctl, fd, req, arg);
}
inline int close(int fd) {
  auto f = f_close;
  return f ? f(fd) : sys<int>(SYS_close, fd);
}
inline int dup(int fd) {
  auto f = f_dup;
  return f ? f(fd) : sys<int>(SYS_dup, fd);
}
inline int dup2(int fd, int nfd) {
  auto f = f_dup2;
  return f ? f(fd, nfd) : sys<int>(SYS_dup2, fd, nfd);
}
inline ssize_t read(int fd, void* b, size_t n) {
  auto f = f_read;
  return f ? f(fd, b, n) : sys<ssize_t>(SYS_read, fd, b, n);
}
inline ssize_t write(int fd, const void* b, size_t n) {
  auto f = f_write;
  return f ? f(fd, b, n) : sys<ssize_t>(SYS_write, fd, b, n);
}
inline ssize_t recv(int fd, void* b, size_t n, int fl) {
  auto f = f_recv;
  return f ? f(fd, b, n, fl) : sys<ssize_t>(SYS_recvfrom, fd, b, n, fl, nullptr, nullptr);
}
inline ssize_t send(int fd, const void* b, size_t n, int fl) {
  auto f = f_send;
  return f ? f(fd, b, n, fl) : sys<ssize_t>(SYS_sendto, fd, b, n, fl, nullptr, 0);
}
inline int open(const char* path, int flags, mode_t mode = 0) {
  auto f = f_open;
  return f ? f(path, flags, mode) : sys<int>(SYS_openat, AT_FDCWD, path, flags, mode);
}
inline int msgget(key_t key, int flags) {
  auto f = f_msgget;
  return f ? f(key, flags) : sys<int>(SYS_msgget, key, flags);
}
inline ssize_t msgrcv(int id, void* m, size_t n, long type, int flags) {
  auto f = f_msgrcv;
  return f ? f(id, m, n, type, flags) : sys<ssize_t>(SYS_msgrcv, id, m, n, type, flags);
}
inline int msgsnd(int id, const void* m, size_t n, int flags) {
  auto f = f_msgsnd;
  return f ? f(id, m, n, flags) : sys<int>(SYS_msgsnd, id, m, n, flags);
}
inline ssize_t readv(int fd, const iovec* v, int n) {
  auto f = f_readv;
  return f ? f(fd, v, n) : sys<ssize_t>(SYS_readv, fd, v, n);
}
inline ssize_t writev(int fd, const iovec* v, int n) {
  auto f = f_writev;
  return f ? f(fd, v, n) : sys<ssize_t>(SYS_writev, fd, v, n);
}
inline ssize_t recvmsg(int fd, msghdr* m, int fl) {
  auto f = f_recvmsg;
  return f ? f(fd, m, fl) : sys<ssize_t>(SYS_recvmsg, fd, m, fl);
}
inline ssize_t sendmsg(int fd, const msghdr* m, int fl) {
  auto f = f_sendmsg;
  return f ? f(fd, m, fl) : sys<ssize_t>(SYS_sendmsg, fd, m, fl);
}
inline int pipe(int fds[2]) {
  auto f = f_pipe;
  return f ? f(fds) : sys<int>(SYS_pipe2, fds, 0);
}
// A raw fork system call would skip libc's fork handlers and leave the
// child's allocator locks in an unknown state, so without the real fork the
// call fails cleanly instead.
inline pid_t fork() {
  auto f = f_fork;
  if (f) return f();
  errno = ENOSYS;
  return -1;
}

}  // namespace tav::real
