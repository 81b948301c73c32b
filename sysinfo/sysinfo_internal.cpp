#include "sysinfo_internal.hpp"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sysmetrics {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Splits on white space, stopping after `limit` tokens.
std::vector<std::string_view> split(std::string_view s, std::size_t limit) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < s.size() && out.size() < limit) {
    while (i < s.size() && is_space(s[i])) ++i;
    std::size_t start = i;
    while (i < s.size() && !is_space(s[i])) ++i;
    if (i > start) out.push_back(s.substr(start, i - start));
  }
  return out;
}

bool to_u64(std::string_view tok, std::uint64_t& v) {
  auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
  return r.ec == std::errc() && r.ptr == tok.data() + tok.size();
}

bool to_double(std::string_view tok, double& v) {
  if (!tok.empty() && tok.front() == '+') tok.remove_prefix(1);
  auto r = std::from_chars(tok.data(), tok.data() + tok.size(), v);
  return r.ec == std::errc() && r.ptr == tok.data() + tok.size() && std::isfinite(v);
}

}  // namespace

int parse_proc_stat(std::string_view text, std::uint64_t& ticks, std::uint64_t& rss_kib) {
  const auto open = text.find('(');
  const auto close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) return -1;
  std::string_view rest = text.substr(close + 1);
  // Fields from the state (field 3) up to rss (field 24).
  const auto f = split(rest, 22);
  if (f.size() < 22) return -1;
  std::uint64_t utime = 0, stime = 0, rss = 0;
  if (!to_u64(f[14 - 3], utime) || !to_u64(f[15 - 3], stime) || !to_u64(f[24 - 3], rss)) return -1;
  ticks = utime + stime;
  rss_kib = rss * 4;
  return 0;
}

double cpu_percent(std::uint64_t ticks0, std::uint64_t ticks1, double elapsed) {
  if (!(100.0 * elapsed > 0.0) || ticks1 < ticks0) return 0.0;
  double rate = static_cast<double>(ticks1 - ticks0) / (100.0 * elapsed);
  if (rate < 0.0001) rate = 0.0;
  return 100.0 * rate;
}

bool parse_mpstat_line(std::string_view line, HostCpu& out) {
  const auto t = split(line, 10);
  if (t.size() < 10) return false;
  double n[7];
  for (int i = 0; i < 7; ++i)
    if (!to_double(t[2 + i], n[i])) return false;
  out = HostCpu{n[0], n[2], n[3], n[6]};
  return true;
}

bool parse_mpstat_output(std::string_view output, HostCpu& out) {
  std::size_t pos = 0;
  std::string_view line;
  // As fgets with a 1024-byte buffer: at most 1023 characters per read.
  for (int i = 0; i < 5; ++i) {
    if (pos >= output.size()) return false;
    std::size_t n = 0;
    while (pos + n < output.size() && n < 1023) {
      if (output[pos + n++] == '\n') break;
    }
    line = output.substr(pos, n);
    pos += n;
  }
  return parse_mpstat_line(line, out);
}

bool run_bounded(const char* command, std::string& output, std::size_t max_bytes, int timeout_ms) {
  output.clear();
  // Everything the child needs is prepared before it starts.
  std::vector<std::string> env_store;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, "LC_ALL=", 7) != 0) env_store.emplace_back(*e);
  env_store.emplace_back("LC_ALL=C");
  std::vector<char*> envp;
  for (auto& s : env_store) envp.push_back(s.data());
  envp.push_back(nullptr);
  char sh[] = "/bin/sh", dash_c[] = "-c";
  std::string cmd = command;
  char* argv[] = {sh, dash_c, cmd.data(), nullptr};

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;

  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, sh, &fa, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return false;
  }

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
  auto remaining_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  };
  char buf[4096];
  while (output.size() < max_bytes) {
    const int left = remaining_ms();
    if (left == 0) break;
    pollfd p{fds[0], POLLIN, 0};
    const int pr = poll(&p, 1, left);
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) break;
    const ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output.append(buf, std::min(static_cast<std::size_t>(n), max_bytes - output.size()));
  }
  close(fds[0]);

  // Give the command the rest of the time to end; the leader stays unreaped
  // meanwhile so that its process group id cannot be reused before the kill.
  for (;;) {
    siginfo_t si{};
    if (waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 && si.si_pid == pid) break;
    if (remaining_ms() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

void copy_field(char* area, std::size_t width, std::string_view text) {
  if (area == nullptr) return;
  std::memcpy(area, text.data(), std::min(width, text.size()));
}

}  // namespace sysmetrics
