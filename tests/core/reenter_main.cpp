// Start-up under pressure: 32 threads make their first intercepted call at
// the same moment, and start-up itself calls back into intercepted functions
// (this program's own host-name lookup writes to a pipe and closes a
// descriptor, as resolver modules do). Prints how often the lookup ran.
#include <netdb.h>
#include <sys/socket.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
std::atomic<int> lookups{0};
int side[2] = {-1, -1};
}  // namespace

// Replaces libc's lookup for this process; the probe's start-up calls it.
extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** res) {
  lookups++;
  const char c = 'x';
  if (write(side[1], &c, 1) != 1) return EAI_SYSTEM;
  const int d = dup(side[1]);
  if (d >= 0) close(d);
  using Fn = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  auto real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return real ? real(node, service, hints, res) : EAI_FAIL;
}

int main() {
  // The pipe is made by the system call so that nothing intercepted runs
  // before the threads start.
  if (pipe(side) != 0) return 2;
  constexpr int kThreads = 32;
  pthread_barrier_t go;
  pthread_barrier_init(&go, nullptr, kThreads);
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return;
      pthread_barrier_wait(&go);
      char buf[4] = {};
      if (write(sv[0], "abc", 3) == 3 && read(sv[1], buf, sizeof buf) == 3) ok++;
      close(sv[0]);
      close(sv[1]);
    });
  }
  for (auto& t : threads) t.join();
  printf("threads ok %d lookups %d\n", ok.load(), lookups.load());
  return ok == kThreads ? 0 : 1;
}
