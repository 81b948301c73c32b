// sockstress: many threads exchanging request/reply rounds over sockets.
//
//   sockstress [workers=8] [rounds=400]
//
// Each worker owns a socketpair and a loopback TCP connection, and a
// responder thread on the other end of both. Round r travels over one of the
// two channels with one of four call families (read/write, recv/send,
// readv/writev, recvmsg/sendmsg), sizes from 1 byte to 64 KiB, and a byte
// pattern that depends only on the worker and the round; both sides check
// every byte. Some rounds run on a dup() or dup2() copy of the socket, and the
// TCP connection is closed and made again at regular intervals, so descriptor
// numbers are released and reused while other threads work.
//
// The summary on stdout depends only on the arguments: a run with any
// interposing library must print exactly the same. Any mismatch or failed call
// is reported on stderr and makes the exit status 1.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kMaxSize = 64 * 1024;
constexpr int kReconnectEvery = 50;

std::atomic<int> failures{0};

void report(int worker, int round, const char* what) {
  fprintf(stderr, "sockstress: worker %d round %d: %s (errno %d: %s)\n", worker, round, what, errno,
          strerror(errno));
  failures.fetch_add(1);
}

uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Size of one message: the edges (1 byte, 64 KiB), small and large ones.
size_t message_size(uint64_t seed) {
  const uint64_t h = mix(seed);
  switch (h % 8) {
    case 0: return 1;
    case 1: return kMaxSize;
    case 2: return 1 + (h >> 8) % 64;
    case 3: return 1 + (h >> 8) % 1024;
    default: return 1 + (h >> 8) % kMaxSize;
  }
}

uint8_t pattern(uint64_t seed, size_t i) {
  return static_cast<uint8_t>((seed >> (i % 7)) + i * 31 + (i >> 8));
}

void fill(std::vector<uint8_t>& buf, uint64_t seed, size_t n) {
  buf.resize(n);
  for (size_t i = 0; i < n; ++i) buf[i] = pattern(seed, i);
}

bool check(const uint8_t* buf, uint64_t seed, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (buf[i] != pattern(seed, i)) return false;
  return true;
}

enum Method { kReadWrite, kRecvSend, kVector, kMsg };

// Splits the remaining bytes into up to three pieces, so vectored calls see
// more than one element.
int split(uint8_t* p, size_t n, iovec* iov) {
  if (n < 3) {
    iov[0] = {p, n};
    return 1;
  }
  const size_t a = n / 3, b = n / 2;
  iov[0] = {p, a};
  iov[1] = {p + a, b - a};
  iov[2] = {p + b, n - b};
  return 3;
}

bool send_all(int fd, Method m, const uint8_t* data, size_t n) {
  size_t off = 0;
  while (off < n) {
    uint8_t* p = const_cast<uint8_t*>(data) + off;
    const size_t left = n - off;
    ssize_t w = -1;
    switch (m) {
      case kReadWrite: w = write(fd, p, left); break;
      case kRecvSend: w = send(fd, p, left, MSG_NOSIGNAL); break;
      case kVector: {
        iovec iov[3];
        w = writev(fd, iov, split(p, left, iov));
        break;
      }
      case kMsg: {
        iovec iov[3];
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(split(p, left, iov));
        w = sendmsg(fd, &msg, MSG_NOSIGNAL);
        break;
      }
    }
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    off += static_cast<size_t>(w);
  }
  return true;
}

bool recv_all(int fd, Method m, uint8_t* data, size_t n) {
  size_t off = 0;
  while (off < n) {
    uint8_t* p = data + off;
    const size_t left = n - off;
    ssize_t r = -1;
    switch (m) {
      case kReadWrite: r = read(fd, p, left); break;
      case kRecvSend: r = recv(fd, p, left, 0); break;
      case kVector: {
        iovec iov[3];
        r = readv(fd, iov, split(p, left, iov));
        break;
      }
      case kMsg: {
        iovec iov[3];
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(split(p, left, iov));
        r = recvmsg(fd, &msg, 0);
        break;
      }
    }
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    off += static_cast<size_t>(r);
  }
  return true;
}

// Bounded waits (a lost byte ends the run instead of hanging it) and no
// coalescing delay for the small headers.
void set_options(int fd, bool tcp) {
  if (tcp) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  timeval tv{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

int tcp_connect(const sockaddr_in& to) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  set_options(fd, true);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    const int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

int tcp_accept(int listener) {
  int fd;
  do fd = accept(listener, nullptr, nullptr);
  while (fd < 0 && errno == EINTR);
  if (fd >= 0) set_options(fd, true);
  return fd;
}

uint64_t fnv(uint64_t h, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h;
}

struct Header {
  uint32_t round;
  uint32_t size;
};

uint64_t request_seed(int w, int r) { return (static_cast<uint64_t>(w) << 32) ^ static_cast<uint64_t>(r) * 2; }
uint64_t reply_seed(int w, int r) { return request_seed(w, r) + 1; }

// The descriptor a round runs on: the socket itself, a dup() of it, or a
// dup2() of it over a descriptor of /dev/null. `release` closes the copy.
struct RoundFd {
  int fd = -1;
  bool copy = false;

  RoundFd(int sock, int r, int variant) {
    fd = sock;
    if (r % 16 == variant) {
      fd = dup(sock);
      copy = true;
    } else if (r % 16 == variant + 8) {
      const int target = open("/dev/null", O_RDONLY | O_CLOEXEC);
      fd = target < 0 ? -1 : dup2(sock, target);
      copy = true;
    }
  }
  void release() {
    if (copy && fd >= 0) close(fd);
  }
};

struct Worker {
  int id = 0;
  int rounds = 0;
  int unix_client = -1, unix_server = -1;
  int listener = -1;
  sockaddr_in addr{};
  int tcp_client = -1, tcp_server = -1;

  uint64_t sent = 0, received = 0, checksum = 0xcbf29ce484222325ULL;
  uint64_t served = 0;
};

void responder(Worker* wk) {
  std::vector<uint8_t> buf(kMaxSize), reply;
  for (int r = 0; r < wk->rounds; ++r) {
    const bool tcp = r % 2;
    const int sock = tcp ? wk->tcp_server : wk->unix_server;
    RoundFd rf(sock, r, 3);
    if (rf.fd < 0) {
      report(wk->id, r, "responder dup");
      return;
    }
    const Method in = static_cast<Method>((r / 2) % 4);
    const Method out = static_cast<Method>((r / 2 + 1) % 4);
    Header h{};
    if (!recv_all(rf.fd, in, reinterpret_cast<uint8_t*>(&h), sizeof h)) {
      report(wk->id, r, "responder header");
      return;
    }
    const size_t want = message_size(request_seed(wk->id, r));
    if (h.round != static_cast<uint32_t>(r) || h.size != want) {
      report(wk->id, r, "responder header mismatch");
      return;
    }
    if (!recv_all(rf.fd, in, buf.data(), want) || !check(buf.data(), request_seed(wk->id, r), want)) {
      report(wk->id, r, "request payload");
      return;
    }
    wk->served += want;
    const size_t n = message_size(reply_seed(wk->id, r));
    fill(reply, reply_seed(wk->id, r), n);
    Header rh{static_cast<uint32_t>(r), static_cast<uint32_t>(n)};
    if (!send_all(rf.fd, out, reinterpret_cast<uint8_t*>(&rh), sizeof rh) ||
        !send_all(rf.fd, out, reply.data(), n)) {
      report(wk->id, r, "reply send");
      return;
    }
    rf.release();
    if (tcp && r % kReconnectEvery == kReconnectEvery - 1) {
      close(wk->tcp_server);
      wk->tcp_server = tcp_accept(wk->listener);
      if (wk->tcp_server < 0) {
        report(wk->id, r, "accept after reconnect");
        return;
      }
    }
  }
}

void requester(Worker* wk) {
  std::vector<uint8_t> req, buf(kMaxSize);
  for (int r = 0; r < wk->rounds; ++r) {
    const bool tcp = r % 2;
    const int sock = tcp ? wk->tcp_client : wk->unix_client;
    RoundFd rf(sock, r, 5);
    if (rf.fd < 0) {
      report(wk->id, r, "requester dup");
      return;
    }
    const Method out = static_cast<Method>((r / 2) % 4);
    const Method in = static_cast<Method>((r / 2 + 1) % 4);
    const size_t n = message_size(request_seed(wk->id, r));
    fill(req, request_seed(wk->id, r), n);
    Header h{static_cast<uint32_t>(r), static_cast<uint32_t>(n)};
    if (!send_all(rf.fd, out, reinterpret_cast<uint8_t*>(&h), sizeof h) || !send_all(rf.fd, out, req.data(), n)) {
      report(wk->id, r, "request send");
      return;
    }
    wk->sent += n;
    Header rh{};
    if (!recv_all(rf.fd, in, reinterpret_cast<uint8_t*>(&rh), sizeof rh)) {
      report(wk->id, r, "reply header");
      return;
    }
    const size_t want = message_size(reply_seed(wk->id, r));
    if (rh.round != static_cast<uint32_t>(r) || rh.size != want) {
      report(wk->id, r, "reply header mismatch");
      return;
    }
    if (!recv_all(rf.fd, in, buf.data(), want) || !check(buf.data(), reply_seed(wk->id, r), want)) {
      report(wk->id, r, "reply payload");
      return;
    }
    wk->received += want;
    wk->checksum = fnv(wk->checksum, buf.data(), want);
    rf.release();
    if (tcp && r % kReconnectEvery == kReconnectEvery - 1) {
      close(wk->tcp_client);
      wk->tcp_client = tcp_connect(wk->addr);
      if (wk->tcp_client < 0) {
        report(wk->id, r, "reconnect");
        return;
      }
    }
  }
}

bool setup(Worker& wk) {
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
  wk.unix_client = sv[0];
  wk.unix_server = sv[1];
  set_options(sv[0], false);
  set_options(sv[1], false);

  wk.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (wk.listener < 0) return false;
  wk.addr.sin_family = AF_INET;
  wk.addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  wk.addr.sin_port = 0;
  if (bind(wk.listener, reinterpret_cast<sockaddr*>(&wk.addr), sizeof wk.addr) != 0) return false;
  if (listen(wk.listener, 8) != 0) return false;
  socklen_t len = sizeof wk.addr;
  if (getsockname(wk.listener, reinterpret_cast<sockaddr*>(&wk.addr), &len) != 0) return false;
  wk.tcp_client = tcp_connect(wk.addr);
  if (wk.tcp_client < 0) return false;
  wk.tcp_server = tcp_accept(wk.listener);
  return wk.tcp_server >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int workers = argc > 1 ? atoi(argv[1]) : 8;
  const int rounds = argc > 2 ? atoi(argv[2]) : 400;
  if (workers < 1 || workers > 256 || rounds < 1) {
    fprintf(stderr, "usage: sockstress [workers 1..256] [rounds >= 1]\n");
    return 2;
  }

  alarm(120);  // never outlives a test that lost track of it
  std::vector<Worker> wk(static_cast<size_t>(workers));
  for (int i = 0; i < workers; ++i) {
    wk[i].id = i;
    wk[i].rounds = rounds;
    if (!setup(wk[i])) {
      report(i, -1, "setup");
      return 1;
    }
  }

  std::vector<std::thread> threads;
  for (auto& w : wk) {
    threads.emplace_back(responder, &w);
    threads.emplace_back(requester, &w);
  }
  for (auto& t : threads) t.join();

  uint64_t total_sent = 0, total_received = 0, total = 0xcbf29ce484222325ULL;
  for (auto& w : wk) {
    for (int fd : {w.unix_client, w.unix_server, w.tcp_client, w.tcp_server, w.listener})
      if (fd >= 0 && close(fd) != 0) report(w.id, rounds, "close");
    if (w.served != w.sent) report(w.id, rounds, "responder saw fewer bytes than were sent");
    printf("worker %d rounds %d sent %" PRIu64 " received %" PRIu64 " checksum %016" PRIx64 "\n", w.id, rounds,
           w.sent, w.received, w.checksum);
    total_sent += w.sent;
    total_received += w.received;
    total = fnv(total, reinterpret_cast<const uint8_t*>(&w.checksum), sizeof w.checksum);
  }
  printf("total sent %" PRIu64 " received %" PRIu64 " checksum %016" PRIx64 "\n", total_sent, total_received, total);
  return failures.load() == 0 ? 0 : 1;
}
