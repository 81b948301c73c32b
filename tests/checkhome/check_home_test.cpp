// Check home registrations, markers and the agent exchange. Every test works
// in a check home of its own under a fresh /tmp directory; traffic stays on
// 127.0.0.0/8, with the "other host" played by 127.0.0.2.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_check_home.h"
#include "base/tav_globals.h"
#include "base/tav_registration.h"
#include "sockaddrs.h"

// The test program's own umask: the library is linked in statically, so any
// umask call it makes lands here and is counted.
std::atomic<int> g_umask_calls{0};
extern "C" mode_t umask(mode_t mask) {
  ++g_umask_calls;
  return static_cast<mode_t>(syscall(SYS_umask, mask));
}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kNode = "127.0.0.9";  // this node's address in the tests
constexpr const char* kOtherHost = "127.0.0.2";

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// A descriptor closed when the test leaves its scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

sockaddr_storage v4(const char* ip, int port) { return qel::test::inet4(ip, port); }

const sockaddr* sa(const sockaddr_storage& ss) { return reinterpret_cast<const sockaddr*>(&ss); }

int local_port(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// A socket of `type` bound to ip:port (port 0: any free port); -1 on failure.
int bound_socket(int type, const char* ip, int port = 0) {
  const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_storage ss = v4(ip, port);
  if (bind(fd, sa(ss), sizeof(sockaddr_in)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int listening_socket(const char* ip) {
  const int fd = bound_socket(SOCK_STREAM, ip);
  if (fd >= 0 && listen(fd, 8) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int open_fd_count() {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

// Nothing waiting on a socket within ms milliseconds.
bool stays_quiet(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

// Every entry below dir, relative to it: "name/" a directory, "name@" a
// symbolic link, "name|" a FIFO, plain "name" a regular file.
std::set<std::string> tree(const fs::path& dir) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    std::string name = fs::relative(it->path(), dir).string();
    const fs::file_status st = it->symlink_status();
    if (fs::is_symlink(st)) name += "@";
    else if (fs::is_directory(st)) name += "/";
    else if (fs::is_fifo(st)) name += "|";
    out.insert(name);
  }
  return out;
}

std::string subst(std::string s, const std::string& key, const std::string& value) {
  for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  return s;
}

void touch(const fs::path& p) { std::ofstream{p}; }

mode_t mode_of(const fs::path& p) {
  struct stat st{};
  return lstat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

mode_t set_umask(mode_t m) { return static_cast<mode_t>(syscall(SYS_umask, m)); }

// Sets the umask for the scope of a test and puts the old one back.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t m) : old_(set_umask(m)) {}
  ~UmaskScope() { set_umask(old_); }

 private:
  mode_t old_;
};

// The relay of the other host: one UDP socket on ip:<free port> and a thread
// that takes one request and acts on it.
class Responder {
 public:
  enum Act { kReply, kSilent, kIntruderThenSilent, kIntruderThenReply };

  Responder(const char* ip, Act act, std::string reply = "")
      : ip_(ip), act_(act), reply_(std::move(reply)), fd_(bound_socket(SOCK_DGRAM, ip)) {
    if (fd_.get() >= 0) thread_ = std::thread([this] { run(); });
  }
  ~Responder() { join(); }

  bool ok() const { return fd_.get() >= 0; }
  int port() const { return local_port(fd_.get()); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  // Valid after join().
  const std::string& request() const { return request_; }

 private:
  void run() {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, 3000) != 1) return;
    char buf[512];
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return;
    request_.assign(buf, static_cast<size_t>(n));
    if (act_ == kIntruderThenSilent || act_ == kIntruderThenReply) {
      // Same address as the agent, another port: a stranger's "OK".
      Fd other(bound_socket(SOCK_DGRAM, ip_));
      sendto(other.get(), "OK", 2, 0, reinterpret_cast<sockaddr*>(&from), len);
    }
    if (act_ == kReply || act_ == kIntruderThenReply)
      sendto(fd_.get(), reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
  }

  const char* ip_;
  Act act_;
  std::string reply_;
  Fd fd_;
  std::string request_;
  std::thread thread_;
};

class CheckHome : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(saved_home_, tav_agent_home, sizeof saved_home_);
    memcpy(saved_addr_, tav_agent_addr, sizeof saved_addr_);
    saved_pid_ = en_my_pid;
    saved_check_time_ = en_qel_check_time;
    saved_fixed_ = tav::agent_fixed_wait_ms;
    saved_except_count_ = tav_except_port_count;

    char tmpl[] = "/tmp/qel-checkhome-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    tmp_ = tmpl;
    home_ = tmp_ / "home";
    tav_set_home(home_.c_str(), kNode);
    en_my_pid = getpid();
    pid_ = std::to_string(getpid());
    en_qel_check_time = 500;
    tav::agent_fixed_wait_ms = 0;
  }

  void TearDown() override {
    memcpy(tav_agent_home, saved_home_, sizeof saved_home_);
    memcpy(tav_agent_addr, saved_addr_, sizeof saved_addr_);
    en_my_pid = saved_pid_;
    en_qel_check_time = saved_check_time_;
    tav::agent_fixed_wait_ms = saved_fixed_;
    tav_except_port_count = saved_except_count_;
    if (!tmp_.empty()) {
      std::error_code ec;
      fs::permissions(tmp_, fs::perms::owner_all, fs::perm_options::add, ec);
      fs::remove_all(tmp_, ec);
    }
  }

  // A check home with R/port and R/proc, as the relay leaves it.
  void make_home() {
    fs::create_directories(home_ / "port");
    fs::create_directories(home_ / "proc");
  }
  void clear_home() {
    std::error_code ec;
    fs::remove_all(home_, ec);
  }
  // A marker as a live writer leaves it: this process's identity.
  void mark(const fs::path& p) {
    char text[tav::reg::kIdentityText];
    const size_t n = tav::reg::format_identity({getpid(), tav::reg::own_start(), 0}, text, sizeof text);
    std::ofstream(p) << std::string(text, n);
  }
  // A port served on this host: a socket of this process listens on it and
  // its registration is in R/port/127.0.0.1.P/pid. Returns the port.
  int serve_live() {
    listeners_.emplace_back(listening_socket("127.0.0.1"));
    const int fd = listeners_.back().get();
    const int port = local_port(fd);
    const fs::path dir = home_ / "port" / ("127.0.0.1." + std::to_string(port));
    fs::create_directories(dir);
    Fd dfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY));
    EXPECT_TRUE(tav::reg::write_entry(dfd.get(), pid_.c_str(), tav::reg::socket_inode(fd)));
    return port;
  }

  fs::path tmp_;
  fs::path home_;
  std::string pid_;
  std::list<Fd> listeners_;  // a list: an Fd never moves

 private:
  char saved_home_[sizeof tav_agent_home];
  char saved_addr_[sizeof tav_agent_addr];
  pid_t saved_pid_ = 0;
  int saved_check_time_ = 0;
  int saved_fixed_ = 0;
  int saved_except_count_ = 0;
};

// ---- listen registration ---------------------------------------------------

TEST_F(CheckHome, ListenRegistersPortAndProcess) {
  const struct {
    const char* host;
    std::vector<std::string> entries;  // {P}: port, {PID}: this process
  } cases[] = {
      {"0.0.0.0",
       {"home/", "home/port/", "home/proc/", "home/port/0.0.0.0.{P}", "home/port/127.0.0.1.{P}/",
        "home/port/127.0.0.1.{P}/{PID}", "home/proc/{PID}/", "home/proc/{PID}/0.0.0.0.{P}",
        "home/proc/{PID}/127.0.0.1.{P}"}},
      {"127.0.0.7",
       {"home/", "home/port/", "home/proc/", "home/port/127.0.0.7.{P}", "home/port/127.0.0.1.{P}/",
        "home/port/127.0.0.1.{P}/{PID}", "home/proc/{PID}/", "home/proc/{PID}/127.0.0.7.{P}",
        "home/proc/{PID}/127.0.0.1.{P}"}},
      // The address registration has the name of the port directory: the
      // directory stands for both.
      {"127.0.0.1",
       {"home/", "home/port/", "home/proc/", "home/port/127.0.0.1.{P}/",
        "home/port/127.0.0.1.{P}/{PID}", "home/proc/{PID}/", "home/proc/{PID}/127.0.0.1.{P}"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    clear_home();
    Fd server(listening_socket(c.host));
    ASSERT_GE(server.get(), 0);
    const std::string port = std::to_string(local_port(server.get()));

    EXPECT_EQ(tav_listen_port(server.get()), 0);

    std::set<std::string> expected;
    for (const auto& e : c.entries) expected.insert(subst(subst(e, "{P}", port), "{PID}", pid_));
    EXPECT_EQ(tree(tmp_), expected);
  }
}

// In a home kept for one group (set-group-id), the directories a listener
// creates keep the bit, so what is created below them keeps the group.
TEST_F(CheckHome, DirectoriesKeepTheGroupOfAHomeKeptForOneGroup) {
  make_home();
  chmod((home_ / "port").c_str(), 02777);
  chmod((home_ / "proc").c_str(), 02777);
  Fd server(listening_socket("0.0.0.0"));
  ASSERT_GE(server.get(), 0);
  ASSERT_EQ(tav_listen_port(server.get()), 0);
  const std::string port = std::to_string(local_port(server.get()));
  EXPECT_EQ(mode_of(home_ / "port" / ("127.0.0.1." + port)), 02777u);
  EXPECT_EQ(mode_of(home_ / "proc" / pid_), 02777u);
}

TEST_F(CheckHome, BindPortRegistersTheAddressOnly) {
  Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_GE(sock.get(), 0);
  EXPECT_EQ(tav_bind_port(sock.get(), sa(v4("0.0.0.0", 8080))), 0);
  EXPECT_EQ(tree(home_), (std::set<std::string>{"port/", "proc/", "port/0.0.0.0.8080", "proc/" + pid_ + "/",
                                                "proc/" + pid_ + "/0.0.0.0.8080"}));

  clear_home();
  sockaddr_storage un{};
  un.ss_family = AF_UNIX;
  EXPECT_EQ(tav_bind_port(sock.get(), sa(v4("0.0.0.0", 0))), -1);
  EXPECT_EQ(tav_bind_port(sock.get(), sa(un)), -1);
  EXPECT_EQ(tav_bind_port(sock.get(), nullptr), -1);
  EXPECT_FALSE(fs::exists(home_));
}

TEST_F(CheckHome, ModesDoNotDependOnUmaskAndExistingEntriesStay) {
  // Existing entries keep their modes; only what the calls create is set.
  fs::create_directories(home_ / "port");
  chmod(home_.c_str(), 0750);
  chmod((home_ / "port").c_str(), 0750);

  UmaskScope scope(077);
  const int umask_calls = g_umask_calls;
  Fd server(listening_socket("0.0.0.0"));
  ASSERT_GE(server.get(), 0);
  const int port = local_port(server.get());
  ASSERT_EQ(tav_listen_port(server.get()), 0);
  Fd client(bound_socket(SOCK_STREAM, "127.0.0.1"));
  ASSERT_GE(client.get(), 0);
  const sockaddr_storage dst = v4("127.0.0.1", port);
  ASSERT_EQ(tav_connect_port(client.get(), sa(dst), 1), 0);

  // Not even set and put back: other threads of the host create files meanwhile.
  EXPECT_EQ(g_umask_calls, umask_calls);
  EXPECT_EQ(set_umask(077), 077u);

  const std::string marker = "port/127.0.0.1." + std::to_string(local_port(client.get()));
  ASSERT_TRUE(fs::is_regular_file(home_ / marker));
  int checked = 0;
  for (const auto& name : tree(home_)) {
    SCOPED_TRACE(name);
    const fs::path p = home_ / name;
    if (name == "port/") EXPECT_EQ(mode_of(p), 0750u);
    else if (name.back() == '/') EXPECT_EQ(mode_of(p), 0777u);
    else EXPECT_EQ(mode_of(p), 0666u);
    ++checked;
  }
  EXPECT_EQ(checked, 9);  // port/, proc/, 3 port entries, proc/pid/ and 2 below, the marker
  EXPECT_EQ(mode_of(home_), 0750u);
}

TEST_F(CheckHome, UnusableHomeFailsFastAndCreatesNothing) {
  touch(tmp_ / "file");
  fs::create_symlink(tmp_ / "missing" / "x", tmp_ / "dangling");
  const std::string cases[] = {
      (tmp_ / "missing" / "home").string(),  // parent missing
      (tmp_ / "file").string(),              // not a directory
      (tmp_ / "file" / "home").string(),
      (tmp_ / "dangling").string(),
      "",
  };
  Fd server(listening_socket("0.0.0.0"));
  ASSERT_GE(server.get(), 0);
  Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const auto before = tree(tmp_);
  for (const auto& home : cases) {
    SCOPED_TRACE(home);
    tav_set_home(home.c_str(), kNode);
    const auto start = Clock::now();
    EXPECT_EQ(tav_listen_port(server.get()), -1);
    EXPECT_EQ(tav_bind_port(sock.get(), sa(v4("0.0.0.0", 8080))), -1);
    EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.1", 8080), -1);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(tree(tmp_), before);
  }
}

TEST_F(CheckHome, ListenRefusesWhatIsNotAnInetSocket) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  Fd r(pipe_fds[0]), w(pipe_fds[1]);
  Fd unix_sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  for (int fd : {r.get(), unix_sock.get(), -1, 100000}) {
    SCOPED_TRACE(fd);
    EXPECT_EQ(tav_listen_port(fd), -1);
  }
  EXPECT_FALSE(fs::exists(home_));
}

// An IPv6 any-address listener has no IPv4 text of its own: it is registered
// under this node's address, which must itself be a usable name.
TEST_F(CheckHome, Ipv6AnyListenerIsRegisteredUnderTheNodeAddress) {
  Fd server(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (server.get() < 0) GTEST_SKIP() << "no IPv6 here";
  sockaddr_in6 any{};
  any.sin6_family = AF_INET6;
  any.sin6_addr = in6addr_any;
  ASSERT_EQ(bind(server.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(listen(server.get(), 4), 0);
  const std::string port = std::to_string(local_port(server.get()));

  tav_set_home(home_.c_str(), "../x");
  EXPECT_EQ(tav_listen_port(server.get()), -1);
  EXPECT_EQ(tree(tmp_), std::set<std::string>{});

  tav_set_home(home_.c_str(), kNode);
  EXPECT_EQ(tav_listen_port(server.get()), 0);
  EXPECT_TRUE(fs::is_regular_file(home_ / "port" / (std::string(kNode) + "." + port)));
}

// ---- local check -----------------------------------------------------------

TEST_F(CheckHome, BindCheckLeavesMarkerOnlyForALiveRegistration) {
  enum Registration { kNone, kLive, kPlanted, kEnded, kOtherPort };
  const struct {
    const char* what;
    const char* entry;  // an address entry of port {P}, if any
    Registration registration;
    int rc;
  } cases[] = {
      {"live registration", "port/0.0.0.0.{P}", kLive, 0},
      {"live registration, destination address", "port/127.0.0.5.{P}", kLive, 0},
      {"live registration alone", nullptr, kLive, 0},
      {"address entry only", "port/0.0.0.0.{P}", kNone, -1},
      {"destination address entry only", "port/127.0.0.5.{P}", kNone, -1},
      {"registration planted by hand", "port/0.0.0.0.{P}", kPlanted, -1},
      {"registration of an ended process", "port/0.0.0.0.{P}", kEnded, -1},
      {"registration of another port", "port/0.0.0.0.{P}", kOtherPort, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clear_home();
    make_home();
    Fd closed(listening_socket("127.0.0.1"));  // a port nobody serves once closed
    int port = local_port(closed.get());
    closed.reset();
    const fs::path reg_dir = home_ / "port" / ("127.0.0.1." + std::to_string(port));
    std::string stale;  // an entry the check removes
    switch (c.registration) {
      case kNone: break;
      case kLive: port = serve_live(); break;
      case kOtherPort: serve_live(); break;
      case kPlanted:
        fs::create_directory(reg_dir);
        touch(reg_dir / "1");
        break;
      case kEnded: {
        const pid_t child = fork();
        if (child == 0) _exit(0);
        waitpid(child, nullptr, 0);
        fs::create_directory(reg_dir);
        std::ofstream(reg_dir / std::to_string(child)) << child << " 5 6\n";
        stale = "port/127.0.0.1." + std::to_string(port) + "/" + std::to_string(child);
        break;
      }
    }
    if (c.entry) touch(home_ / subst(c.entry, "{P}", std::to_string(port)));
    auto expected = tree(home_);
    if (!stale.empty()) {
      EXPECT_EQ(expected.erase(stale), 1u);
    }

    EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.5", port), c.rc);

    if (c.rc == 0) expected.insert("port/127.0.0.1.40000");
    EXPECT_EQ(tree(home_), expected);
    if (c.rc == 0) {
      // The marker names its writer.
      std::ifstream in(home_ / "port" / "127.0.0.1.40000");
      const std::string text{std::istreambuf_iterator<char>(in), {}};
      tav::reg::Identity id;
      ASSERT_TRUE(tav::reg::parse_identity(text.data(), text.size(), &id));
      EXPECT_EQ(id.pid, getpid());
    }
  }

  // A marker this process left before is kept and still counts.
  clear_home();
  make_home();
  const int port = serve_live();
  EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.1", port), 0);
  EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.1", port), 0);
  EXPECT_TRUE(fs::is_regular_file(home_ / "port" / "127.0.0.1.40000"));
}

TEST_F(CheckHome, NamesOutsideDottedTextAndPortsAreRefused) {
  make_home();
  const int served = serve_live();
  const std::string longest(300, '1');
  const struct {
    const char* la;
    int lp;
    const char* ra;
    int rp;
  } cases[] = {
      {"../x", 40000, "127.0.0.1", served},
      {"/tmp", 40000, "127.0.0.1", served},
      {"1.2.3", 40000, "127.0.0.1", served},
      {"999.1.1.1", 40000, "127.0.0.1", served},
      {"1.2.3.4/..", 40000, "127.0.0.1", served},
      {"127.0.0.1/../../x", 40000, "127.0.0.1", served},
      {"127..0.1", 40000, "127.0.0.1", served},
      {"127.0.0.1.5", 40000, "127.0.0.1", served},
      {"0127.0.0.1", 40000, "127.0.0.1", served},
      {"127.000.000.0001", 40000, "127.0.0.1", served},  // 16 characters
      {"10.01.2.3", 40000, "127.0.0.1", served},  // not as inet_ntop writes it
      {"127.0.0.1", 40000, "010.0.0.1", served},
      {longest.c_str(), 40000, "127.0.0.1", served},
      {"", 40000, "127.0.0.1", served},
      {nullptr, 40000, "127.0.0.1", served},
      {"127.0.0.1", 0, "127.0.0.1", served},
      {"127.0.0.1", 70000, "127.0.0.1", served},
      {"127.0.0.1", -1, "127.0.0.1", served},
      {"127.0.0.1", 40000, "../x", served},
      {"127.0.0.1", 40000, "/tmp", served},
      {"127.0.0.1", 40000, nullptr, served},
      {"127.0.0.1", 40000, "127.0.0.1", 0},
      {"127.0.0.1", 40000, "127.0.0.1", 70000},
  };
  const auto before = tree(tmp_);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.la ? c.la : "NULL") + ":" + std::to_string(c.lp) + " " +
                 (c.ra ? c.ra : "NULL") + ":" + std::to_string(c.rp));
    EXPECT_EQ(tav_bind_check(c.la, c.lp, c.ra, c.rp), -1);
  }
  EXPECT_EQ(tree(tmp_), before);
  // A served port with proper names is served.
  EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.1", served), 0);
}

TEST_F(CheckHome, PlantedLinksAreNotFollowed) {
  make_home();
  fs::create_directory(tmp_ / "outside");
  const int served = serve_live();

  // At the marker name.
  fs::create_symlink(tmp_ / "outside" / "marker", home_ / "port" / "127.0.0.1.40000");
  EXPECT_EQ(tav_bind_check("127.0.0.1", 40000, "127.0.0.1", served), -1);

  // At a registration file and at the process directory.
  Fd server(listening_socket("0.0.0.0"));
  ASSERT_GE(server.get(), 0);
  const std::string port = std::to_string(local_port(server.get()));
  fs::create_symlink(tmp_ / "outside" / "registration", home_ / "port" / ("0.0.0.0." + port));
  fs::create_symlink(tmp_ / "outside", home_ / "proc" / pid_);
  EXPECT_EQ(tav_listen_port(server.get()), 0);

  EXPECT_EQ(tree(tmp_ / "outside"), std::set<std::string>{});
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(home_ / "port" / "127.0.0.1.40000")));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(home_ / "port" / ("0.0.0.0." + port))));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(home_ / "proc" / pid_)));
  // What does not go through a link is still registered.
  EXPECT_TRUE(fs::is_regular_file(home_ / "port" / ("127.0.0.1." + port) / pid_));
}

// ---- accept ----------------------------------------------------------------

// A loopback connection whose client port is known before it connects.
struct Conn {
  Fd listener, client, accepted;
  sockaddr_storage peer{};
  int client_port = 0;

  bool prepare() {
    listener.reset(listening_socket("127.0.0.1"));
    client.reset(bound_socket(SOCK_STREAM, "127.0.0.1"));
    client_port = local_port(client.get());
    return listener.get() >= 0 && client.get() >= 0 && client_port > 0;
  }
  bool establish() {
    const sockaddr_storage to = v4("127.0.0.1", local_port(listener.get()));
    if (connect(client.get(), sa(to), sizeof(sockaddr_in)) != 0) return false;
    socklen_t len = sizeof peer;
    accepted.reset(accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &len));
    return accepted.get() >= 0;
  }
};

TEST_F(CheckHome, AcceptConsumesOnlyThePeersPlainFileMarker) {
  enum Kind { kFile, kEmpty, kDir, kLink, kFifo };
  struct Entry {
    std::string name;  // under port/, {Q}: the client's port
    Kind kind;
  };
  const struct {
    const char* what;
    std::vector<Entry> entries;
    int rc;
    std::string consumed;
  } cases[] = {
      {"peer address", {{"127.0.0.1.{Q}", kFile}}, 0, "127.0.0.1.{Q}"},
      {"any-address", {{"0.0.0.0.{Q}", kFile}}, 0, "0.0.0.0.{Q}"},
      {"node address", {{std::string(kNode) + ".{Q}", kFile}}, 0, std::string(kNode) + ".{Q}"},
      {"peer name before the others",
       {{"127.0.0.1.{Q}", kFile}, {"0.0.0.0.{Q}", kFile}}, 0, "127.0.0.1.{Q}"},
      {"another client", {{"127.0.0.3.{Q}", kFile}, {"0.0.0.0.8080", kFile}}, -1, ""},
      {"nothing", {}, -1, ""},
      {"registration directory",
       {{"127.0.0.1.{Q}", kDir}, {"127.0.0.1.{Q}/4711", kFile}}, -1, ""},
      {"registration directory, then marker",
       {{"127.0.0.1.{Q}", kDir}, {"127.0.0.1.{Q}/4711", kFile}, {"0.0.0.0.{Q}", kFile}}, 0,
       "0.0.0.0.{Q}"},
      {"link to a plain file", {{"target", kFile}, {"127.0.0.1.{Q}", kLink}}, -1, ""},
      {"fifo", {{"127.0.0.1.{Q}", kFifo}}, -1, ""},
      {"planted by hand, no writer in it", {{"127.0.0.1.{Q}", kEmpty}}, -1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    clear_home();
    make_home();
    Conn conn;
    ASSERT_TRUE(conn.prepare());
    const std::string q = std::to_string(conn.client_port);
    for (const auto& e : c.entries) {
      const fs::path p = home_ / "port" / subst(e.name, "{Q}", q);
      switch (e.kind) {
        case kFile: mark(p); break;
        case kEmpty: touch(p); break;
        case kDir: fs::create_directory(p); break;
        case kLink: fs::create_symlink(home_ / "port" / "target", p); break;
        case kFifo: ASSERT_EQ(mkfifo(p.c_str(), 0666), 0); break;
      }
    }
    ASSERT_TRUE(conn.establish());
    auto expected = tree(home_);
    if (!c.consumed.empty()) {
      ASSERT_EQ(expected.erase("port/" + subst(c.consumed, "{Q}", q)), 1u);
    }

    EXPECT_EQ(tav_accept_port(conn.accepted.get(), sa(conn.peer)), c.rc);
    EXPECT_EQ(tree(home_), expected);
  }
}

// For a peer of another host only its own marker counts: a listener's
// registration that happens to carry the peer's source port is left alone.
TEST_F(CheckHome, RemotePeerConsumesOnlyItsOwnMarker) {
  make_home();
  Conn conn;
  ASSERT_TRUE(conn.prepare());
  ASSERT_TRUE(conn.establish());
  const int q = 40123;
  sockaddr_storage remote{};
  auto& in = reinterpret_cast<sockaddr_in&>(remote);
  in.sin_family = AF_INET;
  in.sin_port = htons(q);
  inet_pton(AF_INET, "10.1.2.3", &in.sin_addr);
  const std::string q_text = std::to_string(q);
  mark(home_ / "port" / ("0.0.0.0." + q_text));
  mark(home_ / "port" / ("127.0.0.1." + q_text));
  const auto registrations = tree(home_);
  EXPECT_EQ(tav_accept_port(conn.accepted.get(), sa(remote)), -1);
  EXPECT_EQ(tree(home_), registrations);
  mark(home_ / "port" / ("10.1.2.3." + q_text));
  EXPECT_EQ(tav_accept_port(conn.accepted.get(), sa(remote)), 0);
  EXPECT_EQ(tree(home_), registrations);
}

TEST_F(CheckHome, AcceptRefusesBadArguments) {
  make_home();
  Conn conn;
  ASSERT_TRUE(conn.prepare());
  mark(home_ / "port" / ("127.0.0.1." + std::to_string(conn.client_port)));
  ASSERT_TRUE(conn.establish());
  sockaddr_storage un{};
  un.ss_family = AF_UNIX;
  const auto before = tree(home_);
  EXPECT_EQ(tav_accept_port(conn.accepted.get(), nullptr), -1);
  EXPECT_EQ(tav_accept_port(conn.accepted.get(), sa(un)), -1);
  EXPECT_EQ(tav_accept_port(-1, sa(conn.peer)), -1);
  EXPECT_EQ(tree(home_), before);
}

// The accepting server runs under a user that may not write to R/port: the
// marker is found but cannot be removed, which is a failure, not a match.
TEST_F(CheckHome, AcceptFailsWhenTheMarkerCannotBeRemoved) {
  make_home();
  Conn conn;
  ASSERT_TRUE(conn.prepare());
  const fs::path marker = home_ / "port" / ("127.0.0.1." + std::to_string(conn.client_port));
  mark(marker);
  ASSERT_TRUE(conn.establish());
  const bool root = geteuid() == 0;
  // Root passes permission checks; it drops to an ordinary user in the child.
  chmod(tmp_.c_str(), 0755);
  chmod(home_.c_str(), 0755);
  chmod((home_ / "port").c_str(), root ? 0755 : 0555);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (root && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
    _exit(tav_accept_port(conn.accepted.get(), sa(conn.peer)) == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  chmod((home_ / "port").c_str(), 0777);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "cannot drop to an ordinary user here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::is_regular_file(marker));
}

// ---- connect ---------------------------------------------------------------

TEST_F(CheckHome, ConnectAsksTheAgentOfTheDestinationHost) {
  const struct {
    const char* reply;
    int rc;
  } cases[] = {{"OK", 0}, {"NK", -1}, {"KO", -1}, {"O", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Fd client(bound_socket(SOCK_STREAM, "127.0.0.1"));
    ASSERT_GE(client.get(), 0);
    Responder agent(kOtherHost, Responder::kReply, c.reply);
    ASSERT_TRUE(agent.ok());
    const sockaddr_storage dst = v4(kOtherHost, 8080);
    const int fds = open_fd_count();

    EXPECT_EQ(tav_connect_port(client.get(), sa(dst), agent.port()), c.rc);

    EXPECT_EQ(open_fd_count(), fds);
    agent.join();
    EXPECT_EQ(agent.request(), "fn=connect,sock=" + std::to_string(client.get()) +
                                   ",tp=1,la=127.0.0.1,lp=" + std::to_string(local_port(client.get())) +
                                   ",ra=127.0.0.2,rp=8080");
  }
  // The marker of a remote check is the other host's business.
  EXPECT_FALSE(fs::exists(home_));
}

TEST_F(CheckHome, ConnectNamesAnAnyAddressSocketAfterTheNode) {
  Fd client(bound_socket(SOCK_STREAM, "0.0.0.0"));
  ASSERT_GE(client.get(), 0);
  Responder agent(kOtherHost, Responder::kReply, "OK");
  ASSERT_TRUE(agent.ok());
  const sockaddr_storage dst = v4(kOtherHost, 8080);
  EXPECT_EQ(tav_connect_port(client.get(), sa(dst), agent.port()), 0);
  agent.join();
  EXPECT_EQ(agent.request(), "fn=connect,sock=" + std::to_string(client.get()) + ",tp=1,la=" + kNode +
                                 ",lp=" + std::to_string(local_port(client.get())) +
                                 ",ra=127.0.0.2,rp=8080");

  // Without a local port there is no name for a marker: nothing is asked.
  Fd unbound(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Fd quiet(bound_socket(SOCK_DGRAM, kOtherHost));
  ASSERT_GE(quiet.get(), 0);
  EXPECT_EQ(tav_connect_port(unbound.get(), sa(dst), local_port(quiet.get())), -1);
  EXPECT_TRUE(stays_quiet(quiet.get(), 100));
}

TEST_F(CheckHome, UnansweredRequestEndsAtTheTimeout) {
  const struct {
    int check_time;
    int fixed;
    long at_least_ms;
  } cases[] = {
      {200, 0, 190},
      {0, 0, 490},      // below 1: the default of 500 ms
      {60000, 300, 290},  // a fixed wait overrides the setting
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.check_time) + "/" + std::to_string(c.fixed));
    en_qel_check_time = c.check_time;
    tav::agent_fixed_wait_ms = c.fixed;
    Fd client(bound_socket(SOCK_STREAM, "127.0.0.1"));
    Responder agent(kOtherHost, Responder::kSilent);
    ASSERT_TRUE(agent.ok());
    const sockaddr_storage dst = v4(kOtherHost, 8080);
    const int fds = open_fd_count();
    const auto start = Clock::now();

    EXPECT_EQ(tav_connect_port(client.get(), sa(dst), agent.port()), -1);

    const long took = elapsed_ms(start);
    EXPECT_GE(took, c.at_least_ms);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(open_fd_count(), fds);
  }
}

TEST_F(CheckHome, DatagramFromAnotherSenderIsNotTheReply) {
  en_qel_check_time = 300;
  const struct {
    Responder::Act act;
    const char* reply;
    int rc;
  } cases[] = {
      {Responder::kIntruderThenSilent, "", -1},
      {Responder::kIntruderThenReply, "NK", -1},
      {Responder::kIntruderThenReply, "OK", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.act == Responder::kIntruderThenSilent ? "silent " : "reply ") + c.reply);
    Fd client(bound_socket(SOCK_STREAM, "127.0.0.1"));
    Responder agent(kOtherHost, c.act, c.reply);
    ASSERT_TRUE(agent.ok());
    const sockaddr_storage dst = v4(kOtherHost, 8080);
    EXPECT_EQ(tav_connect_port(client.get(), sa(dst), agent.port()), c.rc);
    agent.join();
    EXPECT_FALSE(agent.request().empty());
  }
}

TEST_F(CheckHome, LocalDestinationIsCheckedInTheTreeWithoutTraffic) {
  make_home();
  const int served = serve_live();
  Fd unserved(listening_socket("127.0.0.1"));  // listens, but not registered
  const int other = local_port(unserved.get());
  // Would-be agents on both local addresses; neither may hear anything.
  Fd agent_lo(bound_socket(SOCK_DGRAM, "127.0.0.1"));
  ASSERT_GE(agent_lo.get(), 0);
  const int udp_port = local_port(agent_lo.get());
  Fd agent_node(bound_socket(SOCK_DGRAM, kNode, udp_port));
  ASSERT_GE(agent_node.get(), 0);

  const struct {
    const char* client_ip;
    const char* dst;
    int dport;
    int rc;
    const char* marker_host;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", served, 0, "127.0.0.1"},
      {"0.0.0.0", "127.0.0.1", served, 0, kNode},
      {"0.0.0.0", kNode, served, 0, kNode},
      {"127.0.0.1", "127.0.0.1", other, -1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.client_ip) + " -> " + c.dst + ":" + std::to_string(c.dport));
    Fd client(bound_socket(SOCK_STREAM, c.client_ip));
    ASSERT_GE(client.get(), 0);
    auto expected = tree(home_);
    if (c.marker_host)
      expected.insert("port/" + std::string(c.marker_host) + "." + std::to_string(local_port(client.get())));
    const sockaddr_storage dst = v4(c.dst, c.dport);

    EXPECT_EQ(tav_connect_port(client.get(), sa(dst), udp_port), c.rc);
    EXPECT_EQ(tree(home_), expected);
  }
  EXPECT_TRUE(stays_quiet(agent_lo.get(), 100));
  EXPECT_TRUE(stays_quiet(agent_node.get(), 0));
}

// Listen, connect from an any-address client and accept on this host: the
// marker the connecting side leaves is the one the accepting side consumes.
TEST_F(CheckHome, LocalConnectionIsRecognisedEndToEnd) {
  Fd server(listening_socket("0.0.0.0"));
  ASSERT_GE(server.get(), 0);
  const int port = local_port(server.get());
  ASSERT_EQ(tav_listen_port(server.get()), 0);
  const auto registered = tree(home_);

  Fd client(bound_socket(SOCK_STREAM, "0.0.0.0"));
  ASSERT_GE(client.get(), 0);
  const sockaddr_storage dst = v4("127.0.0.1", port);
  ASSERT_EQ(tav_connect_port(client.get(), sa(dst), 1), 0);
  EXPECT_TRUE(fs::is_regular_file(home_ / "port" /
                                  (std::string(kNode) + "." + std::to_string(local_port(client.get())))));

  ASSERT_EQ(connect(client.get(), sa(dst), sizeof(sockaddr_in)), 0);
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  Fd accepted(accept(server.get(), reinterpret_cast<sockaddr*>(&peer), &len));
  ASSERT_GE(accepted.get(), 0);
  EXPECT_EQ(tav_accept_port(accepted.get(), sa(peer)), 0);
  EXPECT_EQ(tree(home_), registered);
}

TEST_F(CheckHome, ConnectRefusesBadArguments) {
  Fd client(bound_socket(SOCK_STREAM, "127.0.0.1"));
  Fd quiet(bound_socket(SOCK_DGRAM, kOtherHost));
  ASSERT_GE(quiet.get(), 0);
  const int udp_port = local_port(quiet.get());
  sockaddr_storage un{};
  un.ss_family = AF_UNIX;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(8080);
  inet_pton(AF_INET6, "2001:db8::2", &v6.sin6_addr);  // no IPv4 text to ask
  sockaddr_storage v6s{};
  memcpy(&v6s, &v6, sizeof v6);
  const sockaddr_storage dst = v4(kOtherHost, 8080);

  EXPECT_EQ(tav_connect_port(client.get(), nullptr, udp_port), -1);
  EXPECT_EQ(tav_connect_port(client.get(), sa(un), udp_port), -1);
  EXPECT_EQ(tav_connect_port(client.get(), sa(v6s), udp_port), -1);
  EXPECT_EQ(tav_connect_port(-1, sa(dst), udp_port), -1);
  EXPECT_EQ(tav_connect_port(client.get(), sa(dst), 0), -1);
  EXPECT_EQ(tav_connect_port(client.get(), sa(dst), 70000), -1);
  EXPECT_TRUE(stays_quiet(quiet.get(), 100));
}

// ---- sendto_agent ----------------------------------------------------------

TEST_F(CheckHome, SendWithoutWaitDeliversTheTextOnly) {
  Fd agent(bound_socket(SOCK_DGRAM, kOtherHost));
  ASSERT_GE(agent.get(), 0);
  const int port = local_port(agent.get());
  EXPECT_EQ(sendto_agent("fn=connect,x", kOtherHost, port, 0), 0);
  char buf[64];
  const ssize_t n = recv(agent.get(), buf, sizeof buf, MSG_DONTWAIT);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "fn=connect,x");

  const struct {
    const char* msg;
    const char* host;
    int port;
  } bad[] = {
      {nullptr, kOtherHost, port}, {"x", nullptr, port}, {"x", "localhost", port},
      {"x", "../x", port},         {"x", kOtherHost, 0},  {"x", kOtherHost, 70000},
  };
  for (const auto& b : bad) EXPECT_EQ(sendto_agent(b.msg, b.host, b.port, 0), -1);
  EXPECT_TRUE(stays_quiet(agent.get(), 50));
}

// ---- exclusion table -------------------------------------------------------

TEST_F(CheckHome, ExclusionTable) {
  tav_except_port_count = 0;
  ASSERT_EQ(tav_set_except_port("10.0.0.5", 8080), 0);
  ASSERT_EQ(tav_set_except_port(" 192.168.1.1 ", 0), 0);

  const struct {
    const char* ip;
    int port;
    int found;
  } lookups[] = {
      {"10.0.0.5", 8080, 1}, {" 10.0.0.5", 8080, 1}, {"10.0.0.5", 8081, 0},
      {"10.0.0.6", 8080, 0}, {"5.0.0.10", 8080, 0},  {"192.168.1.1", 0, 1},
      {"266.0.0.5", 8080, 0},  // would equal 10.0.0.5 if cut to a byte
      {"abc", 8080, 0},      {nullptr, 8080, 0},    {"10.0.0", 8080, 0},
  };
  for (const auto& l : lookups) EXPECT_EQ(tav_is_except_port(l.ip, l.port), l.found) << (l.ip ? l.ip : "NULL");

  for (const char* bad : {static_cast<const char*>(nullptr), "abc", "1.2.3", "256.0.0.1", "-1.0.0.1"})
    EXPECT_EQ(tav_set_except_port(bad, 80), -1) << (bad ? bad : "NULL");
  EXPECT_EQ(tav_except_port_count, 2);

  for (int i = 2; i < 128; ++i) ASSERT_EQ(tav_set_except_port("10.1.0.1", 1000 + i), 0) << i;
  EXPECT_EQ(tav_set_except_port("10.1.0.1", 5000), -1);
  EXPECT_EQ(tav_except_port_count, 128);
  EXPECT_EQ(tav_is_except_port("10.1.0.1", 1127), 1);
  EXPECT_EQ(tav_is_except_port("10.1.0.1", 5000), 0);
}

// ---- getsockinfo -----------------------------------------------------------

TEST(SockInfo, InetAddresses) {
  const struct {
    int family;
    const char* ip;
    int port;
    const char* host;
  } cases[] = {
      {AF_INET, "10.1.2.3", 8080, "10.1.2.3"},
      {AF_INET, "0.0.0.0", 0, "0.0.0.0"},
      {AF_INET6, "::ffff:192.168.1.20", 443, "192.168.1.20"},
      {AF_INET6, "2001:db8::1", 65535, "1"},
      {AF_INET6, "::", 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ip);
    sockaddr_storage ss{};
    if (c.family == AF_INET) {
      ss = v4(c.ip, c.port);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
      in6->sin6_family = AF_INET6;
      in6->sin6_port = htons(static_cast<uint16_t>(c.port));
      ASSERT_EQ(inet_pton(AF_INET6, c.ip, &in6->sin6_addr), 1);
    }
    sockinfo info;
    memset(&info, 0x5a, sizeof info);
    ASSERT_EQ(getsockinfo(-1, sa(ss), &info), 0);
    EXPECT_EQ(info.type, -1);
    EXPECT_EQ(info.family, c.family);
    EXPECT_EQ(info.in.port, c.port);
    EXPECT_STREQ(info.in.host, c.host);
  }
}

TEST(SockInfo, SocketTypeFromTheDescriptor) {
  Fd tcp(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Fd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  Fd r(pipe_fds[0]), w(pipe_fds[1]);
  const sockaddr_storage ss = v4("127.0.0.1", 80);
  sockinfo info;
  ASSERT_EQ(getsockinfo(tcp.get(), sa(ss), &info), 0);
  EXPECT_EQ(info.type, SOCK_STREAM);
  ASSERT_EQ(getsockinfo(udp.get(), sa(ss), &info), 0);
  EXPECT_EQ(info.type, SOCK_DGRAM);
  EXPECT_EQ(getsockinfo(r.get(), sa(ss), &info), -1);  // not a socket
  EXPECT_EQ(getsockinfo(tcp.get(), nullptr, &info), -1);
  EXPECT_EQ(getsockinfo(tcp.get(), sa(ss), nullptr), -1);
}

TEST(SockInfo, UnixPathAndOtherFamilies) {
  // A 108-byte path fills sun_path without a terminator; the bytes behind it
  // in the caller's storage must not be read as part of it.
  sockaddr_storage ss;
  memset(&ss, 'X', sizeof ss);
  auto* un = reinterpret_cast<sockaddr_un*>(&ss);
  un->sun_family = AF_UNIX;
  memset(un->sun_path, 'a', sizeof un->sun_path);
  sockinfo info;
  ASSERT_EQ(getsockinfo(-1, sa(ss), &info), 0);
  EXPECT_EQ(info.family, AF_UNIX);
  EXPECT_EQ(std::string(info.path), std::string(sizeof info.path - 1, 'a'));

  memset(un->sun_path, 0, sizeof un->sun_path);
  strcpy(un->sun_path, "/tmp/s");
  ASSERT_EQ(getsockinfo(-1, sa(ss), &info), 0);
  EXPECT_STREQ(info.path, "/tmp/s");

  sockaddr_storage other{};
  other.ss_family = AF_APPLETALK;
  EXPECT_EQ(getsockinfo(-1, sa(other), &info), -1);
}

}  // namespace
