// Test helpers for the relay: frames of the master link, a small master of
// the tests' own that listens on loopback, private System V queues that are
// always removed, settings files, and child processes that are always reaped.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_master_proto.h"

namespace rlytest {

inline long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Keys of this test process: 0x57PPPP00 + n.
inline key_t test_key(int n) {
  return static_cast<key_t>(0x57000000u | (static_cast<unsigned>(getpid()) & 0xffffu) << 8 |
                            static_cast<unsigned>(n));
}
inline std::string key_text(key_t k) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(k));
  return buf;
}

// Removes the queues of the given keys, and the record rings the relay
// made beside them, when it goes, whoever created them.
class QueueKeys {
 public:
  explicit QueueKeys(std::vector<key_t> keys) : keys_(std::move(keys)) { remove(); }
  ~QueueKeys() { remove(); }
  void remove() {
    for (key_t k : keys_) {
      int id = msgget(k, 0);
      if (id >= 0) msgctl(id, IPC_RMID, nullptr);
      id = shmget(k, 0, 0);
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
  }

 private:
  std::vector<key_t> keys_;
};

// Moves the calling thread (and the threads and processes it starts from now
// on) into an IPC namespace of its own whose queues may hold `bytes` bytes,
// without touching the system's settings. False where that is not allowed.
inline bool private_ipc(long bytes) {
  if (unshare(CLONE_NEWIPC) != 0) return false;
  int fd = open("/proc/sys/kernel/msgmnb", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string v = std::to_string(bytes);
  bool ok = write(fd, v.data(), v.size()) == static_cast<ssize_t>(v.size());
  close(fd);
  return ok;
}

// Waits until queue `key` exists; its id or -1.
inline int wait_queue(key_t key, int timeout_ms) {
  const long long end = now_ms() + timeout_ms;
  for (;;) {
    int id = msgget(key, 0);
    if (id >= 0 || now_ms() > end) return id;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// A record of `size` bytes whose content names it: byte j of record i.
inline std::string record(int size, int i) {
  std::string r(static_cast<size_t>(size), '\0');
  for (int j = 0; j < size; ++j) r[static_cast<size_t>(j)] = static_cast<char>((i * 131 + j * 7 + (i >> 8)) & 0xff);
  return r;
}

// msgsnd of one message (type = pid) with `text` after the type; waits for room.
inline bool put(int qid, const std::string& text) {
  std::vector<char> msg(sizeof(long) + text.size());
  long type = getpid();
  memcpy(msg.data(), &type, sizeof type);
  memcpy(msg.data() + sizeof type, text.data(), text.size());
  for (;;) {
    if (msgsnd(qid, msg.data(), text.size(), 0) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// One message of the master link: the whole frame, length field included.
struct Frame {
  std::string bytes;
  uint32_t length() const { return reinterpret_cast<const _tavMasterbuf*>(bytes.data())->pksz; }
  const _tavMasterhdr& hdr() const {
    return *reinterpret_cast<const _tavMasterhdr*>(bytes.data() + tav::master::kLenField);
  }
  std::string code() const { return std::string(hdr().trcode, sizeof hdr().trcode); }
  // Records of a batch of `size`-byte records.
  uint32_t count() const {
    return reinterpret_cast<const tav::be32*>(bytes.data() + tav::master::kBatchCountAt)->get();
  }
  std::string rec(int size, uint32_t i) const {
    return bytes.substr(tav::master::kBatchRecordsAt + static_cast<size_t>(size) * i,
                        static_cast<size_t>(size));
  }
};

enum class Got { kFrame, kEof, kTimeout };

// Reads exactly n bytes within the deadline.
inline Got read_exact(int fd, char* buf, size_t n, long long deadline) {
  size_t done = 0;
  while (done < n) {
    long long left = deadline - now_ms();
    if (left <= 0) return Got::kTimeout;
    pollfd p{fd, POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return Got::kTimeout;
    ssize_t r = recv(fd, buf + done, n - done, 0);
    if (r == 0) return Got::kEof;
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Got::kEof;
    }
    done += static_cast<size_t>(r);
  }
  return Got::kFrame;
}

// Reads one frame; lengths above 16 MiB are treated as the end.
inline Got read_frame(int fd, Frame* f, int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  char len4[4];
  Got g = read_exact(fd, len4, 4, deadline);
  if (g != Got::kFrame) return g;
  uint32_t len = reinterpret_cast<const _tavMasterbuf*>(len4)->pksz;
  if (len > (16u << 20)) return Got::kEof;
  f->bytes.assign(len4, 4);
  f->bytes.resize(4 + static_cast<size_t>(len));
  return read_exact(fd, f->bytes.data() + 4, len, deadline);
}

inline bool send_all(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t w = send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

// A frame from the master: header fields and a body.
inline std::string master_frame(char mtype, const char* code, const char* ercode, const std::string& body = {}) {
  std::string f(4 + tav::master::kHeader, '\0');
  reinterpret_cast<_tavMasterbuf*>(f.data())->pksz = static_cast<uint32_t>(tav::master::kHeader + body.size());
  auto* h = reinterpret_cast<_tavMasterhdr*>(f.data() + 4);
  tav::master::fill_header(*h, mtype, code);
  memcpy(h->ercode, ercode, 5);
  return f + body;
}

// One relay session as the master sees it.
class Session {
 public:
  explicit Session(int fd) : fd_(fd) {}
  ~Session() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }
  // The next frame: one put back first, then from the socket.
  Got read(Frame* f, int timeout_ms = 5000) {
    if (!early_.empty()) {
      *f = std::move(early_.front());
      early_.pop_front();
      return Got::kFrame;
    }
    return read_frame(fd_, f, timeout_ms);
  }
  // A frame that came before the one a test waited for, read again next.
  void put_back(Frame f) { early_.push_back(std::move(f)); }
  bool send(const std::string& s) { return send_all(fd_, s); }
  // Reads the opening request and answers it with `ercode`.
  bool open(Frame* opening, const char* ercode = "00000") {
    if (read(opening) != Got::kFrame) return false;
    if (opening->code() != tav::master::kOpen) return false;
    return send(master_frame('1', tav::master::kOpen, ercode));
  }
  // True when the relay ends the session within the time-out (data before
  // the end is skipped).
  bool ends(int timeout_ms) {
    const long long end = now_ms() + timeout_ms;
    char buf[65536];
    while (now_ms() < end) {
      pollfd p{fd_, POLLIN, 0};
      int rc = poll(&p, 1, 100);
      if (rc <= 0) continue;
      ssize_t r = recv(fd_, buf, sizeof buf, 0);
      if (r <= 0) return true;
    }
    return false;
  }

 private:
  int fd_;
  std::deque<Frame> early_;
};

// A listening socket on a loopback address.
class Listener {
 public:
  explicit Listener(const char* ip = "127.0.0.1", int port = 0, int rcvbuf = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 8) != 0) {
      close(fd_);
      fd_ = -1;
      return;
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  std::unique_ptr<Session> accept(int timeout_ms = 8000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return nullptr;
    int s = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) return nullptr;
    return std::make_unique<Session>(s);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port that nothing listens on right now.
inline int free_port() {
  Listener l;
  return l.port();
}

// Settings file text from key/value pairs, in order.
using Settings = std::vector<std::pair<std::string, std::string>>;
inline std::string settings_text(const Settings& s) {
  std::string out = "# relay settings of a test\n";
  for (const auto& [k, v] : s) out += k + " = " + v + "\n";
  return out;
}
inline void set(Settings& s, const std::string& key, const std::string& value) {
  for (auto& kv : s)
    if (kv.first == key) {
      kv.second = value;
      return;
    }
  s.emplace_back(key, value);
}
inline void erase(Settings& s, const std::string& key) {
  for (auto it = s.begin(); it != s.end(); ++it)
    if (it->first == key) {
      s.erase(it);
      return;
    }
}

// A child process with its standard output in a file; killed and reaped
// when it goes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& out_path) : out_(out_path) {
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }
  void signal(int sig) { kill(pid_, sig); }
  // Waits for the end; false on time-out. *status is the wait status.
  bool wait(int timeout_ms, int* status) {
    const long long end = now_ms() + timeout_ms;
    for (;;) {
      pid_t r = waitpid(pid_, status, WNOHANG);
      if (r == pid_) {
        reaped_ = true;
        return true;
      }
      if (now_ms() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  bool running() {
    int st;
    if (reaped_) return false;
    if (waitpid(pid_, &st, WNOHANG) == pid_) {
      reaped_ = true;
      return false;
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string out_;
};

}  // namespace rlytest
