// Connection tracking between real processes with the probe preloaded: the
// check home on one host, and the agent exchange with another host's relay
// (played here by a UDP responder on 127.0.0.2).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "build_param.h"
#include "probe_run.h"

using namespace std::chrono_literals;
using qel::test::ProbeBuildTest;
using qel::test::occurrences;
using qel::test::probe_logs;
using qel::test::read_file;

namespace {

// A socket bound to ADDR:0 by the kernel; its port, while it stays open.
struct Bound {
  int fd;
  int port = 0;
  Bound(const char* ip, int type) : fd(socket(AF_INET, type, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    socklen_t n = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~Bound() { close(fd); }
};

// A TCP port that is free at the moment.
int free_port() { return Bound("127.0.0.1", SOCK_STREAM).port; }

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.insert(e.path().filename());
  return names;
}

class Tracking : public ProbeBuildTest {
 protected:
  void SetUp() override {
    ProbeBuildTest::SetUp();
    box->add_setting("qel.log", "ON");
    box->add_setting("qel.log.level", "1");
    box->add_setting("qel.check.mode", "ON");
  }
};

// A monitored client on this host connects to a monitored server: the server
// registered its port, the client left a marker without any UDP traffic, the
// server consumed it and took the connection as a service connection. A
// client without the probe stays an ordinary one.
TEST_P(Tracking, MonitoredPeersOnOneHost) {
  Bound agent("127.0.0.1", SOCK_DGRAM);  // would see any request sent
  box->add_setting("qel.check.udp.port", std::to_string(agent.port));
  const int port = free_port();
  const std::string p = std::to_string(port);
  auto& server = box->start({TCP_PEER_PROGRAM, "serve", "0.0.0.0", p, "3"});
  ASSERT_EQ(server.wait_first_line(10s), "ready") << server.err();

  const std::string home = box->check_home();
  const std::string pid = std::to_string(server.pid());
  const std::set<std::string> registered = {"0.0.0.0." + p, "127.0.0.1." + p};
  EXPECT_EQ(names_in(home + "/port"), registered);
  EXPECT_EQ(names_in(home + "/port/127.0.0.1." + p), std::set<std::string>{pid});
  EXPECT_EQ(names_in(home + "/proc/" + pid), registered);

  auto blocking = box->run({TCP_PEER_PROGRAM, "connect", "127.0.0.1", p});
  auto nonblocking = box->run({TCP_PEER_PROGRAM, "connect", "127.0.0.1", p, "nb"});
  auto plain = box->run_plain({TCP_PEER_PROGRAM, "connect", "127.0.0.1", p});
  for (const auto* r : {&blocking, &nonblocking, &plain}) {
    ASSERT_TRUE(r->ok()) << r->describe();
    EXPECT_EQ(r->out, "hello\n");
  }
  const auto done = server.stop(0, 10s);
  EXPECT_TRUE(done.ok()) << done.describe();

  const std::string logs = probe_logs(box->log_dir());
  EXPECT_EQ(occurrences(logs, "connect. (127.0.0.1:" + p + ") qel service set"), 2u) << logs;
  EXPECT_EQ(occurrences(logs, "accept. qel service set"), 2u) << logs;
  EXPECT_EQ(occurrences(logs, " create. accept fd("), 3u) << logs;
  // The markers were consumed; the registrations stay.
  EXPECT_EQ(names_in(home + "/port"), registered);
  pollfd pf{agent.fd, POLLIN, 0};
  EXPECT_EQ(poll(&pf, 1, 0), 0) << "a request went out for a local destination";
}

// Without a usable check home nothing is registered or marked, and the
// programs work as before.
TEST_P(Tracking, UnusableCheckHomeChangesNothing) {
  box->add_setting("qel.check.home", box->write_file("not-a-directory", "x"));
  box->add_setting("qel.check.udp.port", "9");
  const std::string p = std::to_string(free_port());
  auto& server = box->start({TCP_PEER_PROGRAM, "serve", "127.0.0.1", p, "1"});
  ASSERT_EQ(server.wait_first_line(10s), "ready") << server.err();
  auto client = box->run({TCP_PEER_PROGRAM, "connect", "127.0.0.1", p});
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "hello\n");
  EXPECT_TRUE(server.stop(0, 10s).ok());
  EXPECT_EQ(occurrences(probe_logs(box->log_dir()), "qel service set"), 0u);
}

struct AgentCase {
  const char* name;
  const char* reply;  // null: no answer
  bool asked;         // a request is expected
  bool service;
  std::vector<std::pair<std::string, std::string>> settings;
};

class AgentExchange : public testing::TestWithParam<std::tuple<std::string, AgentCase>> {};

// A connect to another host asks that host's relay with one datagram and
// honours its answer; silence counts as "not monitored" after the time-out.
TEST_P(AgentExchange, AsksTheRelayOfTheDestination) {
  const auto& [build, c] = GetParam();
  qel::test::ProbeSandbox box(build);
  Bound agent("127.0.0.2", SOCK_DGRAM);
  Bound server("127.0.0.2", SOCK_STREAM);
  ASSERT_TRUE(agent.port && server.port) << "127.0.0.2 is not usable here";
  ASSERT_EQ(listen(server.fd, 4), 0);
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(agent.port));
  box.add_setting("qel.check.udp.timeout", "300");
  for (const auto& [name, value] : c.settings) box.add_setting(name, value);

  std::string request, peer_text;
  int done[2];
  ASSERT_EQ(pipe(done), 0);
  std::thread relay([&] {
    pollfd pf[2] = {{agent.fd, POLLIN, 0}, {done[0], POLLIN, 0}};
    if (poll(pf, 2, 10000) < 1 || !(pf[0].revents & POLLIN)) return;
    char buf[512];
    sockaddr_in from{};
    socklen_t n = sizeof from;
    const ssize_t got = recvfrom(agent.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n);
    if (got > 0) request.assign(buf, static_cast<size_t>(got));
    if (c.reply) sendto(agent.fd, c.reply, 2, 0, reinterpret_cast<sockaddr*>(&from), n);
  });
  std::thread accepter([&] {
    sockaddr_in peer{};
    socklen_t n = sizeof peer;
    const int s = accept(server.fd, reinterpret_cast<sockaddr*>(&peer), &n);
    if (s < 0) return;
    char ip[16];
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    peer_text = std::string(ip) + "," + std::to_string(ntohs(peer.sin_port));
    // A monitored client frames its line: the echo sends block and line back.
    char line[512];
    const ssize_t got = read(s, line, sizeof line);
    if (got > 0) (void)!write(s, line, static_cast<size_t>(got));
    close(s);
  });
  const auto started = std::chrono::steady_clock::now();
  auto client = box.run({TCP_PEER_PROGRAM, "connect", "127.0.0.2", std::to_string(server.port)});
  const auto took = std::chrono::steady_clock::now() - started;
  (void)!write(done[1], "x", 1);
  relay.join();
  accepter.join();
  close(done[0]);
  close(done[1]);
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "hello\n");
  EXPECT_LT(took, 5s) << "the wait for the relay is bounded";

  const std::string logs = probe_logs(box.log_dir());
  EXPECT_EQ(occurrences(logs, "qel service set"), c.service ? 1u : 0u) << logs;
  if (!c.asked) {
    EXPECT_EQ(request, "") << "the relay was asked";
    return;
  }
  // fn=connect,sock=N,tp=1,la=<the address the server saw>,lp=<its port>,...
  const size_t comma = request.find(",tp=");
  ASSERT_EQ(request.rfind("fn=connect,sock=", 0), 0u) << request;
  ASSERT_NE(comma, std::string::npos) << request;
  const std::string la_lp = peer_text.substr(0, peer_text.find(',')) + ",lp=" +
                            peer_text.substr(peer_text.find(',') + 1);
  EXPECT_EQ(request.substr(comma), ",tp=1,la=" + la_lp + ",ra=127.0.0.2,rp=" +
                                        std::to_string(server.port))
      << request;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, AgentExchange,
    testing::Combine(testing::ValuesIn(qel::test::probe_builds()),
                     testing::Values(
                         AgentCase{"ok", "OK", true, true, {}},
                         AgentCase{"nk", "NK", true, false, {}},
                         AgentCase{"silence", nullptr, true, false, {}},
                         // A peer in the address list is known already.
                         AgentCase{"listed", "OK", false, false,
                                   {{"qel.ip.information", "127.0.0.2:*:SERVICE"}}},
                         AgentCase{"excluded", "OK", false, false,
                                   {{"qel.check.exclude.ip", "127.0.0.2:*"}}},
                         // Check mode off: only included peers are asked about.
                         AgentCase{"check_off", "OK", false, false, {{"qel.check.mode", "OFF"}}},
                         AgentCase{"check_off_included", "OK", true, true,
                                   {{"qel.check.mode", "OFF"},
                                    {"qel.check.include.ip", "127.0.0.2:*"}}})),
    [](const auto& info) {
      return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
    });

QEL_FOR_ALL_BUILDS(Tracking);

}  // namespace
