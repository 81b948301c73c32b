// Which check-home entries count: identities, liveness, listening sockets and
// trusted owners.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "base/tav_registration.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using tav::reg::Identity;
using tav::reg::Verdict;

std::string text_of(const Identity& id) {
  char buf[tav::reg::kIdentityText];
  const size_t n = tav::reg::format_identity(id, buf, sizeof buf);
  return std::string(buf, n);
}

TEST(Identity, FormatsAndParsesOnlyItsOwnForm) {
  const Identity id{4711, 123456789, 98765};
  EXPECT_EQ(text_of(id), "4711 123456789 98765\n");
  Identity back;
  ASSERT_TRUE(tav::reg::parse_identity("4711 123456789 98765\n", 21, &back));
  EXPECT_EQ(back.pid, 4711);
  EXPECT_EQ(back.start, 123456789u);
  EXPECT_EQ(back.inode, 98765u);
  ASSERT_TRUE(tav::reg::parse_identity("1 2 0", 5, &back));
  EXPECT_EQ(back.inode, 0u);

  const char* refused[] = {
      "",                       // an empty file, as entries were before identities
      "4711",                   // pid only
      "4711 5",                 // no inode
      "4711 5 6 7",             // one field too many
      "4711  5 6",              // two spaces
      " 4711 5 6",              // leading space
      "-4711 5 6",              // a sign
      "04711 5 6",              // a leading zero
      "0 5 6",                  // pid 0
      "4711 0 6",               // no start time
      "2147483648 5 6",         // pid beyond int
      "4711 5 6\n\n",           // more than one newline
      "4711 5 6x",              // trailing bytes
      "4711 99999999999999999999 6",  // start beyond 64 bits
  };
  for (const char* t : refused) {
    SCOPED_TRACE(t);
    EXPECT_FALSE(tav::reg::parse_identity(t, strlen(t), &back));
  }
  // Not NUL-terminated: the length bounds the parse.
  const char cut[] = {'1', ' ', '2', ' ', '3', '9'};
  ASSERT_TRUE(tav::reg::parse_identity(cut, 5, &back));
  EXPECT_EQ(back.inode, 3u);
}

TEST(Identity, ProcessStartTimes) {
  const uint64_t own = tav::reg::process_start(getpid());
  EXPECT_GT(own, 0u);
  EXPECT_EQ(tav::reg::own_start(), own);
  EXPECT_EQ(tav::reg::process_start(0), 0u);
  EXPECT_EQ(tav::reg::process_start(-1), 0u);

  // A child started later has a start time of its own; once reaped it has none.
  int to_child[2];
  ASSERT_EQ(pipe(to_child), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(to_child[1]);
    char c;
    (void)!read(to_child[0], &c, 1);
    _exit(0);
  }
  const uint64_t theirs = tav::reg::process_start(child);
  EXPECT_GE(theirs, own);
  close(to_child[1]);
  waitpid(child, nullptr, 0);
  close(to_child[0]);
  EXPECT_EQ(tav::reg::process_start(child), 0u);
}

int listener(int family) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET) {
    auto& in = reinterpret_cast<sockaddr_in&>(ss);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof in;
  } else {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(ss);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_any;
    len = sizeof in6;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int port_of(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return ss.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in&>(ss).sin_port)
                                 : ntohs(reinterpret_cast<sockaddr_in6&>(ss).sin6_port);
}

TEST(Listener, KernelTellsWhichInodeListensOnAPort) {
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    const int fd = listener(family);
    if (fd < 0 && family == AF_INET6) GTEST_SKIP() << "no IPv6 here";
    ASSERT_GE(fd, 0);
    const int port = port_of(fd);
    const uint64_t inode = tav::reg::socket_inode(fd);
    ASSERT_GT(inode, 0u);
    EXPECT_TRUE(tav::reg::listens(port, inode));
    EXPECT_FALSE(tav::reg::listens(port, inode + 1));
    EXPECT_FALSE(tav::reg::listens(port == 65535 ? 1 : port + 1, inode));
    // A socket that no longer listens is not taken, although its inode was.
    close(fd);
    EXPECT_FALSE(tav::reg::listens(port, inode));
  }
  // A connected socket on the port is not its listener.
  const int l = listener(AF_INET);
  ASSERT_GE(l, 0);
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port_of(l)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  const int a = accept(l, nullptr, nullptr);
  EXPECT_FALSE(tav::reg::listens(port_of(l), tav::reg::socket_inode(a)));
  const int file = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(tav::reg::socket_inode(file), 0u);
  close(file);
  close(a);
  close(c);
  close(l);
  EXPECT_EQ(tav::reg::socket_inode(-1), 0u);
}

TEST(Trust, Lists) {
  EXPECT_EQ(tav::reg::set_trusted_users("1001, 1002,1003"), 0);
  EXPECT_EQ(tav::reg::set_trusted_groups(""), 0);
  const char* refused[] = {"abc", "1001;1002", "-5", "1001x", "4294967295",
                           "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"};
  for (const char* t : refused) {
    SCOPED_TRACE(t);
    EXPECT_EQ(tav::reg::set_trusted_users(t), -1);
  }

  struct stat home{};
  home.st_uid = 5000;
  home.st_gid = 5000;
  home.st_mode = S_IFDIR | 0777;
  const uid_t me = geteuid();
  const struct {
    const char* users;
    const char* groups;
    mode_t home_mode;
    uid_t uid;
    gid_t gid;
    bool trusted;
  } cases[] = {
      {"", "", 0777, 0, 7000, true},          // root
      {"", "", 0777, me, 7000, true},         // this process's user
      {"", "", 0777, 5000, 7000, true},       // the home's owner
      {"", "", 0777, 6000, 7000, false},      // anyone else
      {"6000", "", 0777, 6000, 7000, true},   // a named user
      {"6001", "7000", 0777, 6000, 7000, true},   // a named group
      {"", "", 0777, 6000, 5000, false},      // the home's group, home open to all
      {"", "", 02770, 6000, 5000, true},      // the home's group, home closed to others
      {"", "", 02770, 6000, 7000, false},     // another group, home closed to others
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid) + ":" + std::to_string(c.gid) + " users=" + c.users);
    if (me == 6000 || me == 5000) GTEST_SKIP() << "test ids clash with this user";
    ASSERT_EQ(tav::reg::set_trusted_users(c.users), 0);
    ASSERT_EQ(tav::reg::set_trusted_groups(c.groups), 0);
    home.st_mode = S_IFDIR | c.home_mode;
    struct stat entry{};
    entry.st_uid = c.uid;
    entry.st_gid = c.gid;
    EXPECT_EQ(tav::reg::trusted(entry, home), c.trusted);
  }
  tav::reg::set_trusted_users("");
  tav::reg::set_trusted_groups("");
}

class Entries : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_fd_ = open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir_fd_, 0);
    ASSERT_EQ(stat(dir_.path().c_str(), &home_), 0);
  }
  void TearDown() override { close(dir_fd_); }
  fs::path root() const { return dir_.path(); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(root() / name) << text;
  }
  Verdict check(const std::string& name, int port) {
    return tav::reg::check_entry(dir_fd_, name.c_str(), port, home_);
  }
  bool present(const std::string& name) {
    struct stat st;
    return lstat((root() / name).c_str(), &st) == 0;
  }

  qel::test::TempDir dir_;
  int dir_fd_ = -1;
  struct stat home_ {};
};

// A pid that was a process and is none now.
int ended_pid() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

TEST_F(Entries, RegistrationVerdicts) {
  const int l = listener(AF_INET);
  ASSERT_GE(l, 0);
  const int port = port_of(l);
  const uint64_t inode = tav::reg::socket_inode(l);
  const std::string me = std::to_string(getpid());
  const std::string start = std::to_string(tav::reg::own_start());
  const int gone = ended_pid();

  const struct {
    const char* what;
    std::string name;
    std::string text;  // null text: a directory
    Verdict verdict;
    bool removed;
  } cases[] = {
      {"live", me, me + " " + start + " " + std::to_string(inode) + "\n", Verdict::live, false},
      {"no newline", me, me + " " + start + " " + std::to_string(inode), Verdict::live, false},
      {"another socket", me, me + " " + start + " " + std::to_string(inode + 7) + "\n",
       Verdict::not_listening, false},
      {"pid reused", me, me + " 1 " + std::to_string(inode) + "\n", Verdict::stale, true},
      {"ended process", std::to_string(gone),
       std::to_string(gone) + " " + start + " " + std::to_string(inode) + "\n", Verdict::stale, true},
      {"named after another pid", "1", me + " " + start + " " + std::to_string(inode) + "\n",
       Verdict::malformed, false},
      {"empty, as planted by hand", me, "", Verdict::malformed, false},
      {"foreign text", me, "hello\n", Verdict::malformed, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    write(c.name, c.text);
    EXPECT_EQ(check(c.name, port), c.verdict);
    EXPECT_EQ(present(c.name), !c.removed);
    fs::remove(root() / c.name);
  }
  EXPECT_EQ(check(me, port), Verdict::missing);

  // What is no plain file is never opened as one.
  fs::create_directory(root() / "11");
  EXPECT_EQ(check("11", port), Verdict::malformed);
  fs::create_symlink(root() / "elsewhere", root() / "12");
  write("elsewhere", me + " " + start + " " + std::to_string(inode) + "\n");
  EXPECT_EQ(check("12", port), Verdict::malformed);
  ASSERT_EQ(mkfifo((root() / "13").c_str(), 0666), 0);
  EXPECT_EQ(check("13", port), Verdict::malformed);  // returns at once, no writer needed
  close(l);
}

TEST_F(Entries, WrittenEntriesCountAndMarkersNeedNoSocket) {
  const int l = listener(AF_INET);
  ASSERT_GE(l, 0);
  const int port = port_of(l);
  const std::string me = std::to_string(getpid());
  ASSERT_TRUE(tav::reg::write_entry(dir_fd_, me.c_str(), tav::reg::socket_inode(l)));
  EXPECT_EQ(check(me, port), Verdict::live);
  struct stat st;
  ASSERT_EQ(stat((root() / me).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
  // Written again (the port listened on anew): the new socket counts.
  const int l2 = listener(AF_INET);
  ASSERT_TRUE(tav::reg::write_entry(dir_fd_, me.c_str(), tav::reg::socket_inode(l2)));
  EXPECT_EQ(check(me, port_of(l2)), Verdict::live);
  EXPECT_EQ(check(me, port), Verdict::not_listening);

  ASSERT_TRUE(tav::reg::write_entry(dir_fd_, "127.0.0.1.40000", 0));
  EXPECT_EQ(check("127.0.0.1.40000", 0), Verdict::live);
  // A marker whose writer ended is stale and removed.
  const int gone = ended_pid();
  write("127.0.0.1.40001", std::to_string(gone) + " 5 0\n");
  EXPECT_EQ(check("127.0.0.1.40001", 0), Verdict::stale);
  EXPECT_FALSE(present("127.0.0.1.40001"));
  // A link in the entry's place is neither followed nor replaced.
  fs::create_symlink(root() / "target", root() / "127.0.0.1.40002");
  EXPECT_FALSE(tav::reg::write_entry(dir_fd_, "127.0.0.1.40002", 0));
  EXPECT_FALSE(fs::exists(root() / "target"));
  close(l);
  close(l2);
}

TEST_F(Entries, PortServedByAnyLiveRegistration) {
  const int l = listener(AF_INET);
  ASSERT_GE(l, 0);
  const int port = port_of(l);
  const fs::path reg = root() / ("127.0.0.1." + std::to_string(port));
  Verdict why;
  EXPECT_FALSE(tav::reg::port_served(dir_fd_, port, home_, &why));
  EXPECT_EQ(why, Verdict::missing);

  fs::create_directory(reg);
  std::ofstream(reg / "1");  // planted by hand: pid 1, no identity
  const int gone = ended_pid();
  std::ofstream(reg / std::to_string(gone)) << gone << " 5 " << tav::reg::socket_inode(l) << "\n";
  EXPECT_FALSE(tav::reg::port_served(dir_fd_, port, home_, &why));
  EXPECT_FALSE(fs::exists(reg / std::to_string(gone)));  // the stale one went
  EXPECT_TRUE(fs::exists(reg / "1"));                    // not ours to judge further

  const int rfd = open(reg.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_TRUE(tav::reg::write_entry(rfd, std::to_string(getpid()).c_str(), tav::reg::socket_inode(l)));
  close(rfd);
  EXPECT_TRUE(tav::reg::port_served(dir_fd_, port, home_, &why));
  EXPECT_EQ(why, Verdict::live);
  close(l);
  EXPECT_FALSE(tav::reg::port_served(dir_fd_, port, home_, &why));
  EXPECT_EQ(why, Verdict::not_listening);
}

// Entries of another user: run as root, the planting is done as nobody.
TEST_F(Entries, OtherUsersEntriesDoNotCount) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to plant as another user";
  const passwd* nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user nobody";
  const int l = listener(AF_INET);
  ASSERT_GE(l, 0);
  const int port = port_of(l);
  const std::string me = std::to_string(getpid());
  ASSERT_TRUE(tav::reg::write_entry(dir_fd_, me.c_str(), tav::reg::socket_inode(l)));
  ASSERT_EQ(chown((root() / me).c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  EXPECT_EQ(check(me, port), Verdict::untrusted);
  EXPECT_TRUE(present(me));
  ASSERT_EQ(tav::reg::set_trusted_users(std::to_string(nobody->pw_uid).c_str()), 0);
  EXPECT_EQ(check(me, port), Verdict::live);
  tav::reg::set_trusted_users("");
  close(l);
}

}  // namespace
