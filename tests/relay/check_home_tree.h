// Helpers of the agent and delete thread tests: the check-home tree as a set
// of entries, plain files, and the thread stop signal.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "base/tav_registration.h"

namespace rlytest {

inline constexpr int kStopSignal = 39;

// Every entry below `root`, links not followed, as "path:kind".
inline std::set<std::string> tree(const std::string& root) {
  namespace fs = std::filesystem;
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const auto st = it->symlink_status();
    const char* kind = fs::is_symlink(st) ? "link" : fs::is_directory(st) ? "dir" : "file";
    out.insert(it->path().lexically_relative(root).string() + ":" + kind);
  }
  return out;
}

inline void touch(const std::string& path) { std::ofstream(path).flush(); }

// A socket of this process listening on 127.0.0.1:port, registered as a
// monitored server's probe registers it (R/port/127.0.0.1.port/pid with the
// process's identity and the socket). Tests running at the same time may
// listen on the same port: each has a socket of its own.
class LiveListener {
 public:
  explicit LiveListener(int port) : port_(port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~LiveListener() {
    if (fd_ >= 0) close(fd_);
  }
  LiveListener(const LiveListener&) = delete;
  LiveListener& operator=(const LiveListener&) = delete;

  bool ok() const { return fd_ >= 0; }
  // Writes the registration into the check home at `home`.
  bool register_in(const std::string& home) const {
    const std::string dir = home + "/port/127.0.0.1." + std::to_string(port_);
    std::filesystem::create_directories(dir);
    const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool ok = dfd >= 0 && tav::reg::write_entry(dfd, std::to_string(getpid()).c_str(),
                                                      tav::reg::socket_inode(fd_));
    if (dfd >= 0) close(dfd);
    return ok;
  }

 private:
  int port_;
  int fd_ = -1;
};

inline void nothing(int) {}

// Installs the handler of the stop signal without SA_RESTART: the signal
// must interrupt the thread's wait.
inline void install_stop_handler(void (*handler)(int)) {
  struct sigaction sa{};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(kStopSignal, &sa, nullptr);
}

}  // namespace rlytest
