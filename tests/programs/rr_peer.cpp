// rr_peer: request/reply rounds over loopback TCP.
//
//   rr_peer serve <port|0> [--once] [--forward host:port] [--read-chunk N]
//                 [--vectored] [--readv]
//   rr_peer call <host> <port> <rounds> <size>... [--read-chunk N] [--nonblock]
//                [--small-buffers] [--peek] [--hops H] [--send-only]
//                [--vectored] [--readv]
//   rr_peer raw-listen <port|0> <file> [--delay-ms N]
//
// Application messages are a 4-byte big-endian length and that many bytes.
// A server answers each request with reply(q) = FNV-1a-64(q) as 8 big-endian
// bytes, then the bytes of q reversed. With --forward it first sends q to the
// back server over one persistent connection per client connection and
// answers reply(back's answer), so a client of such a front expects two
// applications of reply (--hops 2).
//
// serve prints "ready <port>" once it listens, then serves every connection in
// a thread of its own until it is killed (--once: one connection, then exit).
// A preloaded probe registers only a listener bound to a concrete port, so
// monitored clients recognise a server started with port 0 only when its port
// is listed in the settings.
//
// call makes <rounds> rounds cycling through the sizes. Every request is
// written with one write call (and continued after a short write; --vectored:
// one writev, see below); with --nonblock the socket is non-blocking and
// waits go through poll. Replies are read with reads of at most --read-chunk
// bytes (1: byte by byte; --readv: see below). --peek
// peeks at the first byte of every reply before reading it. --small-buffers
// shrinks the socket buffers so that large writes are cut short. --send-only
// writes the requests, shuts the sending side and waits for the peer to
// close. The summary on stdout depends only on the arguments; what the
// transfer met on the way (short writes, waits) goes to stderr. Exit status 0
// only when every reply was exact.
//
// raw-listen accepts one connection, optionally waits --delay-ms before
// reading, and writes every byte it receives to <file> until the peer closes.
// It is meant to run without any preloaded library, as a plain witness of
// what went over the wire.
//
// --vectored (serve and call): every message, request or reply, is written
// with one writev of three entries: the length field, the first half of the
// body and the second half (a body of one byte leaves the middle entry
// empty); after a short write, writev goes on with the entries left.
// --readv: messages are read with readv into two entries: the length field
// (or, once it is complete, the body, at most --read-chunk bytes of it) and a
// spare buffer of --read-chunk bytes for what follows; bytes that belong to
// the next message are kept for it. A server with --forward uses the same
// ways to talk to its back server. Neither option changes what is sent or
// what the summary says.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_be.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxMessage = 16u << 20;  // larger length fields are refused
constexpr int kWaitMs = 30000;             // no single wait lasts longer
constexpr size_t kServeChunk = 256 * 1024;

// --- the application protocol ------------------------------------------------

uint64_t fnv1a(const uint8_t* p, size_t n, uint64_t h = 0xcbf29ce484222325ULL) {
  for (size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001b3ULL;
  }
  return h;
}

Bytes reply_of(const Bytes& q) {
  tav::be64 sum;
  sum = fnv1a(q.data(), q.size());
  Bytes r(sizeof sum + q.size());
  memcpy(r.data(), &sum, sizeof sum);
  std::reverse_copy(q.begin(), q.end(), r.begin() + sizeof sum);
  return r;
}

// The payload of round `round` with `size` bytes. Some rounds carry the
// transaction block's marker bytes inside, to show that the receiving side
// goes by length and not by content.
Bytes request_of(uint64_t round, size_t size) {
  Bytes b(size);
  uint64_t x = 0x9e3779b97f4a7c15ULL ^ (round * 0x100000001b3ULL) ^ (size << 20);
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b[i] = static_cast<uint8_t>(x >> 29);
  }
  static const uint8_t kMarker[5] = {0x02, 0x0A, 0x24, 0x0F, 0x01};
  if (round % 3 == 1)
    for (size_t at = 0; at + sizeof kMarker <= size; at += 997) memcpy(&b[at], kMarker, sizeof kMarker);
  return b;
}

Bytes framed(const Bytes& payload) {
  tav::be32 n;
  n = static_cast<uint32_t>(payload.size());
  Bytes m(reinterpret_cast<const uint8_t*>(&n), reinterpret_cast<const uint8_t*>(&n) + sizeof n);
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

uint32_t be32_at(const uint8_t* p) {
  tav::be32 n;
  memcpy(&n, p, sizeof n);
  return n.get();
}

// --- socket I/O --------------------------------------------------------------

struct Stats {
  long short_writes = 0;  // writes that took fewer bytes than offered
  long waits = 0;         // EAGAIN answers that sent the caller to poll
};

// Waits until `fd` is ready for `events`; false after kWaitMs or on error.
bool wait_for(int fd, short events) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int rc = poll(&p, 1, kWaitMs);
    if (rc > 0) return true;
    if (rc == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// After a write that took nothing: true when it is to be tried again (it was
// interrupted, or the socket had no room and has some now), false on an
// error.
bool write_again(int fd, ssize_t w, Stats* st) {
  if (w < 0 && errno == EINTR) return true;
  if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    if (st) ++st->waits;
    return wait_for(fd, POLLOUT);
  }
  if (w == 0) errno = EIO;
  return false;
}

// Writes all of `n` bytes: one write for the whole, and more only for what a
// short write left.
bool write_all(int fd, const uint8_t* p, size_t n, Stats* st = nullptr) {
  size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd, p + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
      if (done < n && st) ++st->short_writes;
      continue;
    }
    if (!write_again(fd, w, st)) return false;
  }
  return true;
}

// After a read that returned nothing: true when it is to be tried again (it
// was interrupted, or nothing was there yet and now is), false at end of file
// (errno 0) or on an error.
bool read_again(int fd, ssize_t r, Stats* st) {
  if (r == 0) {
    errno = 0;
    return false;
  }
  if (errno == EINTR) return true;
  if (errno == EAGAIN || errno == EWOULDBLOCK) {
    if (st) ++st->waits;
    return wait_for(fd, POLLIN);
  }
  return false;
}

// Reads exactly `n` bytes with reads of at most `chunk` bytes. False at end
// of file (errno 0) or on an error.
bool read_exact(int fd, uint8_t* p, size_t n, size_t chunk, Stats* st = nullptr) {
  size_t done = 0;
  while (done < n) {
    const ssize_t r = read(fd, p + done, std::min(chunk, n - done));
    if (r > 0) {
      done += static_cast<size_t>(r);
      continue;
    }
    if (!read_again(fd, r, st)) return false;
  }
  return true;
}

// One framed message read with reads of at most `chunk` bytes; false at end
// of file before the message, on an error, or on a length above kMaxMessage.
bool read_message(int fd, Bytes& out, size_t chunk, Stats* st = nullptr) {
  uint8_t head[4];
  if (!read_exact(fd, head, 4, chunk, st)) return false;
  const uint32_t n = be32_at(head);
  if (n > kMaxMessage) {
    errno = EMSGSIZE;
    return false;
  }
  out.resize(n);
  return read_exact(fd, out.data(), n, chunk, st);
}

// Writes `iov` in full: one writev for all entries, and after a short write
// writev again with the entries (and the part of an entry) still owed.
bool writev_all(int fd, iovec* iov, int cnt, Stats* st) {
  size_t left = 0;
  for (int i = 0; i < cnt; ++i) left += iov[i].iov_len;
  while (left > 0) {
    const ssize_t w = writev(fd, iov, cnt);
    if (w > 0) {
      left -= static_cast<size_t>(w);
      for (size_t k = static_cast<size_t>(w); k > 0 || (cnt > 0 && iov->iov_len == 0);) {
        const size_t take = std::min(k, iov->iov_len);
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + take;
        iov->iov_len -= take;
        k -= take;
        if (iov->iov_len == 0) {
          ++iov;
          --cnt;
        }
      }
      if (left > 0 && st) ++st->short_writes;
      continue;
    }
    if (!write_again(fd, w, st)) return false;
  }
  return true;
}

// Sends `payload` as one framed message: one write of the whole, or with
// `vectored` one writev of the length field and the two halves of the body.
bool send_message(int fd, const Bytes& payload, bool vectored, Stats* st = nullptr) {
  if (!vectored) {
    const Bytes m = framed(payload);
    return write_all(fd, m.data(), m.size(), st);
  }
  tav::be32 n;
  n = static_cast<uint32_t>(payload.size());
  auto* body = const_cast<uint8_t*>(payload.data());
  const size_t half = payload.size() / 2;
  iovec v[3] = {{&n, sizeof n}, {body, half}, {body + half, payload.size() - half}};
  return writev_all(fd, v, 3, st);
}

// Reads framed messages with readv. Every call has two entries: the rest of
// the length field (or, once it is complete, the rest of the body, at most
// `chunk` bytes) and a spare buffer of `chunk` bytes. What lands in the spare
// buffer is taken into the message, and what lies beyond its end is kept for
// the next one.
class VectoredReader {
 public:
  explicit VectoredReader(size_t chunk) : chunk_(chunk), spare_(chunk) {}

  // False at end of file before the message is complete (errno 0), on an
  // error, or on a length above kMaxMessage (EMSGSIZE).
  bool next(int fd, Bytes& out, Stats* st = nullptr) {
    have_ = 0;
    got_ = 0;
    out.clear();
    const size_t used = absorb(kept_.data(), kept_.size(), out);
    if (used == SIZE_MAX) return false;
    kept_.erase(kept_.begin(), kept_.begin() + static_cast<long>(used));
    while (!complete(out)) {
      iovec v[2];
      if (have_ < 4)
        v[0] = {head_ + have_, 4 - have_};
      else
        v[0] = {out.data() + got_, std::min(out.size() - got_, chunk_)};
      v[1] = {spare_.data(), spare_.size()};
      const ssize_t r = readv(fd, v, 2);
      if (r <= 0) {
        if (!read_again(fd, r, st)) return false;
        continue;
      }
      const size_t first = std::min(static_cast<size_t>(r), v[0].iov_len);
      if (have_ < 4) {
        have_ += first;
        if (have_ == 4 && !sized(out)) return false;
      } else {
        got_ += first;
      }
      const size_t extra = static_cast<size_t>(r) - first;
      const size_t taken = absorb(spare_.data(), extra, out);
      if (taken == SIZE_MAX) return false;
      kept_.insert(kept_.end(), spare_.begin() + static_cast<long>(taken),
                   spare_.begin() + static_cast<long>(extra));
    }
    return true;
  }

 private:
  bool complete(const Bytes& out) const { return have_ == 4 && got_ == out.size(); }

  // The length field is complete: the body gets its size.
  bool sized(Bytes& out) {
    const uint32_t n = be32_at(head_);
    if (n > kMaxMessage) {
      errno = EMSGSIZE;
      return false;
    }
    out.resize(n);
    return true;
  }

  // Takes bytes that arrived elsewhere into the message in progress; returns
  // how many belonged to it (SIZE_MAX on a refused length).
  size_t absorb(const uint8_t* p, size_t k, Bytes& out) {
    size_t used = 0;
    if (have_ < 4 && k > 0) {
      const size_t t = std::min(4 - have_, k);
      memcpy(head_ + have_, p, t);
      have_ += t;
      used = t;
      if (have_ == 4 && !sized(out)) return SIZE_MAX;
    }
    if (have_ == 4) {
      const size_t t = std::min(out.size() - got_, k - used);
      if (t > 0) memcpy(out.data() + got_, p + used, t);
      got_ += t;
      used += t;
    }
    return used;
  }

  size_t chunk_;
  Bytes spare_;
  Bytes kept_;  // bytes of the next message that came with this one
  uint8_t head_[4] = {};
  size_t have_ = 0;  // bytes of the length field in head_
  size_t got_ = 0;   // bytes of the body in out
};

void bounded_waits(int fd) {
  timeval tv{kWaitMs / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool parse_port(const char* text, int& port) {
  char* end = nullptr;
  const long v = strtol(text, &end, 10);
  if (!end || *end || v < 0 || v > 65535) return false;
  port = static_cast<int>(v);
  return true;
}

sockaddr_in address(const char* host, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_NONE);
  return a;
}

// A listening socket on 127.0.0.1; prints "ready <port>".
int listen_on(int port) {
  const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l < 0) return -1;
  int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = address("127.0.0.1", port);
  socklen_t len = sizeof a;
  if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 64) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(l);
    return -1;
  }
  printf("ready %d\n", ntohs(a.sin_port));
  fflush(stdout);
  return l;
}

int connect_to(const char* host, int port, bool small_buffers) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (small_buffers) {
    int size = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  const sockaddr_in a = address(host, port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  no_delay(fd);
  bounded_waits(fd);
  return fd;
}

void fail(const char* what) { fprintf(stderr, "rr_peer: %s: %s\n", what, strerror(errno)); }

// --- serve -------------------------------------------------------------------

struct ServeOptions {
  int port = 0;
  bool once = false;
  std::string back_host;
  int back_port = 0;
  size_t chunk = kServeChunk;
  bool vectored = false;
  bool readv = false;
};

// The answer to request `q`: reply(q), or with --forward reply of what the
// back server answered to q (over `back`, connected on first use). False when
// the back server cannot be reached or does not answer.
bool answer_of(const Bytes& q, const ServeOptions& o, int& back, VectoredReader& from_back, Bytes& answer) {
  if (o.back_port <= 0) {
    answer = reply_of(q);
    return true;
  }
  if (back < 0 && (back = connect_to(o.back_host.c_str(), o.back_port, false)) < 0) {
    fail("connect to the back server");
    return false;
  }
  Bytes got;
  if (!send_message(back, q, o.vectored) ||
      !(o.readv ? from_back.next(back, got) : read_message(back, got, kServeChunk))) {
    fail("call to the back server");
    return false;
  }
  answer = reply_of(got);
  return true;
}

// Answers the requests of one connection. Requests are taken from a buffer
// filled with reads of up to `chunk` bytes, so a small request arrives in a
// single read; with --readv they are read one by one with readv.
void serve_connection(int fd, const ServeOptions& o) {
  no_delay(fd);
  bounded_waits(fd);
  int back = -1;
  VectoredReader from_back(kServeChunk);
  if (o.readv) {
    VectoredReader from_client(o.chunk);
    Bytes q, answer;
    while (from_client.next(fd, q) && answer_of(q, o, back, from_back, answer) &&
           send_message(fd, answer, o.vectored)) {
    }
    if (back >= 0) close(back);
    close(fd);
    return;
  }
  Bytes in;
  size_t used = 0;
  Bytes buf(o.chunk);
  for (;;) {
    // A complete request in the buffer?
    if (in.size() - used >= 4) {
      const uint32_t n = be32_at(&in[used]);
      if (n > kMaxMessage) {
        fprintf(stderr, "rr_peer: request length %u refused\n", n);
        break;
      }
      if (in.size() - used >= 4 + size_t{n}) {
        Bytes q(in.begin() + static_cast<long>(used) + 4, in.begin() + static_cast<long>(used) + 4 + n);
        used += 4 + size_t{n};
        if (used == in.size()) {
          in.clear();
          used = 0;
        }
        Bytes answer;
        if (!answer_of(q, o, back, from_back, answer) || !send_message(fd, answer, o.vectored)) break;
        continue;
      }
    }
    const ssize_t r = read(fd, buf.data(), buf.size());
    if (r > 0) {
      in.insert(in.end(), buf.begin(), buf.begin() + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    break;  // end of file, error or time-out
  }
  if (back >= 0) close(back);
  close(fd);
}

int serve(const ServeOptions& o) {
  const int l = listen_on(o.port);
  if (l < 0) {
    fail("listen");
    return 1;
  }
  for (;;) {
    const int fd = accept(l, nullptr, nullptr);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      fail("accept");
      return 1;
    }
    if (o.once) {
      serve_connection(fd, o);
      close(l);
      return 0;
    }
    std::thread(serve_connection, fd, o).detach();
  }
}

// --- call --------------------------------------------------------------------

struct CallOptions {
  std::string host;
  int port = 0;
  long rounds = 0;
  std::vector<size_t> sizes;
  size_t chunk = 64 * 1024;
  bool nonblock = false;
  bool small_buffers = false;
  bool peek = false;
  int hops = 1;
  bool send_only = false;
  bool vectored = false;
  bool readv = false;
};

// Waits for the first byte of the next message and peeks at it.
bool peek_first(int fd, uint8_t& b, Stats& st) {
  for (;;) {
    const ssize_t r = recv(fd, &b, 1, MSG_PEEK);
    if (r == 1) return true;
    if (r == 0) {
      errno = 0;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    ++st.waits;
    if (!wait_for(fd, POLLIN)) return false;
  }
}

int call(const CallOptions& o) {
  const int fd = connect_to(o.host.c_str(), o.port, o.small_buffers);
  if (fd < 0) {
    fail("connect");
    return 1;
  }
  if (o.nonblock) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

  Stats st;
  VectoredReader reader(o.chunk);
  uint64_t digest = 0xcbf29ce484222325ULL;
  unsigned long long sent = 0, received = 0;
  long bad = 0;
  for (long round = 0; round < o.rounds; ++round) {
    const size_t size = o.sizes[static_cast<size_t>(round) % o.sizes.size()];
    const Bytes q = request_of(static_cast<uint64_t>(round), size);
    if (!send_message(fd, q, o.vectored, &st)) {
      fprintf(stderr, "rr_peer: round %ld: write: %s\n", round, strerror(errno));
      return 1;
    }
    sent += 4 + q.size();
    if (o.send_only) continue;

    uint8_t first = 0;
    if (o.peek && !peek_first(fd, first, st)) {
      fprintf(stderr, "rr_peer: round %ld: peek: %s\n", round, strerror(errno));
      return 1;
    }
    Bytes got;
    if (!(o.readv ? reader.next(fd, got, &st) : read_message(fd, got, o.chunk, &st))) {
      fprintf(stderr, "rr_peer: round %ld: read: %s\n", round, errno ? strerror(errno) : "end of file");
      return 1;
    }
    received += 4 + got.size();
    Bytes want = q;
    for (int h = 0; h < o.hops; ++h) want = reply_of(want);
    const uint8_t want_first = static_cast<uint8_t>(want.size() >> 24);
    if (got != want || (o.peek && first != want_first)) {
      ++bad;
      size_t at = 0;
      while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
      fprintf(stderr, "rr_peer: round %ld: reply of %zu bytes differs (expected %zu, first difference at %zu%s)\n",
              round, got.size(), want.size(), at, o.peek && first != want_first ? ", peeked byte wrong" : "");
    }
    digest = fnv1a(got.data(), got.size(), digest);
  }

  if (o.send_only) {
    // Everything is written once the peer has read it all and closed.
    shutdown(fd, SHUT_WR);
    uint8_t rest[256];
    for (;;) {
      const ssize_t r = read(fd, rest, sizeof rest);
      if (r == 0) break;
      if (r > 0) {
        received += static_cast<unsigned long long>(r);
        continue;
      }
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(fd, POLLIN)) continue;
      fprintf(stderr, "rr_peer: waiting for the peer to close: %s\n", strerror(errno));
      return 1;
    }
  }
  close(fd);
  fprintf(stderr, "rr_peer: short-writes %ld waits %ld\n", st.short_writes, st.waits);
  printf("rounds %ld sent %llu received %llu digest %016" PRIx64 " %s\n", o.rounds, sent, received, digest,
         bad ? "MISMATCH" : "ok");
  return bad ? 1 : 0;
}

// --- raw-listen --------------------------------------------------------------

int raw_listen(int port, const char* file, int delay_ms) {
  const int l = listen_on(port);
  if (l < 0) {
    fail("listen");
    return 1;
  }
  const int fd = accept(l, nullptr, nullptr);
  close(l);
  if (fd < 0) {
    fail("accept");
    return 1;
  }
  FILE* out = fopen(file, "wb");
  if (!out) {
    fail(file);
    return 1;
  }
  if (delay_ms > 0) usleep(static_cast<useconds_t>(delay_ms) * 1000);
  unsigned long long total = 0;
  uint8_t buf[64 * 1024];
  int rc = 0;
  for (;;) {
    if (!wait_for(fd, POLLIN)) {
      fail("wait");
      rc = 1;
      break;
    }
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r == 0) break;
    if (r < 0) {
      if (errno == EINTR) continue;
      fail("read");
      rc = 1;
      break;
    }
    if (fwrite(buf, 1, static_cast<size_t>(r), out) != static_cast<size_t>(r)) {
      fail("write file");
      rc = 1;
      break;
    }
    total += static_cast<unsigned long long>(r);
  }
  if (fclose(out) != 0) rc = 1;
  close(fd);
  printf("received %llu\n", total);
  return rc;
}

// --- arguments ---------------------------------------------------------------

int usage() {
  fprintf(stderr,
          "usage: rr_peer serve <port|0> [--once] [--forward host:port] [--read-chunk N]\n"
          "                     [--vectored] [--readv]\n"
          "       rr_peer call <host> <port> <rounds> <size>... [--read-chunk N] [--nonblock]\n"
          "                    [--small-buffers] [--peek] [--hops H] [--send-only]\n"
          "                    [--vectored] [--readv]\n"
          "       rr_peer raw-listen <port|0> <file> [--delay-ms N]\n");
  return 2;
}

bool parse_size(const char* text, size_t& out, size_t min, size_t max) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = strtoull(text, &end, 10);
  if (errno || !end || *end || text[0] == '-' || v < min || v > max) return false;
  out = static_cast<size_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);

  if (mode == "serve") {
    ServeOptions o;
    if (!parse_port(args[0].c_str(), o.port)) return usage();
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--once") {
        o.once = true;
      } else if (args[i] == "--vectored") {
        o.vectored = true;
      } else if (args[i] == "--readv") {
        o.readv = true;
      } else if (args[i] == "--forward" && i + 1 < args.size()) {
        const std::string hp = args[++i];
        const size_t colon = hp.rfind(':');
        if (colon == std::string::npos || !parse_port(hp.c_str() + colon + 1, o.back_port) || o.back_port == 0)
          return usage();
        o.back_host = hp.substr(0, colon);
      } else if (args[i] == "--read-chunk" && i + 1 < args.size()) {
        if (!parse_size(args[++i].c_str(), o.chunk, 1, kMaxMessage)) return usage();
      } else {
        return usage();
      }
    }
    return serve(o);
  }

  if (mode == "call") {
    if (args.size() < 4) return usage();
    CallOptions o;
    o.host = args[0];
    size_t rounds = 0;
    if (!parse_port(args[1].c_str(), o.port) || o.port == 0 || !parse_size(args[2].c_str(), rounds, 0, 10000000))
      return usage();
    o.rounds = static_cast<long>(rounds);
    for (size_t i = 3; i < args.size(); ++i) {
      size_t v = 0;
      if (args[i] == "--read-chunk" && i + 1 < args.size()) {
        if (!parse_size(args[++i].c_str(), o.chunk, 1, kMaxMessage)) return usage();
      } else if (args[i] == "--hops" && i + 1 < args.size()) {
        if (!parse_size(args[++i].c_str(), v, 1, 8)) return usage();
        o.hops = static_cast<int>(v);
      } else if (args[i] == "--nonblock") {
        o.nonblock = true;
      } else if (args[i] == "--small-buffers") {
        o.small_buffers = true;
      } else if (args[i] == "--peek") {
        o.peek = true;
      } else if (args[i] == "--send-only") {
        o.send_only = true;
      } else if (args[i] == "--vectored") {
        o.vectored = true;
      } else if (args[i] == "--readv") {
        o.readv = true;
      } else if (parse_size(args[i].c_str(), v, 1, 1u << 20)) {
        o.sizes.push_back(v);
      } else {
        return usage();
      }
    }
    if (o.sizes.empty()) return usage();
    return call(o);
  }

  if (mode == "raw-listen") {
    if (args.size() < 2) return usage();
    int port = 0;
    size_t delay = 0;
    if (!parse_port(args[0].c_str(), port)) return usage();
    for (size_t i = 2; i < args.size(); ++i) {
      if (args[i] == "--delay-ms" && i + 1 < args.size()) {
        if (!parse_size(args[++i].c_str(), delay, 0, 60000)) return usage();
      } else {
        return usage();
      }
    }
    return raw_listen(port, args[1].c_str(), static_cast<int>(delay));
  }
  return usage();
}
