// The whole path of a transaction's records: preloaded front and back
// servers write them onto the queues, the relay (relayd, or librelay in a
// host program) forwards them, and the development master writes them out.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "build_param.h"
#include "master_run.h"
#include "probe_run.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

using qel::test::free_port;

struct Relay {
  const char* name;
  const char* program;
};

// How the records leave the servers: through the relay's ring, or by the
// queue with the rings switched off.
struct Transport {
  const char* name;
  bool ring;
};

class Pipeline : public testing::TestWithParam<std::tuple<std::string, Relay, Transport>> {};

TEST_P(Pipeline, RecordsOfOneTransactionReachTheMaster) {
  const auto& [build, relay, transport] = GetParam();
  ProbeSandbox box(build);
  // The sandbox's log-control key is the gtuid key here: a ring with that
  // key is not taken for a control segment.
  const key_t gkey = box.key(2), tkey = box.key(3);
  std::vector<std::pair<std::string, std::string>> extra;
  if (!transport.ring) extra.emplace_back("TAV_RLY_RINGS", "OFF");
  MasterAndRelay master(box, TAVMASTER_BIN, relay.program, gkey, tkey, "01", extra);
  ASSERT_TRUE(master.ok()) << master.story();

  const int front_port = free_port(), back_port = free_port();
  box.add_setting("qel.mode", "FULL");
  box.add_setting("qel.gtuid.send.type", "QUEUE");
  box.add_setting("qel.gtuid.queue.name", key_text(gkey));
  box.add_setting("qel.gtuid.queue.count", "1");
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(front_port) + ":START");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", "9");  // both servers are local: no datagram
  Background& back = box.start({RR_PEER_BIN, "serve", std::to_string(back_port)});
  ASSERT_EQ(back.wait_first_line(20s), "ready " + std::to_string(back_port)) << back.err();
  Background& front = box.start({RR_PEER_BIN, "serve", std::to_string(front_port), "--forward",
                                 "127.0.0.1:" + std::to_string(back_port)});
  ASSERT_EQ(front.wait_first_line(20s), "ready " + std::to_string(front_port)) << front.err();

  const RunResult client =
      box.run_plain({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(front_port), "1", "300", "--hops", "2"});
  ASSERT_TRUE(client.ok()) << client.describe();

  // The WebLogic build leaves the report of the start to the server's
  // adapter: its entry read makes the identifier without a record.
  const size_t unreported = build == "weblogic" ? 1 : 0;
  std::vector<MasterRecord> lines = master.wait_records(6 - unreported);
  const RingCounts ring = ring_counts(gkey);
  const pid_t front_pid = front.pid(), back_pid = back.pid();
  const RunResult relay_end = master.stop_relay();
  const RunResult master_end = master.stop_master();
  // What the processes said, for a failure.
  const std::string story = "client: " + client.describe() + "\nfront: " + front.err() +
                            "\nback: " + back.err() + "\nrelay: " + relay_end.describe() +
                            "\nmaster: " + master_end.describe() + "\n" + master.story();
  EXPECT_TRUE(relay_end.ok()) << story;
  EXPECT_TRUE(master_end.ok()) << story;

  // Front: start, call out; back: receipt, answer; front: receipt, end.
  struct Step {
    pid_t pid;
    const char* event;
    const char* direction;
  };
  std::vector<Step> expected = {{front_pid, "S", "R"}, {front_pid, "C", "S"}, {back_pid, "C", "R"},
                                {back_pid, "C", "S"},  {front_pid, "C", "R"}, {front_pid, "E", "S"}};
  expected.erase(expected.begin(), expected.begin() + static_cast<long>(unreported));
  ASSERT_EQ(lines.size(), expected.size()) << story;
  std::sort(lines.begin(), lines.end(), [](const MasterRecord& a, const MasterRecord& b) { return a.seq < b.seq; });
  for (size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(i);
    char seq[24];
    snprintf(seq, sizeof seq, "%05zu", i + unreported);
    char pid[16];
    snprintf(pid, sizeof pid, "%08d", static_cast<int>(expected[i].pid % 100000000));
    EXPECT_EQ(lines[i].gtuid, lines[0].gtuid) << "one identifier for the whole transaction\n" << story;
    EXPECT_EQ(lines[i].seq, seq);
    EXPECT_EQ(lines[i].pid, pid);
    EXPECT_EQ(lines[i].event, expected[i].event);
    EXPECT_EQ(lines[i].direction, expected[i].direction);
  }
  EXPECT_EQ(lines[0].gtuid.size(), 22u);
  if (transport.ring) {
    EXPECT_TRUE(ring.found && ring.live) << story;
    EXPECT_EQ(ring.taken, expected.size()) << "every record came through the ring";
  } else {
    EXPECT_FALSE(ring.found) << "rings off: none is made";
  }
}

// A monitored client connects to 127.0.0.2 (not its own address): its probe
// asks the relay on the destination's host, whose agent thread finds the
// server's registered port, leaves the marker and answers "OK"; the server's
// accept consumes the marker, and both ends frame their messages. When the
// server has ended, the relay's delete thread removes its registrations.
TEST(AgentExchange, RealProbesAndARealRelay) {
  ProbeSandbox box("jeus");
  const int port = free_port(), udp = free_port();
  const std::string conf = box.write_file("relay.conf", agent_relay_settings(box, udp));
  Background& rly = box.start({RELAYD_BIN, conf}, {}, false);
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(udp));
  box.add_setting("qel.check.udp.timeout", "2000");

  const std::string server_py = box.write_file("server.py",
      "import socket, sys\n"
      "s = socket.socket(); s.bind(('0.0.0.0', int(sys.argv[1]))); s.listen()\n"
      "print('ready', flush=True)\n"
      "c, _ = s.accept(); data = c.recv(100); c.sendall(data.upper()); c.close()\n"
      "import time; time.sleep(60)\n");
  Background& server = box.start({"python3", server_py, std::to_string(port)});
  ASSERT_EQ(server.wait_first_line(20s), "ready") << server.err();
  const std::string registered = box.check_home() + "/port/0.0.0.0." + std::to_string(port);
  ASSERT_EQ(access(registered.c_str(), F_OK), 0) << "the server registered its port";

  const RunResult client = box.run({"python3", "-c",
      "import socket, sys\n"
      "c = socket.create_connection(('127.0.0.2', int(sys.argv[1])))\n"
      "c.sendall(b'hello'); print(c.recv(100).decode())\n",
      std::to_string(port)});
  ASSERT_TRUE(client.ok()) << client.describe();
  EXPECT_EQ(client.out, "HELLO\n") << "both ends frame and unframe: the host data is unchanged";

  std::string logs = probe_logs(box.log_dir()) + relay_logs(box.log_dir());
  EXPECT_NE(logs.find("connect. (127.0.0.2:" + std::to_string(port) + ") qel service set"), std::string::npos)
      << logs;
  EXPECT_NE(logs.find("accept. qel service set"), std::string::npos) << logs;
  EXPECT_NE(logs.find("agent sendto. OK"), std::string::npos) << logs;

  // The server ends: its registration goes with the relay's next scans.
  server.stop(SIGKILL);
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    gone = access(registered.c_str(), F_OK) != 0;
    if (!gone) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(gone) << registered;
  EXPECT_TRUE(rly.stop(SIGUSR1, 10s).ok());
}

const Relay kRelays[] = {{"relayd", RELAYD_BIN}, {"librelay", RELAY_HOST_BIN}};
const Transport kTransports[] = {{"ring", true}, {"queue", false}};

INSTANTIATE_TEST_SUITE_P(Builds, Pipeline,
                         testing::Combine(testing::ValuesIn(probe_builds()), testing::ValuesIn(kRelays),
                                          testing::ValuesIn(kTransports)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param).name + "_" +
                                  std::get<2>(info.param).name;
                         });

}  // namespace
}  // namespace qel::test
