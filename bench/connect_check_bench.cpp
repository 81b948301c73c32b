// What the registry check costs a monitored client's connect to a port on
// its own host, against the loopback connect itself, side by side:
//  - Connect: socket, connect, accept and both closes, without any check;
//  - NamesOnly: what a check looked at before registrations had to be alive
//    (the address entries' lstat, the marker made and removed);
//  - BindCheck: the whole check as a connect makes it (names, the live
//    registration: its owner, its process's start time, the kernel's answer
//    whether its socket listens; the marker with the writer's identity) and
//    the marker consumed as the accepting side does;
//  - Listens, ProcessStart: the two system lookups alone.
//
//   build/bench/bench_connect_check [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/tav_check_home.h"
#include "base/tav_registration.h"

namespace {

namespace fs = std::filesystem;

struct Fixture {
  std::string home;
  int listener = -1;
  int port = 0;

  Fixture() {
    char tmpl[] = "/tmp/qel-bench-XXXXXX";
    home = mkdtemp(tmpl);
    fs::create_directories(home + "/port");
    fs::create_directories(home + "/proc");
    tav_set_home(home.c_str(), "127.0.0.1");
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 128);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    tav_listen_port(listener);  // the live registration, as a monitored server leaves it
  }
  ~Fixture() {
    close(listener);
    std::error_code ec;
    fs::remove_all(home, ec);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void Connect(benchmark::State& state) {
  Fixture& f = fixture();
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(f.port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (auto _ : state) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const int a = accept(f.listener, nullptr, nullptr);
    close(a);
    close(c);
  }
}

void NamesOnly(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string names[] = {f.home + "/port/127.0.0.5." + std::to_string(f.port),
                               f.home + "/port/0.0.0.0." + std::to_string(f.port)};
  const std::string marker = f.home + "/port/127.0.0.1.40000";
  for (auto _ : state) {
    struct stat st;
    for (const auto& n : names)
      if (lstat(n.c_str(), &st) == 0) break;
    const int fd = open(marker.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
    fchmod(fd, 0666);
    close(fd);
    lstat(marker.c_str(), &st);
    unlink(marker.c_str());
  }
}

void BindCheck(benchmark::State& state) {
  Fixture& f = fixture();
  const std::string marker = f.home + "/port/127.0.0.1.40000";
  const int portfd = open((f.home + "/port").c_str(), O_RDONLY | O_DIRECTORY);
  struct stat home;
  stat(f.home.c_str(), &home);
  for (auto _ : state) {
    if (tav_bind_check("127.0.0.1", 40000, "127.0.0.5", f.port) != 0) state.SkipWithError("not served");
    if (tav::reg::check_entry(portfd, "127.0.0.1.40000", 0, home) != tav::reg::Verdict::live)
      state.SkipWithError("marker not taken");
    unlink(marker.c_str());
  }
  close(portfd);
}

void Listens(benchmark::State& state) {
  Fixture& f = fixture();
  const uint64_t inode = tav::reg::socket_inode(f.listener);
  for (auto _ : state) benchmark::DoNotOptimize(tav::reg::listens(f.port, inode));
}

void ProcessStart(benchmark::State& state) {
  const int pid = getpid();
  for (auto _ : state) benchmark::DoNotOptimize(tav::reg::process_start(pid));
}

BENCHMARK(Connect);
BENCHMARK(NamesOnly);
BENCHMARK(BindCheck);
BENCHMARK(Listens);
BENCHMARK(ProcessStart);

}  // namespace

BENCHMARK_MAIN();
