#include "child.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace qel::test {

ChildResult in_child(const std::function<int()>& body, int timeout_s) {
  ChildResult r;
  int p[2];
  if (pipe(p) != 0) return r;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return r;
  if (pid == 0) {
    close(p[0]);
    dup2(p[1], 1);
    dup2(p[1], 2);
    close(p[1]);
    const int rc = body();
    fflush(nullptr);
    _exit(rc);
  }
  close(p[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  char buf[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      r.output += "\n[child killed: time limit]";
      break;
    }
    pollfd pf{p[0], POLLIN, 0};
    if (poll(&pf, 1, static_cast<int>(left.count())) <= 0) continue;
    const ssize_t n = read(p[0], buf, sizeof buf);
    if (n <= 0) break;
    r.output.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

}  // namespace qel::test
