#include "rly_stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "rly_net.h"

namespace {
// Set by a signal handler or another thread, read by every worker: lock-free
// atomic accesses, safe in a handler and ordered between threads.
volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_signal = 0;

bool stop_set() { return __atomic_load_n(&g_stop, __ATOMIC_ACQUIRE) != 0; }
int g_pipe[2] = {-1, -1};
std::once_flag g_once;
}  // namespace

int rly_wake_init() {
  std::call_once(g_once, [] {
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_pipe[0] = g_pipe[1] = -1;
  });
  return g_pipe[0] >= 0 ? 0 : -1;
}

void rly_request_stop() {
  int saved = errno;
  __atomic_store_n(&g_stop, 1, __ATOMIC_RELEASE);
  if (g_pipe[1] >= 0) {
    ssize_t w = write(g_pipe[1], "s", 1);  // a full pipe already wakes the reader
    (void)w;
  }
  errno = saved;
}

extern "C" void rly_on_stop_signal(int sig) {
  __atomic_store_n(&g_signal, sig, __ATOMIC_RELAXED);
  rly_request_stop();
}

bool rly_stop_requested() { return stop_set(); }

bool rly_wait_stop(int ms) {
  const long long deadline = tav::now_ms() + ms;
  while (!stop_set()) {
    long long left = deadline - tav::now_ms();
    if (left <= 0) break;
    pollfd p{g_pipe[0], POLLIN, 0};
    // Without a pipe (it could not be created) this is a plain sleep.
    poll(p.fd >= 0 ? &p : nullptr, p.fd >= 0 ? 1 : 0, static_cast<int>(left));
  }
  return stop_set();
}

int rly_wake_fd() { return g_pipe[0]; }

void rly_wake_drain() {
  char buf[64];
  while (g_pipe[0] >= 0 && read(g_pipe[0], buf, sizeof buf) > 0) {
  }
}

int rly_stop_signal() { return __atomic_load_n(&g_signal, __ATOMIC_RELAXED); }

void rly_stop_reset() {
  __atomic_store_n(&g_stop, 0, __ATOMIC_RELEASE);
  __atomic_store_n(&g_signal, 0, __ATOMIC_RELAXED);
  rly_wake_drain();
}
