// tmax_peer: processes of a small TP-monitor domain, speaking framed
// messages over loopback TCP and local sockets. The integration tests run it
// under the names of the monitor's processes (a client handler "clh...", a
// gateway "tmgw...", an application server), so that the preloaded library
// classes each process by its name.
//
//   tmax_peer server <addr> [--recv]
//   tmax_peer forward <addr> <backend-addr> [--greedy]
//   tmax_peer client <addr> <count> <form> [--service NAME] [--body N]
//
// <addr> is "tcp:PORT" (127.0.0.1) or "unix:PATH". server and forward print
// "ready <addr>" once they listen and then serve each connection in a thread
// until killed.
//
// A message is a header and a body. The header starts with a magic that
// gives its form and byte order: 90 35 20 82 (136 bytes, big-endian),
// 82 20 35 90 (136 bytes, little-endian) or 00 00 27 0F (96 bytes,
// big-endian). Its kind is the 4-byte number at offset 16 in that byte
// order, the service name the text at offset 68, and the body length the
// 4-byte number at offset 100 (136-byte header) or 84 (96-byte header) in
// the host's byte order. <form> of client is 4be, 4le or 3.
//
// server answers each message with the same header, kind 1003 and the body
// reversed; it reads with read, or with recv (--recv). forward passes each
// message from its client to the backend whole (one write), and the
// backend's answer back to the client; it reads the header first and then
// the body (--greedy: reads as much as its buffer holds, and takes the
// messages out of what came). client sends <count> messages of kind 3 one
// after the other, checks every answer and prints "ok <count>"; exit status 0
// only when every answer was exact.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "peer_sockets.h"

namespace {

using namespace peer;

constexpr uint32_t kCall = 3, kAnswer = 1003;

struct Form {
  size_t hsize;
  size_t doffs;
  bool little;  // kind in little-endian order
};

bool form_of(const uint8_t* p, Form& f) {
  if (!memcmp(p, "\x90\x35\x20\x82", 4)) f = {136, 100, false};
  else if (!memcmp(p, "\x82\x20\x35\x90", 4)) f = {136, 100, true};
  else if (!memcmp(p, "\x00\x00\x27\x0f", 4)) f = {96, 84, false};
  else return false;
  return true;
}

[[maybe_unused]] uint32_t get_kind(const uint8_t* h, const Form& f) {
  const uint8_t* k = h + 16;
  return f.little ? k[0] | k[1] << 8 | k[2] << 16 | static_cast<uint32_t>(k[3]) << 24
                  : static_cast<uint32_t>(k[0]) << 24 | k[1] << 16 | k[2] << 8 | k[3];
}

void put_kind(uint8_t* h, const Form& f, uint32_t kind) {
  for (int i = 0; i < 4; ++i)
    h[16 + i] = static_cast<uint8_t>(f.little ? kind >> (8 * i) : kind >> (8 * (3 - i)));
}

// Reads messages from one connection, header first, or greedily; with read,
// or with recv when `use_recv`.
class Reader {
 public:
  Reader(int fd, bool greedy, bool use_recv = false) : fd_(fd), greedy_(greedy), recv_(use_recv) {}
  // One whole message, or false at the end or on a malformed header.
  bool next(std::vector<uint8_t>& msg) {
    if (!greedy_) {
      msg.assign(4, 0);
      if (!read_exact(fd_, msg.data(), 4, recv_)) return false;
      Form f;
      if (!form_of(msg.data(), f)) return false;
      msg.resize(f.hsize);
      if (!read_exact(fd_, msg.data() + 4, f.hsize - 4, recv_)) return false;
      const size_t body = body_of(msg.data(), f);
      msg.resize(f.hsize + body);
      return read_exact(fd_, msg.data() + f.hsize, body, recv_);
    }
    for (;;) {
      Form f;
      if (have_.size() >= 4 && !form_of(have_.data(), f)) return false;
      if (have_.size() >= 4 && have_.size() >= f.hsize) {
        const size_t total = f.hsize + body_of(have_.data(), f);
        if (have_.size() >= total) {
          msg.assign(have_.begin(), have_.begin() + static_cast<long>(total));
          have_.erase(have_.begin(), have_.begin() + static_cast<long>(total));
          return true;
        }
      }
      uint8_t buf[65536];
      const ssize_t k = read_some(fd_, buf, sizeof buf, recv_);
      if (k <= 0) return false;
      have_.insert(have_.end(), buf, buf + k);
    }
  }

  static size_t body_of(const uint8_t* h, const Form& f) {
    int32_t body;
    memcpy(&body, h + f.doffs, 4);
    return body < 0 || body > (1 << 24) ? 0 : static_cast<size_t>(body);
  }

 private:
  int fd_;
  bool greedy_;
  bool recv_;
  std::vector<uint8_t> have_;
};

std::vector<uint8_t> answer_of(std::vector<uint8_t> msg) {
  Form f;
  form_of(msg.data(), f);
  put_kind(msg.data(), f, kAnswer);
  std::reverse(msg.begin() + static_cast<long>(f.hsize), msg.end());
  return msg;
}

void serve(int c, bool use_recv) {
  Reader in(c, false, use_recv);
  std::vector<uint8_t> msg;
  while (in.next(msg)) {
    const std::vector<uint8_t> a = answer_of(msg);
    if (!write_all(c, a.data(), a.size())) break;
  }
  close(c);
}

void forward(int c, const std::string& backend, bool greedy) {
  const int b = connect_to(backend);
  if (b < 0) {
    fprintf(stderr, "forward: cannot reach %s\n", backend.c_str());
    close(c);
    return;
  }
  Reader from_client(c, greedy), from_backend(b, greedy);
  std::vector<uint8_t> msg;
  while (from_client.next(msg)) {
    if (!write_all(b, msg.data(), msg.size())) break;
    if (!from_backend.next(msg)) break;
    if (!write_all(c, msg.data(), msg.size())) break;
  }
  close(b);
  close(c);
}

std::vector<uint8_t> request(const std::string& form, const std::string& service, size_t body, int i) {
  const size_t hsize = form == "3" ? 96 : 136;
  std::vector<uint8_t> m(hsize + body, 0);
  memcpy(m.data(), form == "3" ? "\x00\x00\x27\x0f" : form == "4le" ? "\x82\x20\x35\x90" : "\x90\x35\x20\x82", 4);
  Form f;
  form_of(m.data(), f);
  put_kind(m.data(), f, kCall);
  memcpy(m.data() + 68, service.data(), std::min<size_t>(service.size(), form == "3" ? 16 : 32));
  const int32_t len = static_cast<int32_t>(body);
  memcpy(m.data() + f.doffs, &len, 4);
  for (size_t k = 0; k < body; ++k) m[hsize + k] = static_cast<uint8_t>('a' + (k * 7 + static_cast<size_t>(i)) % 26);
  return m;
}

int run_client(const std::string& addr, int count, const std::string& form, const std::string& service,
               size_t body) {
  const int c = connect_to(addr);
  if (c < 0) {
    fprintf(stderr, "client: cannot reach %s\n", addr.c_str());
    return 1;
  }
  Reader in(c, false);
  for (int i = 0; i < count; ++i) {
    const std::vector<uint8_t> q = request(form, service, body, i);
    std::vector<uint8_t> a;
    if (!write_all(c, q.data(), q.size()) || !in.next(a)) {
      fprintf(stderr, "client: connection ended at message %d\n", i);
      return 1;
    }
    if (a != answer_of(q)) {
      fprintf(stderr, "client: answer %d differs\n", i);
      return 1;
    }
  }
  close(c);
  printf("ok %d\n", count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a = start(argc, argv);
  auto option = [&](const char* name, const std::string& fallback) {
    for (size_t i = 0; i + 1 < a.size(); ++i)
      if (a[i] == name) return a[i + 1];
    return fallback;
  };
  const bool greedy = std::find(a.begin(), a.end(), "--greedy") != a.end();
  const bool use_recv = std::find(a.begin(), a.end(), "--recv") != a.end();
  if (a.size() >= 2 && a[0] == "server")
    return accept_loop(a[1], a[1], [use_recv](int c) { serve(c, use_recv); });
  if (a.size() >= 3 && a[0] == "forward") {
    const std::string backend = a[2];
    return accept_loop(a[1], a[1], [backend, greedy](int c) { forward(c, backend, greedy); });
  }
  if (a.size() >= 4 && a[0] == "client")
    return run_client(a[1], atoi(a[2].c_str()), a[3], option("--service", "SVC1"),
                      static_cast<size_t>(atoi(option("--body", "64").c_str())));
  fprintf(stderr, "usage: tmax_peer server|forward|client ...\n");
  return 2;
}
