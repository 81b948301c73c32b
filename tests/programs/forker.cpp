// forker: forks a multi-threaded process while its other threads are inside
// socket calls, and checks that parent and child both go on working.
//
//   forker [forks=12]
//
// It starts with a burst: 16 threads released together make the process's
// first socket calls while the main thread forks four children at once; each
// child makes a socket call and exits. A library that starts on its first
// intercepted call is then in the middle of starting when the process forks.
//
// Then busy threads ping-pong messages over socketpairs the whole time (at any
// moment some are blocked in read or write), and another thread keeps
// creating short-lived threads that each do one exchange. Meanwhile the main
// thread forks, and the last two forks come from a freshly created thread.
// Each child:
//   - sends a greeting over a socketpair shared with the parent,
//   - exchanges messages over a socketpair of its own,
//   - makes a loopback TCP connection to itself and exchanges 64 KiB each way,
//   - runs a thread that does its own socketpair exchange,
//   - every third child forks a grandchild that exchanges messages too,
// and exits 0 when all of it worked (another status names the failed step).
// The parent checks the greeting and the status. Its stdout depends only on
// the argument; exit status 1 on any failure.
#include <arpa/inet.h>
#include <pthread.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

std::atomic<bool> stopping{false};
std::atomic<int> failures{0};

void fail(const char* what) {
  fprintf(stderr, "forker: %s (errno %d: %s)\n", what, errno, strerror(errno));
  failures.fetch_add(1);
}

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, char* p, size_t n) {
  while (n > 0) {
    const ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

char pattern(unsigned seed, size_t i) { return static_cast<char>(seed * 7 + i * 13 + (i >> 9)); }

// Sends `rounds` messages of growing size from one end and checks them at the
// other; a thread writes so that messages larger than the socket buffer pass.
bool exchange(int a, int b, unsigned seed, int rounds) {
  std::vector<char> out, in;
  for (int r = 0; r < rounds; ++r) {
    const size_t n = 1 + (static_cast<size_t>(r) * 977 + seed) % 8192;
    out.resize(n);
    in.assign(n, 0);
    for (size_t i = 0; i < n; ++i) out[i] = pattern(seed + static_cast<unsigned>(r), i);
    bool wrote = false;
    std::thread writer([&] { wrote = write_all(a, out.data(), n); });
    const bool got = read_all(b, in.data(), n);
    writer.join();
    if (!wrote || !got || in != out) return false;
  }
  return true;
}

bool pair_exchange(unsigned seed, int rounds) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  const bool ok = exchange(sv[0], sv[1], seed, rounds) && exchange(sv[1], sv[0], seed + 1, rounds);
  close(sv[0]);
  close(sv[1]);
  return ok;
}

bool tcp_exchange(unsigned seed) {
  const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return false;
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const int s = accept(l, nullptr, nullptr);
  if (s < 0) return false;
  constexpr size_t kSize = 64 * 1024;
  std::vector<char> out(kSize), in(kSize);
  bool ok = true;
  for (int dir = 0; dir < 2 && ok; ++dir) {
    const int from = dir ? s : c, to = dir ? c : s;
    for (size_t i = 0; i < kSize; ++i) out[i] = pattern(seed + static_cast<unsigned>(dir), i);
    bool wrote = false;
    std::thread writer([&] { wrote = write_all(from, out.data(), kSize); });
    ok = read_all(to, in.data(), kSize);
    writer.join();
    ok = ok && wrote && in == out;
  }
  close(s);
  close(c);
  close(l);
  return ok;
}

// What a child does; the return value is its exit status.
int child_work(int shared, int index) {
  const std::string hello = "hello from child " + std::to_string(index) + "\n";
  if (!write_all(shared, hello.data(), hello.size())) return 10;
  close(shared);
  if (!pair_exchange(100u + static_cast<unsigned>(index), 40)) return 11;
  if (!tcp_exchange(200u + static_cast<unsigned>(index))) return 12;
  bool thread_ok = false;
  std::thread t([&] { thread_ok = pair_exchange(300u + static_cast<unsigned>(index), 20); });
  t.join();
  if (!thread_ok) return 13;
  if (index % 3 == 0) {
    const pid_t g = fork();
    if (g < 0) return 14;
    if (g == 0) exit(pair_exchange(400u + static_cast<unsigned>(index), 20) ? 0 : 1);
    int st = 0;
    if (waitpid(g, &st, 0) != g || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return 15;
  }
  return 0;
}

// One fork from the calling thread; prints the outcome line.
void fork_once(int index) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return fail("socketpair");
  const pid_t pid = fork();
  if (pid < 0) return fail("fork");
  if (pid == 0) {
    close(sv[0]);
    exit(child_work(sv[1], index));
  }
  close(sv[1]);
  std::string got;
  char buf[64];
  ssize_t n;
  while ((n = read(sv[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  close(sv[0]);
  int st = 0;
  if (waitpid(pid, &st, 0) != pid) return fail("waitpid");
  const bool greeting = got == "hello from child " + std::to_string(index) + "\n";
  const int code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  printf("fork %d: child status %d, greeting %s\n", index, code, greeting ? "ok" : "wrong");
  fflush(stdout);
  if (code != 0 || !greeting) failures.fetch_add(1);
}

// Ping-pong until told to stop; 'q' ends it.
void busy_pair(unsigned seed) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return fail("busy socketpair");
  std::thread echo([&] {
    char buf[4096];
    for (;;) {
      char len[2];
      if (!read_all(sv[1], len, 2)) return fail("busy echo read");
      if (len[0] == 'q') return;
      const size_t n = static_cast<unsigned char>(len[1]) * 16u + 1;
      if (!read_all(sv[1], buf, n) || !write_all(sv[1], buf, n)) return fail("busy echo");
    }
  });
  std::vector<char> out(4096), in(4096);
  for (unsigned r = 0; !stopping.load(); ++r) {
    const unsigned char k = static_cast<unsigned char>((r * 37 + seed) % 256);
    const size_t n = k * 16u + 1;
    for (size_t i = 0; i < n; ++i) out[i] = pattern(seed + r, i);
    const char len[2] = {'m', static_cast<char>(k)};
    if (!write_all(sv[0], len, 2) || !write_all(sv[0], out.data(), n) || !read_all(sv[0], in.data(), n) ||
        memcmp(in.data(), out.data(), n) != 0) {
      fail("busy ping-pong");
      break;
    }
  }
  write_all(sv[0], "q?", 2);
  echo.join();
  close(sv[0]);
  close(sv[1]);
}

// The start-up burst; returns the number of children that exited 0.
int startup_burst() {
  constexpr int kThreads = 16, kChildren = 4;
  pthread_barrier_t go;
  pthread_barrier_init(&go, nullptr, kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&go, t] {
      int sv[2];
      if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return fail("burst socketpair");
      pthread_barrier_wait(&go);
      const char out = static_cast<char>(t);
      char in = 0;
      if (write(sv[0], &out, 1) != 1 || read(sv[1], &in, 1) != 1 || in != out) fail("burst exchange");
      close(sv[0]);
      close(sv[1]);
    });
  }
  int pipes[kChildren][2];
  for (auto& p : pipes)
    if (pipe(p) != 0) fail("burst pipe");
  pthread_barrier_wait(&go);
  pid_t pids[kChildren];
  for (int c = 0; c < kChildren; ++c) {
    pids[c] = fork();
    if (pids[c] == 0) {
      const char one = '1';
      exit(write(pipes[c][1], &one, 1) == 1 && close(pipes[c][1]) == 0 ? 0 : 1);
    }
  }
  int ok = 0;
  for (int c = 0; c < kChildren; ++c) {
    close(pipes[c][1]);
    char got = 0;
    const bool wrote = read(pipes[c][0], &got, 1) == 1 && got == '1';
    close(pipes[c][0]);
    int st = 0;
    if (pids[c] > 0 && waitpid(pids[c], &st, 0) == pids[c] && WIFEXITED(st) && WEXITSTATUS(st) == 0 && wrote) ++ok;
  }
  for (auto& t : threads) t.join();
  pthread_barrier_destroy(&go);
  return ok;
}

// Keeps creating threads that live for one exchange each.
void churn() {
  for (unsigned r = 0; !stopping.load(); ++r) {
    bool ok = false;
    std::thread t([&] { ok = pair_exchange(500 + r, 2); });
    t.join();
    if (!ok) return fail("churn exchange");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int forks = argc > 1 ? atoi(argv[1]) : 12;
  if (forks < 2 || forks > 200) {
    fprintf(stderr, "usage: forker [forks 2..200]\n");
    return 2;
  }
  alarm(120);  // never outlives a test that lost track of it
  const int burst = startup_burst();
  printf("start-up burst: %d of 4 children ok\n", burst);
  fflush(stdout);
  if (burst != 4) failures.fetch_add(1);

  std::vector<std::thread> background;
  for (unsigned i = 0; i < 4; ++i) background.emplace_back(busy_pair, i * 1000);
  background.emplace_back(churn);

  for (int i = 0; i < forks - 2; ++i) fork_once(i);
  for (int i = forks - 2; i < forks; ++i) std::thread(fork_once, i).join();

  stopping.store(true);
  for (auto& t : background) t.join();
  printf("forks %d, failures %d\n", forks, failures.load());
  return failures.load() == 0 ? 0 : 1;
}
