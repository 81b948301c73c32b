// The agent thread: request reading (a table of good and hostile requests
// and a seeded mutation run), the three served-port lookups and the marker,
// planted links that must not be followed, and the thread itself over real
// UDP on loopback addresses: replies, no reply for bad requests, the stop
// signal, and a port that is already taken.
#include "rly_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "check_home_tree.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qel::test::TempDir;

using rlytest::install_stop_handler;
using rlytest::kStopSignal;
using rlytest::nothing;
using rlytest::touch;
using rlytest::tree;
const std::string kGood = "fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080";

// ---- helpers ---------------------------------------------------------------


bool is_regular(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}


// Logging into a directory of the test, detail lines included.
class LogToDir {
 public:
  LogToDir() {
    snprintf(en_log_path, sizeof en_log_path, "%s", dir_.path().c_str());
    snprintf(en_log_file, sizeof en_log_file, "agent");
    snprintf(en_agent, sizeof en_agent, "AGTEST");
    rly::log_reset();
    en_log = 1;
    en_log_level = 1;
  }
  ~LogToDir() {
    en_log = 0;
    en_log_level = 0;
    rly::log_reset();
  }
  std::string text() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(dir_.path())) all += TempDir::read(e.path().string());
    return all;
  }

 private:
  TempDir dir_;
};

int free_udp_port() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// A probe's side of the exchange: a UDP socket bound to its own address and
// connected to the agent, as the probe library sends its requests.
class Client {
 public:
  Client(const char* own, const char* agent, int port) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, own, &a.sin_addr);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, agent, &to.sin_addr);
    connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void send(const std::string& text) { ::send(fd_, text.data(), text.size(), 0); }
  // The next reply, or "" when none comes within wait_ms.
  std::string reply(int wait_ms) {
    pollfd p{fd_, POLLIN, 0};
    while (poll(&p, 1, wait_ms) == 1) {
      char buf[64];
      const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n >= 0) return std::string(buf, static_cast<size_t>(n));
      // An error queued by an earlier datagram to a port not yet bound.
    }
    return "";
  }
  std::string ask(const std::string& text, int wait_ms) {
    send(text);
    return reply(wait_ms);
  }

 private:
  int fd_ = -1;
};


// The agent thread on a free port, stopped as the relay stops it: state 4,
// then the stop signal.
class AgentThread {
 public:
  explicit AgentThread(std::string home) : home_(std::move(home)) {
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) start();
  }
  ~AgentThread() { stop(); }

  bool ready() const { return ready_; }
  int port() const { return port_; }
  bool done() const { return done_; }
  int result() const { return result_; }
  void signal() { pthread_kill(thread_.native_handle(), kStopSignal); }

  void stop() {
    if (!thread_.joinable()) return;
    __atomic_store_n(&state_, 4, __ATOMIC_RELEASE);
    // Signalled again until it has ended, as the relay does.
    for (int i = 0; i < 100 && !done_; ++i) {
      signal();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    thread_.join();
  }

 private:
  void start() {
    port_ = free_udp_port();
    __atomic_store_n(&state_, 0, __ATOMIC_RELEASE);
    done_ = false;
    thread_ = std::thread([this] {
      result_ = rly_agent_serve(port_, home_.c_str(), &state_);
      done_ = true;
    });
    // Ready once it answers a request for a port nobody serves.
    Client probe("127.0.0.1", "127.0.0.1", port_);
    for (int i = 0; i < 60 && !done_ && !ready_; ++i)
      ready_ = probe.ask("fn=connect,tp=1,la=127.0.0.1,lp=1,ra=127.0.0.1,rp=1", 50) == "NK";
    if (!ready_) stop();
  }

  std::string home_;
  std::thread thread_;
  volatile int state_ = 0;
  std::atomic<bool> done_{false};
  std::atomic<int> result_{0};
  int port_ = 0;
  bool ready_ = false;
};

// A check home under a temporary directory, with a directory outside it that
// planted links point into.
class AgentCheckHome : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    home_ = tmp_.file("tav");
    outside_ = tmp_.file("outside");
    fs::create_directory(outside_);
    tmp_.write("outside/secret", "keep me");
    rly::home_prepare(home_.c_str());
    ASSERT_TRUE(listener_.ok()) << "cannot listen on 127.0.0.1:8080";
  }
  std::string port(const std::string& name) const { return home_ + "/port/" + name; }
  // Port 8080 served here: a live registration of a listening socket.
  void serve() { ASSERT_TRUE(listener_.register_in(home_)); }
  std::string registration() const { return "port/127.0.0.1.8080/" + std::to_string(getpid()); }
  int request(const std::string& text, const char* sender, char reply[3]) const {
    return rly_agent_request(home_.c_str(), text.data(), static_cast<int>(text.size()), sender, reply);
  }

  TempDir tmp_;
  std::string home_;
  std::string outside_;
  rlytest::LiveListener listener_{8080};
};

// The marker holds the identity of the relay that left it.
bool marker_of_this_process(const std::string& path) {
  const std::string text = TempDir::read(path);
  tav::reg::Identity id;
  return tav::reg::parse_identity(text.data(), text.size(), &id) && id.pid == getpid() &&
         id.start == tav::reg::own_start();
}

// ---- reading requests --------------------------------------------------------

struct ParseCase {
  const char* name;
  std::string text;
  int expected;
};

std::string longest_good() {
  // Padded with an ignored field to exactly the longest length.
  std::string s = kGood + ",x=";
  s.append(RLY_AGENT_MSG_MAX - s.size(), 'y');
  return s;
}

TEST(AgentParse, TableOfGoodAndHostileRequests) {
  const std::string nul("fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9\0,rp=8080", 57);
  const std::vector<ParseCase> cases = {
      {"as a probe sends it", kGood, RLY_REQ_OK},
      {"any order, any case, no sock", "rp=65535,ra=127.0.0.1,lp=1,la=0.0.0.0,tp=-1,fn=Check", RLY_REQ_OK},
      {"unknown fields are ignored", kGood + ",zz=whatever", RLY_REQ_OK},
      {"longest accepted", longest_good(), RLY_REQ_OK},
      {"one byte too long", longest_good() + "y", RLY_REQ_MALFORMED},
      {"no fn", "sock=7,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_NO_FN},
      {"no la", "fn=connect,tp=1,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_NO_LOCAL},
      {"no lp", "fn=connect,tp=1,la=10.0.0.5,ra=10.0.0.9,rp=8080", RLY_REQ_NO_LOCAL},
      {"fn not C", "fn=xonnect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_BAD_FN},
      {"fn checked before ra", "fn=disconnect,la=10.0.0.5,lp=40000", RLY_REQ_BAD_FN},
      {"no ra", "fn=connect,tp=1,la=10.0.0.5,lp=40000,rp=8080", RLY_REQ_NO_REMOTE},
      {"no rp", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9", RLY_REQ_NO_REMOTE},
      {"no tp", "fn=connect,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_NO_REMOTE},
      {"empty", "", RLY_REQ_MALFORMED},
      {"ra is a path", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=../../etc,rp=8080", RLY_REQ_MALFORMED},
      {"ra with slash", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9/x,rp=8080", RLY_REQ_MALFORMED},
      {"ra absolute", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=/tmp/x,rp=8080", RLY_REQ_MALFORMED},
      {"ra octet 256", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.256,rp=8080", RLY_REQ_MALFORMED},
      {"ra three parts", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"ra five parts", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9.1,rp=8080", RLY_REQ_MALFORMED},
      {"ra leading zero", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=010.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"ra empty", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=,rp=8080", RLY_REQ_MALFORMED},
      {"ra hex", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=0x0a.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"ra trailing dot", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9.,rp=8080", RLY_REQ_MALFORMED},
      {"la is a path", "fn=connect,tp=1,la=../x,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"lp 0", "fn=connect,tp=1,la=10.0.0.5,lp=0,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"lp 65536", "fn=connect,tp=1,la=10.0.0.5,lp=65536,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"lp negative", "fn=connect,tp=1,la=10.0.0.5,lp=-1,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"lp leading zero", "fn=connect,tp=1,la=10.0.0.5,lp=040000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"lp huge", "fn=connect,tp=1,la=10.0.0.5,lp=99999999999999999999,ra=10.0.0.9,rp=8080",
       RLY_REQ_MALFORMED},
      {"rp text", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=http", RLY_REQ_MALFORMED},
      {"rp with path", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=80/../x", RLY_REQ_MALFORMED},
      {"tp overflow", "fn=connect,tp=99999999999,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"sock not a number", "fn=connect,sock=x,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080",
       RLY_REQ_MALFORMED},
      {"fn with digits", "fn=c0nnect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"fn too long", "fn=connectconnectconnect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080",
       RLY_REQ_MALFORMED},
      {"repeated ra", kGood + ",ra=127.0.0.1", RLY_REQ_MALFORMED},
      {"field without =", "fn=connect,garbage,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080",
       RLY_REQ_MALFORMED},
      {"empty key", "fn=connect,=1,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"trailing comma", kGood + ",", RLY_REQ_MALFORMED},
      {"space", "fn=connect, tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080", RLY_REQ_MALFORMED},
      {"newline", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080\n", RLY_REQ_MALFORMED},
      {"NUL inside", nul, RLY_REQ_MALFORMED},
      {"high bytes", "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080\xff", RLY_REQ_MALFORMED},
  };
  for (const auto& c : cases) {
    rly_agent_req req;
    EXPECT_EQ(rly_agent_parse(c.text.data(), static_cast<int>(c.text.size()), &req), c.expected)
        << c.name << ": " << c.text;
  }
}

TEST(AgentParse, FieldsOfAGoodRequest) {
  rly_agent_req req;
  ASSERT_EQ(rly_agent_parse(kGood.data(), static_cast<int>(kGood.size()), &req), RLY_REQ_OK);
  EXPECT_STREQ(req.fn, "connect");
  EXPECT_EQ(req.tp, 1);
  EXPECT_STREQ(req.la, "10.0.0.5");
  EXPECT_EQ(req.lp, 40000);
  EXPECT_STREQ(req.ra, "10.0.0.9");
  EXPECT_EQ(req.rp, 8080);
  // A length shorter than the text reads only that much: the cut text
  // "...rp=80" is a different port.
  ASSERT_EQ(rly_agent_parse(kGood.data(), static_cast<int>(kGood.size()) - 2, &req), RLY_REQ_OK);
  EXPECT_EQ(req.rp, 80);
  EXPECT_EQ(rly_agent_parse(nullptr, 10, &req), RLY_REQ_MALFORMED);
}

TEST(AgentNames, PortNamesAreCanonicalAddressAndPort) {
  for (const char* good : {"0.0.0.0.8080", "127.0.0.1.1", "255.255.255.255.65535", "10.0.0.5.40000"})
    EXPECT_TRUE(rly::port_name(good)) << good;
  for (const char* bad : {"", "8080", "10.0.0.5", "10.0.0.5.", "10.0.0.5.0", "10.0.0.5.65536",
                          "10.0.0.5.08080", "010.0.0.5.80", "10.0.0.5.80x", "1.2.3.4.5.6", "a.b.c.d.80",
                          "10.0.0.256.80", "..", "10.0.0.5.80/.."})
    EXPECT_FALSE(rly::port_name(bad)) << bad;
}

// ---- answering requests --------------------------------------------------------

struct ServedCase {
  const char* what;
  const char* named;   // an address entry made under R/port ("" for none)
  enum { kNone, kLive, kPlanted } registration;
  const char* expected;
};

TEST_F(AgentCheckHome, ServedOnlyByALiveRegistrationElseNK) {
  const std::vector<ServedCase> cases = {
      {"destination address", "10.0.0.9.8080", ServedCase::kLive, "OK"},
      {"any-address", "0.0.0.0.8080", ServedCase::kLive, "OK"},
      {"registration alone", "", ServedCase::kLive, "OK"},
      {"address entry alone", "0.0.0.0.8080", ServedCase::kNone, "NK"},
      {"destination address entry alone", "10.0.0.9.8080", ServedCase::kNone, "NK"},
      {"registration planted by hand", "0.0.0.0.8080", ServedCase::kPlanted, "NK"},
      {"another port", "10.0.0.9.8081", ServedCase::kNone, "NK"},
      {"nothing", "", ServedCase::kNone, "NK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(home_ + "/port");
    fs::create_directory(home_ + "/port");
    if (*c.named) touch(port(c.named));
    if (c.registration == ServedCase::kLive) serve();
    if (c.registration == ServedCase::kPlanted) {
      fs::create_directory(port("127.0.0.1.8080"));
      touch(port("127.0.0.1.8080/1"));
    }
    const auto before = tree(home_);
    char reply[3] = {};
    ASSERT_EQ(request(kGood, "127.0.0.3", reply), 1);
    EXPECT_STREQ(reply, c.expected);
    if (std::string(c.expected) == "OK") {
      // Named after the sender, not after la; writable by all; the relay's.
      EXPECT_TRUE(is_regular(port("127.0.0.3.40000")));
      EXPECT_EQ(mode_of(port("127.0.0.3.40000")), 0666u);
      EXPECT_TRUE(marker_of_this_process(port("127.0.0.3.40000")));
      EXPECT_FALSE(fs::exists(port("10.0.0.5.40000")));
      auto after = tree(home_);
      after.erase("port/127.0.0.3.40000:file");
      EXPECT_EQ(after, before);
    } else {
      EXPECT_EQ(tree(home_), before);
    }
  }
}

TEST_F(AgentCheckHome, MarkerModeDoesNotDependOnTheUmask) {
  serve();
  const mode_t old = umask(077);
  char reply[3] = {};
  const int rc = request(kGood, "127.0.0.3", reply);
  umask(old);
  ASSERT_EQ(rc, 1);
  EXPECT_STREQ(reply, "OK");
  EXPECT_EQ(mode_of(port("127.0.0.3.40000")), 0666u);
}

TEST_F(AgentCheckHome, PrepareMakesTheTreeWritableByAll) {
  const std::string other = tmp_.file("other");
  const mode_t old = umask(022);
  rly::home_prepare(other.c_str());
  umask(old);
  EXPECT_EQ(mode_of(other), 0777u);
  EXPECT_EQ(mode_of(other + "/port"), 0777u);
  EXPECT_EQ(mode_of(other + "/proc"), 0777u);
  // Existing entries are kept as they are.
  fs::permissions(other + "/proc", fs::perms(0755));
  tmp_.write("other/port/1.2.3.4.5", "");
  rly::home_prepare(other.c_str());
  EXPECT_EQ(mode_of(other + "/proc"), 0755u);
  EXPECT_TRUE(is_regular(other + "/port/1.2.3.4.5"));
}

// Kept for one group: the home, port and proc get the group and the mode,
// set-group-id included, whether they were there before or not.
TEST_F(AgentCheckHome, PrepareGivesTheTreeToOneGroup) {
  const std::string other = tmp_.file("grouped");
  fs::create_directory(other);
  rly::set_home_access(static_cast<int>(getegid()), 02770);
  rly::home_prepare(other.c_str());
  rly::set_home_access(-1, 0);
  for (const std::string& dir : {other, other + "/port", other + "/proc"}) {
    SCOPED_TRACE(dir);
    struct stat st;
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 02770u);
    EXPECT_EQ(st.st_gid, getegid());
  }
}

TEST_F(AgentCheckHome, ExistingMarkerOfTheRelaysUserIsRewrittenAndStillOK) {
  serve();
  tmp_.write("tav/port/127.0.0.3.40000", "x");
  char reply[3] = {};
  ASSERT_EQ(request(kGood, "127.0.0.3", reply), 1);
  EXPECT_STREQ(reply, "OK");
  EXPECT_TRUE(marker_of_this_process(port("127.0.0.3.40000")));
}

TEST_F(AgentCheckHome, PlantedLinksAreNotFollowed) {
  serve();
  // A link where the marker goes: not a marker, and its target stays as it is.
  fs::create_symlink(outside_ + "/secret", port("127.0.0.3.40000"));
  fs::create_symlink(outside_ + "/new", port("127.0.0.3.40001"));
  // A directory there is not a marker either.
  fs::create_directory(port("127.0.0.3.40002"));
  for (int lp : {40000, 40001, 40002}) {
    char reply[3] = {};
    const std::string text = "fn=connect,tp=1,la=10.0.0.5,lp=" + std::to_string(lp) + ",ra=10.0.0.9,rp=8080";
    ASSERT_EQ(request(text, "127.0.0.3", reply), 1);
    EXPECT_STREQ(reply, "NK") << lp;
  }
  EXPECT_EQ(TempDir::read(outside_ + "/secret"), "keep me");
  EXPECT_FALSE(fs::exists(outside_ + "/new"));

  // R/port itself a link to a directory outside that looks served.
  fs::remove_all(home_ + "/port");
  touch(outside_ + "/0.0.0.0.8080");
  fs::create_directory_symlink(outside_, home_ + "/port");
  const auto before = tree(outside_);
  char reply[3] = {};
  ASSERT_EQ(request(kGood, "127.0.0.3", reply), 1);
  EXPECT_STREQ(reply, "NK");
  EXPECT_EQ(tree(outside_), before);
}

TEST_F(AgentCheckHome, RootLinkOfAnotherUserIsRefused) {
  serve();
  const std::string link = tmp_.file("link");
  fs::create_directory_symlink(home_, link);
  char reply[3] = {};
  // A link of this process's own user is the administrator's choice.
  ASSERT_EQ(rly_agent_request(link.c_str(), kGood.data(), static_cast<int>(kGood.size()), "127.0.0.3", reply), 1);
  EXPECT_STREQ(reply, "OK");
  fs::remove(port("127.0.0.3.40000"));
  if (lchown(link.c_str(), 4242, 4242) != 0) GTEST_SKIP() << "cannot give the link another owner";
  ASSERT_EQ(rly_agent_request(link.c_str(), kGood.data(), static_cast<int>(kGood.size()), "127.0.0.3", reply), 1);
  EXPECT_STREQ(reply, "NK");
  EXPECT_FALSE(fs::exists(port("127.0.0.3.40000")));
}

TEST_F(AgentCheckHome, BadRequestsAndSendersGetNoReplyAndChangeNothing) {
  serve();
  const auto before = tree(home_);
  char reply[3] = {};
  for (const std::string& text : std::vector<std::string>{std::string("sock=7,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080"),
        std::string("fn=xonnect,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080"),
        std::string("fn=connect,tp=1,la=10.0.0.5,lp=40000,rp=8080"),
        std::string("fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=../../x,rp=8080"),
        std::string("fn=connect,tp=1,la=10.0.0.5,lp=../../x,ra=10.0.0.9,rp=8080")})
    EXPECT_EQ(request(text, "127.0.0.3", reply), 0) << text;
  for (const char* sender : {"../../x", "127.0.0.3/..", "", "1.2.3", "127.0.0.3.9"})
    EXPECT_EQ(request(kGood, sender, reply), 0) << sender;
  EXPECT_EQ(request(kGood, nullptr, reply), 0);
  EXPECT_EQ(tree(home_), before);
}

// Seeded mutations of good requests. Whatever the text, the only entry that
// may appear is a marker named after the sender and a valid port, a reply
// comes only for a request that reads as good, and nothing outside changes.
TEST_F(AgentCheckHome, MutatedRequestsNeverLeaveTheirPlace) {
  serve();
  fs::create_symlink(outside_, home_ + "/port/10.0.0.9.8081");
  const auto outside_before = tree(outside_);
  static const char kAlphabet[] = ",=./-0123456789acflnprst\n\0\xff";
  const std::string alphabet(kAlphabet, sizeof kAlphabet - 1);
  std::mt19937 rng(20261210);
  int answered = 0;
  int silent = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string text = kGood;
    if (i % 2) text = "fn=c,tp=1,la=1.2.3.4,lp=" + std::to_string(rng() % 70000) + ",ra=127.0.0.1,rp=8080";
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = rng() % text.size();
      switch (rng() % 4) {
        case 0: text[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: text.insert(at, 1, alphabet[rng() % alphabet.size()]); break;
        case 2: text.erase(at, 1 + rng() % 6); break;
        default: text.insert(at, text.substr(rng() % text.size(), rng() % 12)); break;
      }
    }
    char reply[3] = {};
    rly_agent_req req;
    const bool good = rly_agent_parse(text.data(), static_cast<int>(text.size()), &req) == RLY_REQ_OK;
    const int rc = request(text, "127.0.0.3", reply);
    ASSERT_EQ(rc == 1, good) << text;
    if (rc == 1) {
      ++answered;
      ASSERT_TRUE(std::string(reply) == "OK" || std::string(reply) == "NK");
      if (std::string(reply) == "OK") fs::remove(port("127.0.0.3." + std::to_string(req.lp)));
    } else {
      ++silent;
    }
  }
  EXPECT_GT(answered, 100);
  EXPECT_GT(silent, 100);
  EXPECT_EQ(tree(home_), (std::set<std::string>{"port:dir", "proc:dir", "port/127.0.0.1.8080:dir",
                                                registration() + ":file", "port/10.0.0.9.8081:link"}));
  EXPECT_EQ(tree(outside_), outside_before);
  EXPECT_EQ(TempDir::read(outside_ + "/secret"), "keep me");
}

// ---- the thread over UDP ---------------------------------------------------

class AgentOverUdp : public AgentCheckHome {
 protected:
  void SetUp() override {
    AgentCheckHome::SetUp();
    install_stop_handler(nothing);
  }
  LogToDir log_;
};

TEST_F(AgentOverUdp, AnswersOKFromTheAddressAskedAndNamesTheMarkerAfterTheSender) {
  serve();
  AgentThread agent(home_);
  ASSERT_TRUE(agent.ready());
  {
    // The probe asks the agent of "another host" at 127.0.0.2.
    Client client("127.0.0.1", "127.0.0.2", agent.port());
    EXPECT_EQ(client.ask("fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080", 2000), "OK");
    EXPECT_TRUE(is_regular(port("127.0.0.1.40000")));
    EXPECT_FALSE(fs::exists(port("10.0.0.5.40000")));
  }
  {
    Client client("127.0.0.2", "127.0.0.1", agent.port());
    EXPECT_EQ(client.ask("fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40001,ra=127.0.0.1,rp=8080", 2000), "OK");
    EXPECT_TRUE(is_regular(port("127.0.0.2.40001")));
    const auto before = tree(home_);
    EXPECT_EQ(client.ask("fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40002,ra=127.0.0.1,rp=8081", 2000), "NK");
    EXPECT_EQ(tree(home_), before);
  }
  agent.stop();
  EXPECT_EQ(agent.result(), 0);
  const std::string log = log_.text();
  EXPECT_NE(log.find("agent sendto. OK\n"), std::string::npos);
  EXPECT_NE(log.find("agent sendto. NK\n"), std::string::npos);
  EXPECT_NE(log.find("agent recvfrom[fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080]. ret(64)"),
            std::string::npos);
}

TEST_F(AgentOverUdp, HostileDatagramsGetNoReplyAndTheAgentGoesOn) {
  serve();
  AgentThread agent(home_);
  ASSERT_TRUE(agent.ready());
  const auto before = tree(home_);
  Client client("127.0.0.1", "127.0.0.2", agent.port());
  const std::vector<std::string> hostile = {
      "sock=7,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080",            // no fn
      "fn=xonnect,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080",        // not C
      "fn=connect,tp=1,la=10.0.0.5,lp=40000,rp=8080",                     // no ra
      "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=../../../etc,rp=8080",     // a path
      "fn=connect,tp=1,la=10.0.0.5,lp=../../x,ra=127.0.0.2,rp=8080",      // a path
      // Too long; its first 128 bytes alone would read as a good request.
      "fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080,x=" + std::string(200, 'A'),
      std::string("\0\x01\x02" "fn=connect\n", 14),                          // binary
  };
  for (const auto& h : hostile) client.send(h);
  // Datagrams on loopback keep their order and the agent answers one after
  // the other: had any bad request been answered, that reply would come first.
  EXPECT_EQ(client.ask("fn=connect,tp=1,la=10.0.0.5,lp=40009,ra=127.0.0.2,rp=8080", 2000), "OK");
  EXPECT_EQ(client.reply(200), "");
  auto after = tree(home_);
  after.erase("port/127.0.0.1.40009:file");
  EXPECT_EQ(after, before);
  agent.stop();
  const std::string log = log_.text();
  EXPECT_NE(log.find("agent thread unknown type(sock=7,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080).\n"),
            std::string::npos);
  EXPECT_NE(log.find("agent thread unknown command(fn=xonnect,"), std::string::npos);
  // Control bytes never reach the log as they are.
  EXPECT_NE(log.find("agent recvfrom[...fn=connect.]. ret(14)"), std::string::npos);
}

TEST_F(AgentOverUdp, StopSignalEndsTheWaitAndIsLoggedByTheThread) {
  install_stop_handler(tav_agent_stop);
  AgentThread agent(home_);
  ASSERT_TRUE(agent.ready());
  // Time to finish the ready check and wait again, so the signal finds the
  // thread in its wait.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  agent.stop();
  EXPECT_TRUE(agent.done());
  EXPECT_EQ(agent.result(), 0);
  const std::string log = log_.text();
  const auto interrupted = log.find("agent thread select (4:");
  const auto noted = log.find("agent thread stop signal receved.\n");
  const auto stopped = log.find("agent thread stop.\n");
  ASSERT_NE(interrupted, std::string::npos) << log;
  ASSERT_NE(noted, std::string::npos);
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(interrupted, noted);
  EXPECT_LT(noted, stopped);
  // Lines of the agent name module A.
  EXPECT_TRUE(std::regex_search(log, std::regex(" T A[0-9]{4} agent thread start\\.\n")));
  EXPECT_TRUE(std::regex_search(log, std::regex(" T A[0-9]{4} UDP socket SO_RCVBUF \\([0-9]+\\)\n")));
  EXPECT_TRUE(std::regex_search(log, std::regex(" T A[0-9]{4} agent thread bind\\. udp port\\([0-9]+\\)\n")));
}

TEST_F(AgentOverUdp, SignalWithoutStopRequestOnlyResumesTheWait) {
  serve();
  AgentThread agent(home_);
  ASSERT_TRUE(agent.ready());
  for (int i = 0; i < 5; ++i) {
    agent.signal();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(agent.done());
  Client client("127.0.0.1", "127.0.0.2", agent.port());
  EXPECT_EQ(client.ask("fn=connect,tp=1,la=10.0.0.5,lp=40000,ra=127.0.0.2,rp=8080", 2000), "OK");
}

TEST_F(AgentOverUdp, PortTakenEndsTheThreadWithTheBindError) {
  const int taken = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
  const int port_no = ntohs(a.sin_port);
  volatile int state = 0;
  EXPECT_EQ(rly_agent_serve(port_no, home_.c_str(), &state), -1);
  close(taken);
  EXPECT_EQ(rly_agent_serve(0, home_.c_str(), &state), -1);
  EXPECT_EQ(rly_agent_serve(70000, home_.c_str(), &state), -1);
  const std::string log = log_.text();
  EXPECT_TRUE(std::regex_search(
      log, std::regex(" P A[0-9]{4} agent thread bind \\(98:[^)]*\\) error\\. udp port\\(" +
                      std::to_string(port_no) + "\\)\n")))
      << log;
  EXPECT_NE(log.find("error. udp port(70000)\n"), std::string::npos);
  EXPECT_NE(log.find("agent thread stop.\n"), std::string::npos);
}

}  // namespace
