// What a check-home entry holds: the identity text of its writer, read by
// every probe and relay of the host from files anyone in the tree may write.
//
// Input: the entry's bytes. Checked beside "no crash":
//  - an identity the parser takes is written back by the formatter as the
//    same text (with its one newline), and parses again to the same fields;
//  - the same bytes as an entry in a check home are judged without reading
//    past them, and count only when they name this live process and its
//    listening socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/tav_registration.h"
#include "fuzz_check.h"

namespace {

struct Home {
  std::string dir;
  int fd = -1;
  struct stat st {};
  int listener = -1;
  int port = 0;
};

const Home& home() {
  static const Home h = [] {
    Home x;
    char t[] = "/tmp/qel-registration-fuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(t) != nullptr);
    x.dir = t;
    x.fd = open(t, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(x.fd >= 0 && fstat(x.fd, &x.st) == 0);
    x.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    FUZZ_CHECK(bind(x.listener, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               listen(x.listener, 1) == 0 &&
               getsockname(x.listener, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    x.port = ntohs(a.sin_port);
    static char root[64];
    snprintf(root, sizeof root, "%s", t);
    atexit([] {
      unlink((std::string(root) + "/" + std::to_string(getpid())).c_str());
      rmdir(root);
    });
    return x;
  }();
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Home& h = home();
  const std::vector<char> text(data, data + size);  // exact size, no terminator
  tav::reg::Identity id;
  const bool parsed = tav::reg::parse_identity(text.data(), text.size(), &id);
  if (parsed) {
    char out[tav::reg::kIdentityText];
    const size_t n = tav::reg::format_identity(id, out, sizeof out);
    std::string in(text.begin(), text.end());
    if (in.empty() || in.back() != '\n') in += '\n';
    FUZZ_CHECK(n > 0 && std::string(out, n) == in);
    tav::reg::Identity again;
    FUZZ_CHECK(tav::reg::parse_identity(out, n, &again) && again.pid == id.pid &&
               again.start == id.start && again.inode == id.inode);
  }

  // As this process's registration: live only when it names this process,
  // its start time and the listening socket.
  const std::string name = std::to_string(getpid());
  const int fd = openat(h.fd, name.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
  FUZZ_CHECK(fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  close(fd);
  const tav::reg::Verdict v = tav::reg::check_entry(h.fd, name.c_str(), h.port, h.st);
  const bool names_us = parsed && id.pid == getpid() && id.start == tav::reg::own_start() &&
                        id.inode == tav::reg::socket_inode(h.listener);
  FUZZ_CHECK((v == tav::reg::Verdict::live) == names_us);
  if (!parsed) FUZZ_CHECK(v == tav::reg::Verdict::malformed);
  return 0;
}
