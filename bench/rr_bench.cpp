// Request/reply rounds over loopback TCP between two processes, for running
// side by side without and with a probe build preloaded into both
// (bench/run_rr_bench.sh does that).
//
//   rr_bench serve <size>                 echo server for one connection;
//                                         prints "ready <port>" when listening
//   rr_bench call <port> <size> <seconds> rounds for that long after a
//                                         warm-up; prints "rounds_per_s <x>"
//   rr_bench call <port> <size> -<n>      exactly n rounds (for syscall counts)
//
// Every request and every reply is one write of <size> bytes, read back with
// reads until complete: reads of exactly the bytes still missing, or, with
// RR_READ_BUFFER=<n> in the environment, reads into a buffer of n bytes (as
// servers with a fixed receive buffer do). With RR_VECTORED=1 every message
// is written with one writev of three entries instead: a 4-byte length field
// and the two halves of the <size> bytes (continued with writev after a short
// write); the reader reads the whole message (length field and bytes) as
// above and checks the length.
// The server binds a concrete port (found free first):
// a listener on port 0 is not registered for monitored clients to find, and
// the connection would not be a service connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

std::vector<char> read_buffer;  // empty: reads of exactly the missing bytes
// RR_WIRE_ONLY=1: without any probe, put a 96-byte header in front of every
// message with writev and take it off with readv, as the framing does; this
// is the floor of what the framed wire costs by itself.
bool wire_only = false;
char wire_header[96];
// RR_VECTORED=1: messages go out as length field and two halves in one writev.
bool vectored = false;

bool read_plain(int fd, char* p, size_t n);

bool read_exact(int fd, char* p, size_t n) {
  if (vectored) {
    // The message is the length field and the bytes, read as one whole.
    static std::vector<char> frame;
    frame.resize(4 + n);
    if (!read_plain(fd, frame.data(), frame.size())) return false;
    uint32_t len;
    memcpy(&len, frame.data(), sizeof len);
    memcpy(p, frame.data() + 4, n);
    return ntohl(len) == n;
  }
  return read_plain(fd, p, n);
}

bool read_plain(int fd, char* p, size_t n) {
  if (wire_only) {
    // Request and reply alternate: one readv takes header and message.
    char* dst = read_buffer.empty() ? p : read_buffer.data();
    const size_t room = read_buffer.empty() ? n : read_buffer.size();
    iovec v[2] = {{wire_header, sizeof wire_header}, {dst, room}};
    size_t got = 0;
    ssize_t r = readv(fd, v, 2);
    if (r < static_cast<ssize_t>(sizeof wire_header)) return false;
    got = static_cast<size_t>(r) - sizeof wire_header;
    if (!read_buffer.empty()) memcpy(p, dst, std::min(got, n));
    while (got < n) {
      r = read(fd, p + got, n - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }
  for (size_t got = 0; got < n;) {
    if (read_buffer.empty()) {
      const ssize_t r = read(fd, p + got, n - got);
      if (r <= 0) return false;
      got += static_cast<size_t>(r);
      continue;
    }
    // Request and reply alternate, so no more than the missing bytes arrive.
    const ssize_t r = read(fd, read_buffer.data(), read_buffer.size());
    if (r <= 0 || static_cast<size_t>(r) > n - got) return false;
    memcpy(p + got, read_buffer.data(), static_cast<size_t>(r));
    got += static_cast<size_t>(r);
  }
  return true;
}

// Writes the whole of `v` with writev, again with what is left after a short
// write.
bool writev_all(int fd, iovec* v, int cnt) {
  while (cnt > 0) {
    const ssize_t w = writev(fd, v, cnt);
    if (w <= 0) return false;
    for (size_t k = static_cast<size_t>(w); cnt > 0 && (k > 0 || v->iov_len == 0);) {
      const size_t take = std::min(k, v->iov_len);
      v->iov_base = static_cast<char*>(v->iov_base) + take;
      v->iov_len -= take;
      k -= take;
      if (v->iov_len == 0) {
        ++v;
        --cnt;
      }
    }
  }
  return true;
}

bool write_all(int fd, const char* p, size_t n) {
  if (vectored) {
    uint32_t len = htonl(static_cast<uint32_t>(n));
    char* body = const_cast<char*>(p);
    iovec v[3] = {{&len, sizeof len}, {body, n / 2}, {body + n / 2, n - n / 2}};
    return writev_all(fd, v, 3);
  }
  if (wire_only) {
    iovec v[2] = {{wire_header, sizeof wire_header}, {const_cast<char*>(p), n}};
    return writev(fd, v, 2) == static_cast<ssize_t>(sizeof wire_header + n);
  }
  for (size_t put = 0; put < n;) {
    const ssize_t w = write(fd, p + put, n - put);
    if (w <= 0) return false;
    put += static_cast<size_t>(w);
  }
  return true;
}

void set_options(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  timeval tv{30, 0};  // no wait lasts for ever
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int free_port() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t n = sizeof a;
  int port = -1;
  if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) == 0)
    port = ntohs(a.sin_port);
  if (s >= 0) close(s);
  return port;
}

int serve(size_t size) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  const int port = free_port();
  sockaddr_in a = loopback(port);
  if (port <= 0 || bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 4) != 0) {
    perror("rr_bench: listen");
    return 1;
  }
  printf("ready %d\n", port);
  fflush(stdout);
  const int fd = accept(l, nullptr, nullptr);
  if (fd < 0) {
    perror("rr_bench: accept");
    return 1;
  }
  set_options(fd);
  std::vector<char> buf(size);
  while (read_exact(fd, buf.data(), size) && write_all(fd, buf.data(), size)) {
  }
  close(fd);
  close(l);
  return 0;
}

int call(int port, size_t size, double seconds, long fixed_rounds) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    perror("rr_bench: connect");
    return 1;
  }
  set_options(fd);
  std::vector<char> out(size), in(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 7 + 3);
  auto round = [&] {
    if (!write_all(fd, out.data(), size) || !read_exact(fd, in.data(), size)) return false;
    return memcmp(in.data(), out.data(), size) == 0;
  };

  if (fixed_rounds > 0) {
    for (long i = 0; i < fixed_rounds; ++i)
      if (!round()) {
        fprintf(stderr, "rr_bench: round %ld failed\n", i);
        return 1;
      }
    printf("rounds %ld\n", fixed_rounds);
    close(fd);
    return 0;
  }

  for (int i = 0; i < 2000; ++i)  // warm-up: connection, caches, clock
    if (!round()) {
      fprintf(stderr, "rr_bench: warm-up failed\n");
      return 1;
    }
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  long rounds = 0;
  for (auto now = start; now < end; now = Clock::now()) {
    for (int i = 0; i < 64; ++i, ++rounds)
      if (!round()) {
        fprintf(stderr, "rr_bench: round %ld failed\n", rounds);
        return 1;
      }
  }
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  printf("rounds_per_s %.0f\n", static_cast<double>(rounds) / took);
  close(fd);
  return 0;
}

int usage() {
  fprintf(stderr, "usage: rr_bench serve <size> | rr_bench call <port> <size> <seconds|-rounds>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* rb = getenv("RR_READ_BUFFER"); rb && atol(rb) > 0)
    read_buffer.resize(static_cast<size_t>(atol(rb)));
  if (const char* w = getenv("RR_WIRE_ONLY"); w && strcmp(w, "1") == 0) wire_only = true;
  if (const char* v = getenv("RR_VECTORED"); v && strcmp(v, "1") == 0) vectored = true;
  if (wire_only && vectored) {
    fprintf(stderr, "rr_bench: RR_WIRE_ONLY and RR_VECTORED exclude each other\n");
    return 2;
  }
  if (argc == 3 && strcmp(argv[1], "serve") == 0) {
    const long size = atol(argv[2]);
    return size > 0 ? serve(static_cast<size_t>(size)) : usage();
  }
  if (argc == 5 && strcmp(argv[1], "call") == 0) {
    const int port = atoi(argv[2]);
    const long size = atol(argv[3]);
    const double t = atof(argv[4]);
    if (port <= 0 || size <= 0) return usage();
    if (t < 0) return call(port, static_cast<size_t>(size), 0, static_cast<long>(-t));
    if (t > 0) return call(port, static_cast<size_t>(size), t, 0);
  }
  return usage();
}
