// Entries in the check home that must not make a peer look monitored: stale
// registrations, a live process that does not listen on the port, entries of
// another user, planted connection markers, and a planted entry reached
// through the relay's agent by a caller of "another host" (127.0.0.2). Each
// case runs twice: with an unmonitored peer, which must see exactly the
// other side's bytes (and the probe logs why it did not frame), and with a
// monitored peer, which still carries the transaction despite the planted
// entries.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>
#include <thread>
#include <tuple>
#include <vector>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "base/tav_registration.h"
#include "master_run.h"
#include "probe_run.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uid_t kNobody = 65534;

// Greets first, then prints (as hex) every byte its client sent.
constexpr const char* kServer = R"(
import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('0.0.0.0', int(sys.argv[1])))
s.listen()
print('ready', flush=True)
c, _ = s.accept()
c.sendall(b'220 hello\r\n')
got = b''
while True:
    part = c.recv(4096)
    if not part:
        break
    got += part
c.close()
print(got.hex(), flush=True)
)";

// Sends "hello", then prints (as hex) every byte the server sent. With a
// third argument it connects from that local port.
constexpr const char* kClient = R"(
import socket, sys
c = socket.socket()
if len(sys.argv) > 3:
    c.bind(('127.0.0.1', int(sys.argv[3])))
c.connect((sys.argv[1], int(sys.argv[2])))
c.sendall(b'hello')
c.shutdown(socket.SHUT_WR)
got = b''
while True:
    part = c.recv(4096)
    if not part:
        break
    got += part
print(got.hex())
)";

// The inode of the socket listening on port, from the kernel's tables.
uint64_t listening_inode(int port) {
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream f(line);
      std::string sl, local, remote, state, queues, timer, retr, uid, timeout, inode;
      f >> sl >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
      const size_t colon = local.rfind(':');
      if (state == "0A" && colon != std::string::npos &&
          std::stoi(local.substr(colon + 1), nullptr, 16) == port)
        return std::stoull(inode);
    }
  }
  return 0;
}

// A pid that was a process and is none now.
int ended_pid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

// Where a case plants its entries.
struct Site {
  std::string home;  // the check home
  int port;          // the server's port
  int client_port;   // the unmonitored client's own port
  uint64_t server_inode;

  std::string path(const std::string& name) const { return home + "/port/" + name; }
  std::string registrations() const { return path("127.0.0.1." + std::to_string(port)); }
  void write(const std::string& p, const std::string& text) const {
    fs::create_directories(fs::path(p).parent_path());
    std::ofstream(p) << text;
  }
  void address_entry() const { write(path("0.0.0.0." + std::to_string(port)), ""); }
};

std::string identity(int pid, uint64_t start, uint64_t inode) {
  return std::to_string(pid) + " " + std::to_string(start) + " " + std::to_string(inode) + "\n";
}

enum class Planted { registration, marker };

struct Case {
  const char* name;
  Planted kind;     // a registration fools a client; a marker, a server
  bool remote;      // the client asks the relay's agent (destination 127.0.0.2)
  bool other_user;  // planted entries belong to nobody (needs root)
  std::function<void(const Site&)> plant;
  std::function<std::string(const Site&)> logged;  // the line that says why
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string registration_line(const Site& s, const std::string& why) {
  return "registration 127.0.0.1." + std::to_string(s.port) + ": " + why;
}
std::string marker_line(const Site& s, const std::string& why) {
  return "marker 127.0.0.1." + std::to_string(s.client_port) + ": " + why;
}

const Case kCases[] = {
    {"StaleRegistrationOfAnEndedProcess", Planted::registration, false, false,
     [](const Site& s) {
       s.address_entry();
       const int gone = ended_pid();
       s.write(s.registrations() + "/" + std::to_string(gone), identity(gone, 4242, s.server_inode));
     },
     [](const Site& s) { return registration_line(s, "stale, not taken"); }},
    {"LiveProcessThatDoesNotListen", Planted::registration, false, false,
     [](const Site& s) {
       s.address_entry();
       s.write(s.registrations() + "/1", identity(1, tav::reg::process_start(1), s.server_inode + 1));
     },
     [](const Site& s) { return registration_line(s, "not listening, not taken"); }},
    {"EntriesOfAnotherUser", Planted::registration, false, true,
     [](const Site& s) {
       // Everything in it holds but its owner: a live process, the server's
       // own listening socket.
       s.address_entry();
       s.write(s.registrations() + "/" + std::to_string(getpid()),
               identity(getpid(), tav::reg::own_start(), s.server_inode));
     },
     [](const Site& s) { return registration_line(s, "owner not trusted, not taken"); }},
    {"PlantedMarkerOnTheAcceptingSide", Planted::marker, false, false,
     [](const Site& s) { s.write(s.path("127.0.0.1." + std::to_string(s.client_port)), ""); },
     [](const Site& s) { return marker_line(s, "malformed, not taken"); }},
    {"MarkerOfAnEndedWriter", Planted::marker, false, false,
     [](const Site& s) {
       const int gone = ended_pid();
       s.write(s.path("127.0.0.1." + std::to_string(s.client_port)), identity(gone, 4242, 0));
     },
     [](const Site& s) { return marker_line(s, "stale, not taken"); }},
    {"MarkerOfAnotherUser", Planted::marker, false, true,
     [](const Site& s) {
       s.write(s.path("127.0.0.1." + std::to_string(s.client_port)),
               identity(getpid(), tav::reg::own_start(), 0));
     },
     [](const Site& s) { return marker_line(s, "owner not trusted, not taken"); }},
    {"StaleRegistrationThroughTheAgent", Planted::registration, true, false,
     [](const Site& s) {
       s.address_entry();
       const int gone = ended_pid();
       s.write(s.registrations() + "/" + std::to_string(gone), identity(gone, 4242, s.server_inode));
     },
     [](const Site& s) {
       return "agent check port(" + std::to_string(s.port) + "): registration stale, NK.";
     }},
};

// Gives every planted entry (not what a probe wrote) to nobody.
void give_to_nobody(const std::string& home, const std::set<std::string>& before) {
  for (const auto& e : fs::recursive_directory_iterator(home))
    if (!before.count(e.path().string())) {
      ASSERT_EQ(lchown(e.path().c_str(), kNobody, kNobody), 0);
    }
}

std::set<std::string> entries(const std::string& home) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(home, ec); !ec && it != fs::end(it); it.increment(ec))
    out.insert(it->path().string());
  return out;
}

// Case × whether the peer on the other side is monitored too.
class PlantedEntries : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(PlantedEntries, PeerSeesExactlyTheOtherSidesBytes) {
  const Case& c = std::get<0>(GetParam());
  const bool both_monitored = std::get<1>(GetParam());
  if (!on_path("python3")) GTEST_SKIP() << "python3 is not on PATH";
  if (c.other_user && geteuid() != 0) GTEST_SKIP() << "needs root to give entries to another user";

  ProbeSandbox box("jeus");
  const int port = free_port(), client_port = free_port(), udp = free_port();
  // The agent listens for every case; only a remote destination asks it.
  Background& relay = box.start({RELAYD_BIN, box.write_file("relay.conf", agent_relay_settings(box, udp))}, {}, false);
  box.add_setting("qel.log", "ON");
  box.add_setting("qel.check.mode", "ON");
  box.add_setting("qel.check.udp.port", std::to_string(udp));
  box.add_setting("qel.check.udp.timeout", "2000");
  for (int i = 0; i < 100 && !fs::is_directory(box.check_home() + "/port"); ++i)
    std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(fs::is_directory(box.check_home() + "/port")) << relay_logs(box.log_dir());

  const bool server_monitored = both_monitored || c.kind == Planted::marker;
  const bool client_monitored = both_monitored || c.kind == Planted::registration;
  Background& server = box.start({"python3", box.write_file("server.py", kServer), std::to_string(port)},
                                 {}, server_monitored);
  ASSERT_EQ(server.wait_first_line(20s), "ready") << server.err();

  const Site site{box.check_home(), port, client_port, listening_inode(port)};
  ASSERT_GT(site.server_inode, 0u);
  const auto before = entries(box.check_home());
  c.plant(site);
  if (c.other_user) give_to_nobody(box.check_home(), before);

  std::vector<std::string> argv = {"python3", box.write_file("client.py", kClient),
                                    c.remote ? "127.0.0.2" : "127.0.0.1", std::to_string(port)};
  if (!client_monitored) argv.push_back(std::to_string(client_port));
  const RunResult client = client_monitored ? box.run(argv) : box.run_plain(argv);
  ASSERT_TRUE(client.ok()) << client.describe();
  const RunResult served = server.wait(10s);
  ASSERT_TRUE(served.ok()) << served.describe();

  EXPECT_EQ(served.out, "ready\n" + hex_of("hello") + "\n") << "what the server's host read";
  EXPECT_EQ(client.out, hex_of("220 hello\r\n") + "\n") << "what the client's host read";
  const std::string logs = probe_logs(box.log_dir()) + relay_logs(box.log_dir());
  const std::string service = "qel service set";
  if (both_monitored) {
    EXPECT_EQ(occurrences(logs, service), 2u) << "connect and accept both take the service\n" << logs;
  } else {
    EXPECT_EQ(occurrences(logs, service), 0u) << logs;
    EXPECT_NE(logs.find(c.logged(site)), std::string::npos) << c.logged(site) << "\n" << logs;
  }
  EXPECT_TRUE(relay.stop(SIGUSR1, 10s).ok());
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedEntries,
                         testing::Combine(testing::ValuesIn(kCases), testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_MonitoredPeer" : "_UnmonitoredPeer");
                         });

}  // namespace
}  // namespace qel::test
