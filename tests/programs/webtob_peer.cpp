// webtob_peer: the processes of a small web server, an HTTP handler in front
// of a service process. The integration tests run it under the web server's
// process names ("hth..." for the handler), so that the preloaded library
// classes each process by its name.
//
//   webtob_peer handler <port> <service-addr> [--chunk N] [--header-first]
//   webtob_peer service <service-addr>
//   webtob_peer client <port> <count> <path>
//
// <service-addr> is "tcp:PORT" (127.0.0.1) or "unix:PATH". Both print
// "ready <port or addr>" once they listen and then serve each connection in a
// thread until killed.
//
// The handler takes HTTP/1.1 requests from clients (several on one
// connection), passes each to the service process behind a 96-byte header
// (magic 90 35 20 82, the request's length as 4 bytes in host byte order at
// offset 84) over one connection per client connection, and writes the
// answer that comes back, without its header, to the client. It reads the
// answer in reads of at most --chunk bytes (default 65536), the header and
// what follows it in one read, or with --header-first the 96-byte header
// alone first, and writes each piece to the client as it comes.
//
// client sends <count> requests for <path> one after the other on one
// connection, reads each answer whole, and prints "ok <count>" when every
// answer had status 200 and as many body bytes as its Content-Length said.
//
// The service process answers each request with "HTTP/1.1 200 OK", a
// Content-Length and a body: for a path "/big?n=K", K bytes of a fixed
// pattern, else "hello <path>\n". The answer goes out behind the same
// 96-byte header with its own length, in one write.
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

constexpr size_t kHead = 96;
constexpr size_t kLengthAt = 84;

// Reads HTTP requests from a connection; bytes of the next request that came
// with this one are kept.
class Requests {
 public:
  explicit Requests(int fd) : fd_(fd) {}
  bool next(std::string& req) {
    for (;;) {
      const size_t end = have_.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t body = 0;
        const size_t cl = have_.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) body = strtoul(have_.c_str() + cl + 16, nullptr, 10);
        const size_t total = end + 4 + body;
        if (have_.size() >= total) {
          req = have_.substr(0, total);
          have_.erase(0, total);
          return true;
        }
      }
      char buf[65536];
      const ssize_t k = read(fd_, buf, sizeof buf);
      if (k <= 0) return false;
      have_.append(buf, static_cast<size_t>(k));
    }
  }

 private:
  int fd_;
  std::string have_;
};

std::string head_for(size_t len) {
  std::string h(kHead, '\0');
  memcpy(&h[0], "\x90\x35\x20\x82", 4);
  const int32_t n = static_cast<int32_t>(len);
  memcpy(&h[kLengthAt], &n, 4);
  return h;
}

int32_t length_in(const char* head) {
  int32_t n;
  memcpy(&n, head + kLengthAt, 4);
  return n;
}

void handle(int c, const std::string& service, size_t chunk, bool header_first) {
  const int s = connect_to(service);
  if (s < 0) {
    fprintf(stderr, "handler: cannot reach %s\n", service.c_str());
    close(c);
    return;
  }
  Requests in(c);
  std::string req;
  std::vector<char> buf(std::max(chunk, kHead));
  while (in.next(req)) {
    const std::string msg = head_for(req.size()) + req;
    if (!write_all(s, msg.data(), msg.size())) break;
    // The answer's header, and with it what came along.
    size_t have = 0;
    if (header_first) {
      if (!read_exact(s, buf.data(), kHead)) break;
      have = kHead;
    } else {
      while (have < kHead) {
        const ssize_t k = read(s, buf.data() + have, buf.size() - have);
        if (k <= 0) break;
        have += static_cast<size_t>(k);
      }
      if (have < kHead) break;
    }
    const int32_t len = length_in(buf.data());
    if (len < 0) break;
    size_t sent = have - kHead;
    if (sent > 0 && !write_all(c, buf.data() + kHead, sent)) break;
    bool ok = true;
    while (ok && sent < static_cast<size_t>(len)) {
      const ssize_t k = read(s, buf.data(), std::min(buf.size(), static_cast<size_t>(len) - sent));
      ok = k > 0 && write_all(c, buf.data(), static_cast<size_t>(k));
      sent += k > 0 ? static_cast<size_t>(k) : 0;
    }
    if (!ok) break;
  }
  close(s);
  close(c);
}

std::string answer_to(const std::string& req) {
  const size_t sp = req.find(' ');
  const size_t sp2 = sp == std::string::npos ? sp : req.find(' ', sp + 1);
  const std::string path = sp2 == std::string::npos ? "?" : req.substr(sp + 1, sp2 - sp - 1);
  std::string body;
  if (path.rfind("/big?n=", 0) == 0) {
    const size_t n = strtoul(path.c_str() + 7, nullptr, 10);
    for (size_t i = 0; i < n; ++i) body.push_back(static_cast<char>('a' + (i * 7 + i / 26) % 26));
  } else {
    body = "hello " + path + "\n";
  }
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/plain\r\n\r\n" + body;
}

void serve(int c) {
  char head[kHead];
  while (read_exact(c, head, kHead)) {
    const int32_t len = length_in(head);
    if (len < 0 || len > (1 << 24)) break;
    std::string req(static_cast<size_t>(len), '\0');
    if (!read_exact(c, req.data(), req.size())) break;
    const std::string a = answer_to(req);
    const std::string msg = head_for(a.size()) + a;
    if (!write_all(c, msg.data(), msg.size())) break;
  }
  close(c);
}

int run_client(int port, int count, const std::string& path) {
  const int c = connect_to("tcp:" + std::to_string(port));
  if (c < 0) {
    fprintf(stderr, "client: cannot reach port %d\n", port);
    return 1;
  }
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: bench\r\n\r\n";
  std::string have;
  char buf[65536];
  for (int i = 0; i < count; ++i) {
    if (!write_all(c, req.data(), req.size())) return 1;
    size_t end, total = 0;
    for (;;) {
      end = have.find("\r\n\r\n");
      if (end != std::string::npos) {
        const size_t cl = have.find("Content-Length: ");
        total = end + 4 + (cl < end ? strtoul(have.c_str() + cl + 16, nullptr, 10) : 0);
        if (have.size() >= total) break;
      }
      const ssize_t k = read(c, buf, sizeof buf);
      if (k <= 0) {
        fprintf(stderr, "client: connection ended at request %d\n", i);
        return 1;
      }
      have.append(buf, static_cast<size_t>(k));
    }
    if (have.rfind("HTTP/1.1 200 ", 0) != 0) {
      fprintf(stderr, "client: answer %d: %s\n", i, have.substr(0, 40).c_str());
      return 1;
    }
    have.erase(0, total);
  }
  close(c);
  printf("ok %d\n", count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> a = start(argc, argv);
  size_t chunk = 65536;
  bool header_first = false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--chunk" && i + 1 < a.size()) chunk = strtoul(a[i + 1].c_str(), nullptr, 10);
    if (a[i] == "--header-first") header_first = true;
  }
  if (a.size() >= 3 && a[0] == "handler") {
    const std::string service = a[2];
    return accept_loop("tcp:" + a[1], a[1],
                       [service, chunk, header_first](int c) { handle(c, service, chunk, header_first); });
  }
  if (a.size() >= 2 && a[0] == "service") return accept_loop(a[1], a[1], serve);
  if (a.size() >= 4 && a[0] == "client") return run_client(atoi(a[1].c_str()), atoi(a[2].c_str()), a[3]);
  fprintf(stderr, "usage: webtob_peer handler|service|client ...\n");
  return 2;
}
