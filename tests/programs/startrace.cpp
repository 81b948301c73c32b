// startrace: 32 threads make the process's first intercepted calls at once.
//
//   startrace
//
// A library that starts on the first call it intercepts must cope with many
// threads arriving together: one runs the start-up while the others wait or
// pass through, and none may deadlock, crash or see a call fail.
//
// The connecting threads need a listening socket, and making one takes
// intercepted calls (bind, listen). So the program first makes the listener,
// then executes itself again with the listener inherited: the new image has
// made no intercepted call yet when its threads are released. Before the
// barrier the threads only make calls no interposer takes (pipe, socketpair,
// socket, getsockname).
//
// Prints "startrace ok 32" and exits 0 when every call behaved.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 32;
constexpr int kConnectors = 8;  // as many acceptors

pthread_barrier_t barrier;
std::atomic<int> failures{0};
int listener = -1;
sockaddr_in listen_addr{};

void fail(int t, const char* what) {
  fprintf(stderr, "startrace: thread %d: %s (errno %d: %s)\n", t, what, errno, strerror(errno));
  failures.fetch_add(1);
}

// Writes a byte and reads it back: the pair of descriptors is prepared
// before the barrier, the first call after it is `first`.
void echo_byte(int t, int wfd, int rfd, bool sockets) {
  const char out = static_cast<char>('a' + t % 26);
  char in = 0;
  const ssize_t w = sockets ? send(wfd, &out, 1, 0) : write(wfd, &out, 1);
  if (w != 1) return fail(t, "first write");
  const ssize_t r = sockets ? recv(rfd, &in, 1, 0) : read(rfd, &in, 1);
  if (r != 1 || in != out) return fail(t, "read back");
}

void worker(int t) {
  // Preparation with calls that are not intercepted.
  int a = -1, b = -1, spare = -1;
  const int kind = t < kConnectors ? 0 : t < 2 * kConnectors ? 1 : (t - 2 * kConnectors) % 4 + 2;
  if (kind == 0) {
    a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (a < 0) fail(t, "socket");
  } else if (kind == 2) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) fail(t, "pipe");
    a = p[1], b = p[0];
  } else if (kind == 3 || kind == 4) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) fail(t, "socketpair");
    a = sv[0], b = sv[1];
    // A descriptor of this thread's own for dup2 to replace.
    if (kind == 4) spare = fcntl(a, F_DUPFD_CLOEXEC, 0);
  }

  pthread_barrier_wait(&barrier);

  switch (kind) {
    case 0: {  // connect, then a byte to the acceptor
      if (connect(a, reinterpret_cast<sockaddr*>(&listen_addr), sizeof listen_addr) != 0) return fail(t, "connect");
      const char c = 'c';
      if (write(a, &c, 1) != 1) return fail(t, "write after connect");
      if (close(a) != 0) return fail(t, "close");
      break;
    }
    case 1: {  // accept on the inherited listener
      const int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return fail(t, "accept");
      char c = 0;
      if (read(fd, &c, 1) != 1 || c != 'c') return fail(t, "read after accept");
      if (close(fd) != 0) return fail(t, "close");
      break;
    }
    case 2:  // a pipe
      echo_byte(t, a, b, false);
      close(a);
      close(b);
      break;
    case 3:  // a socketpair with send/recv
      echo_byte(t, a, b, true);
      close(a);
      close(b);
      break;
    case 4: {  // dup and dup2 first, then I/O on the copies
      const int d = dup(a);
      if (d < 0) return fail(t, "dup");
      const int e = dup2(b, spare);
      if (e != spare) return fail(t, "dup2");
      echo_byte(t, d, e, false);
      close(d);
      close(e);
      close(a);
      close(b);
      break;
    }
    case 5: {  // open (intercepted by some builds) and read
      const int fd = open("/dev/zero", O_RDONLY | O_CLOEXEC);
      if (fd < 0) return fail(t, "open");
      char buf[16];
      if (read(fd, buf, sizeof buf) != static_cast<ssize_t>(sizeof buf)) return fail(t, "read /dev/zero");
      if (close(fd) != 0) return fail(t, "close");
      break;
    }
  }
}

int race(int fd) {
  listener = fd;
  socklen_t len = sizeof listen_addr;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&listen_addr), &len) != 0) {
    perror("startrace: getsockname");
    return 1;
  }
  pthread_barrier_init(&barrier, nullptr, kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
  for (auto& th : threads) th.join();
  if (failures.load() != 0) return 1;
  printf("startrace ok %d\n", kThreads);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  alarm(120);  // never outlives a test that lost track of it
  if (argc == 3 && strcmp(argv[1], "--listener") == 0) return race(atoi(argv[2]));

  // First image: make the listener, keep it across exec, start again.
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, kConnectors) != 0) {
    perror("startrace: listener");
    return 1;
  }
  const std::string num = std::to_string(fd);
  execl("/proc/self/exe", argv[0], "--listener", num.c_str(), static_cast<char*>(nullptr));
  perror("startrace: exec");
  return 1;
}
