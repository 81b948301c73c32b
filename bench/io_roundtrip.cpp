// Cost of one intercepted write/read pair: 64 bytes written to one end of a
// connection and read back at the other.
//
//   SocketpairWriteRead  a socketpair: descriptors the probe does not track
//   TcpWriteRead         a loopback TCP connection made with connect() and
//                        accept() on a bound listener: both ends tracked
//
// Run the binary without and with a probe build preloaded and compare
// (bench/run_io_bench.sh does that side by side).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr size_t kBytes = 64;

bool write_read(benchmark::State& state, int wfd, int rfd) {
  char out[kBytes], in[kBytes];
  memset(out, 'x', sizeof out);
  for (auto _ : state) {
    if (write(wfd, out, sizeof out) != static_cast<ssize_t>(sizeof out)) return false;
    size_t got = 0;
    while (got < sizeof in) {
      const ssize_t r = read(rfd, in + got, sizeof in - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    benchmark::DoNotOptimize(in);
  }
  return true;
}

void SocketpairWriteRead(benchmark::State& state) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return state.SkipWithError("socketpair");
  if (!write_read(state, sv[0], sv[1])) state.SkipWithError("write/read failed");
  close(sv[0]);
  close(sv[1]);
}
BENCHMARK(SocketpairWriteRead);

void TcpWriteRead(benchmark::State& state) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (l < 0 || bind(l, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return state.SkipWithError("listener");
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  if (c < 0 || connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return state.SkipWithError("connect");
  const int s = accept(l, nullptr, nullptr);
  if (s < 0) return state.SkipWithError("accept");
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!write_read(state, c, s)) state.SkipWithError("write/read failed");
  close(s);
  close(c);
  close(l);
}
BENCHMARK(TcpWriteRead);

}  // namespace

BENCHMARK_MAIN();
