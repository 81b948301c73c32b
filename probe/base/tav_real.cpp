#include "base/tav_real.h"

// Filled by start-up from the build's hook table; null until then.
int (*f_listen)(int, int);
int (*f_bind)(int, const struct sockaddr*, socklen_t);
int (*f_accept)(int, struct sockaddr*, socklen_t*);
int (*f_connect)(int, const struct sockaddr*, socklen_t);
int (*f_close)(int);
int (*f_dup)(int);
int (*f_dup2)(int, int);
ssize_t (*f_read)(int, void*, size_t);
ssize_t (*f_write)(int, const void*, size_t);
ssize_t (*f_recv)(int, void*, size_t, int);
ssize_t (*f_send)(int, const void*, size_t, int);
int (*f_open)(const char*, int, ...);
int (*f_msgget)(key_t, int);
ssize_t (*f_msgrcv)(int, void*, size_t, long, int);
int (*f_msgsnd)(int, const void*, size_t, int);
ssize_t (*f_readv)(int, const struct iovec*, int);
ssize_t (*f_writev)(int, const struct iovec*, int);
ssize_t (*f_recvmsg)(int, struct msghdr*, int);
ssize_t (*f_sendmsg)(int, const struct msghdr*, int);
pid_t (*f_fork)(void);
int (*f_execve)(const char*, char* const[], char* const[]);
int (*f_pipe)(int[2]);
int (*f_accept4)(int, struct sockaddr*, socklen_t*, int);
int (*f_dup3)(int, int, int);
ssize_t (*f_recvfrom)(int, void*, size_t, int, struct sockaddr*, socklen_t*);
ssize_t (*f_sendto)(int, const void*, size_t, int, const struct sockaddr*, socklen_t);
int (*f_ioctl)(int, unsigned long, ...);
ssize_t (*f_sendfile)(int, int, off_t*, size_t);
ssize_t (*f_sendfile64)(int, int, off64_t*, size_t);
