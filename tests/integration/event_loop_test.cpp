// An event-driven server (one thread, epoll, non-blocking sockets) with each
// probe build preloaded is never stalled by one client: while one client
// holds a partial block and stays silent and another sends its messages one
// byte per segment, a third client's round trips stay fast; afterwards the
// silent client's connection works and the slow client's bytes arrived
// intact. The clients are this test program, which plays the monitored
// peers itself: it writes the blocks and takes them off the answers.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "block_bytes.h"
#include "build_param.h"
#include "probe_run.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kBlock = sizeof(gtuid_t);

class Client {
 public:
  explicit Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool ok() const { return ok_; }
  bool put(const std::string& s) { return write(fd_, s.data(), s.size()) == static_cast<ssize_t>(s.size()); }
  // Exactly n bytes, within 10 s; fewer when they do not come.
  std::string take(size_t n) {
    std::string s;
    char buf[4096];
    const auto deadline = Clock::now() + 10s;
    while (s.size() < n && Clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t k = read(fd_, buf, std::min(sizeof buf, n - s.size()));
      if (k <= 0) break;
      s.append(buf, static_cast<size_t>(k));
    }
    return s;
  }
  // The payloads of framed answers, until n payload bytes came: every
  // answer must open with a valid block.
  std::string take_framed(size_t n, std::string& fault) {
    std::string payload;
    while (payload.size() < n) {
      const std::string head = take(kBlock);
      gtuid_t b{};
      if (head.size() == kBlock) memcpy(&b, head.data(), kBlock);
      if (head.size() < kBlock || memcmp(b.init, kWireMarker, sizeof kWireMarker) != 0 || b.pck.get() > n - payload.size()) {
        fault = "answer without its block after " + std::to_string(payload.size()) + " bytes";
        break;
      }
      payload += take(b.pck.get());
    }
    return payload;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

class EventLoopTest : public ProbeBuildTest {};

TEST_P(EventLoopTest, OneClientNeverStallsTheOthers) {
  Background& server = box->start({EPOLL_ECHO_BIN});
  const std::string line = server.wait_first_line(20s);
  ASSERT_EQ(line.rfind("ready ", 0), 0u) << "server did not start: " << server.err();
  const int port = std::stoi(line.substr(6));

  // A block's first 40 bytes, then silence.
  const std::string held = block_bytes(1, 5);
  Client silent(port);
  ASSERT_TRUE(silent.ok());
  ASSERT_TRUE(silent.put(held.substr(0, 40)));
  std::this_thread::sleep_for(100ms);

  // Messages one byte per segment, a transaction on the second.
  std::string slow_fault, slow_got;
  const std::string slow_payload = "twenty bytes of text";
  std::thread slow([&] {
    Client c(port);
    if (!c.ok()) {
      slow_fault = "no connection";
      return;
    }
    for (uint8_t flag : {0, 1, 0}) {
      const std::string msg = block_bytes(flag, static_cast<uint32_t>(slow_payload.size())) + slow_payload;
      for (char ch : msg) {
        if (!c.put(std::string(1, ch))) {
          slow_fault = "write failed";
          return;
        }
        std::this_thread::sleep_for(3ms);
      }
      slow_got += c.take_framed(slow_payload.size(), slow_fault);
      if (!slow_fault.empty()) return;
    }
  });

  // Plain round trips meanwhile.
  Client quick(port);
  ASSERT_TRUE(quick.ok());
  std::vector<double> ms;
  const std::string ping(64, 'q');
  for (int i = 0; i < 200; ++i) {
    const auto t0 = Clock::now();
    ASSERT_TRUE(quick.put(ping));
    ASSERT_EQ(quick.take(ping.size()), ping) << "round " << i;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(2ms);
  }
  slow.join();
  std::sort(ms.begin(), ms.end());
  EXPECT_LT(ms[ms.size() * 99 / 100], 50.0) << "99th percentile of the round trips, ms";
  EXPECT_EQ(slow_fault, "");
  EXPECT_EQ(slow_got, slow_payload + slow_payload + slow_payload) << "the slow client's bytes";

  // The silent client completes its block: its connection works.
  ASSERT_TRUE(silent.put(held.substr(40) + "hello"));
  std::string fault;
  EXPECT_EQ(silent.take_framed(5, fault), "hello");
  EXPECT_EQ(fault, "");
  EXPECT_TRUE(server.running()) << server.err();
}

QEL_FOR_ALL_BUILDS(EventLoopTest);

}  // namespace
}  // namespace qel::test
