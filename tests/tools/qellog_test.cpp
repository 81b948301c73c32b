// Runs the qellog program as a command line and compares its whole output.
#include <fcntl.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_ring.h"

namespace {

const std::string kProg = QELLOG_PATH;

struct Result {
  std::set<int> before;  // segment ids before the run
  pid_t pid = -1;
  int status = -1;  // exit status, -1 when the program did not exit normally
  std::string out;
  std::string err;
};

// Ids of all shared-memory segments of the host at this moment.
std::set<int> SegmentIds() {
  std::set<int> ids;
  shm_info info{};
  int max = shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
  for (int i = 0; i <= max; ++i) {
    shmid_ds ds{};
    int id = shmctl(i, SHM_STAT, &ds);
    if (id >= 0) ids.insert(id);
  }
  return ids;
}

// Runs the program with argv[0] = its path and the given arguments.
Result RunQellog(const std::vector<std::string>& args) {
  Result r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return r;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return r;
  }
  r.before = SegmentIds();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kProg.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execv(kProg.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  r.pid = pid;
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return r;
  }
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* dst[2] = {&r.out, &r.err};
  int open_fds = 2;
  while (open_fds > 0) {
    int ready = poll(fds, 2, 10000);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        dst[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

// Removes the segments that the run's process created (whatever their key,
// the private key included) and returns how many there were. Only segments
// that did not exist before the run count, so an old segment of some other
// process that once had the same pid is left alone.
int RemoveCreated(const Result& r) {
  int removed = 0;
  for (int id : SegmentIds()) {
    if (r.before.count(id)) continue;
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_cpid == r.pid &&
        shmctl(id, IPC_RMID, nullptr) == 0)
      ++removed;
  }
  return removed;
}

std::string Usage() {
  return "Usage: " + kProg +
         " -c {create memory} -s {show} -k [shm key] -m [set log mode] -l [set log level]\n";
}

std::string Report(key_t key, int id, int mode, int level) {
  char buf[512];
  snprintf(buf, sizeof buf,
           "-----------------------------------\n"
           "KEY       : 0x%08x, %d             \n"
           "LOG_MODE  : %d (%s)                \n"
           "LOG_LEVEL : %d                     \n"
           "-----------------------------------\n",
           static_cast<unsigned>(key), id, mode, mode ? "ON" : "OFF", level);
  return buf;
}

std::string Hex(key_t key) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(key));
  return buf;
}

// A key of this test process that no segment uses yet. The segment the
// program creates under it is removed when the guard goes away, however the
// test ends.
class KeyGuard {
 public:
  KeyGuard() {
    const unsigned pid = static_cast<unsigned>(getpid()) & 0x3fffffu;
    for (unsigned slot = 0; slot < 4; ++slot) {
      key_t k = static_cast<key_t>(0x71000000u | (pid << 2) | slot);
      if (shmget(k, 0, 0) < 0 && errno == ENOENT) {
        key_ = k;
        break;
      }
    }
  }
  ~KeyGuard() {
    if (key_ == IPC_PRIVATE) return;
    int id = shmget(key_, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;

  key_t key() const { return key_; }
  std::string hex() const { return Hex(key_); }
  int id() const { return shmget(key_, 0, 0); }
  bool exists() const { return id() >= 0; }
  // The two ints of the segment, read directly.
  bool Read(int* mode, int* level) const {
    int sid = id();
    if (sid < 0) return false;
    void* p = shmat(sid, nullptr, SHM_RDONLY);
    if (p == reinterpret_cast<void*>(-1)) return false;
    const int* v = static_cast<const int*>(p);
    *mode = v[0];
    *level = v[1];
    shmdt(p);
    return true;
  }

 private:
  key_t key_ = IPC_PRIVATE;
};

TEST(Qellog, NoArgumentsPrintsUsage) {
  Result r = RunQellog({});
  EXPECT_EQ(RemoveCreated(r), 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, Usage());
}

TEST(Qellog, CreateOnNewKeyReportsZero) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  Result r = RunQellog({"-c", "-k", g.hex()});
  ASSERT_TRUE(g.exists());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Report(g.key(), g.id(), 0, 0));
  EXPECT_EQ(r.err, "");
  int mode = -1, level = -1;
  ASSERT_TRUE(g.Read(&mode, &level));
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(level, 0);
}

TEST(Qellog, SetThenShowChangesNothing) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  Result set = RunQellog({"-c", "-k", g.hex(), "-m", "1", "-l", "2"});
  ASSERT_TRUE(g.exists());
  EXPECT_EQ(set.status, 0);
  EXPECT_EQ(set.out, Report(g.key(), g.id(), 1, 2));

  // -s only shows, even with values on the command line.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-s", "-k", g.hex()},
        std::vector<std::string>{"-k", g.hex(), "-s", "-m", "0", "-l", "0"}}) {
    Result show = RunQellog(args);
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(show.out, Report(g.key(), g.id(), 1, 2));
    int mode = -1, level = -1;
    ASSERT_TRUE(g.Read(&mode, &level));
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(level, 2);
  }
}

TEST(Qellog, AnyNonZeroModeIsOn) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  Result r = RunQellog({"-c", "-k", g.hex(), "-m", "-3", "-l", "7"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Report(g.key(), g.id(), -3, 7));
}

TEST(Qellog, CallWithoutValuesSwitchesLoggingOff) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  ASSERT_EQ(RunQellog({"-c", "-k", g.hex(), "-m", "1", "-l", "2"}).status, 0);

  // The segment exists now: no -c needed.
  Result r = RunQellog({"-k", g.hex()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Report(g.key(), g.id(), 0, 0));
  int mode = -1, level = -1;
  ASSERT_TRUE(g.Read(&mode, &level));
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(level, 0);
}

TEST(Qellog, MissingSegmentWithoutCreateIsAnError) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  Result r = RunQellog({"-k", g.hex(), "-m", "1"});
  EXPECT_EQ(RemoveCreated(r), 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "INFO : Shared memory get error\n" + Usage());
  EXPECT_FALSE(g.exists());
}

// Command lines that are refused before any segment is touched: the expected
// output before the usage line, and the program creates no segment at all.
// A key that holds the relay's record ring: qellog neither shows nor writes
// it, whether or not it was asked to create.
TEST(Qellog, RecordRingIsNotTakenForALogControlSegment) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  const int id = shmget(g.key(), tav::ring::bytes_for(64), IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  void* base = shmat(id, nullptr, 0);
  tav::ring::format(base, 64, tav::ring::kGtuidFamily, g.key(), 3, 0600, getpid());
  const std::string before(static_cast<const char*>(base), sizeof(tav::ring::Header));
  for (const std::vector<std::string>& args : {std::vector<std::string>{"-c", "-k", g.hex(), "-m", "1"},
                                               std::vector<std::string>{"-k", g.hex(), "-s"}}) {
    Result r = RunQellog(args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_NE(r.out.find("is a record ring of the relay"), std::string::npos) << r.out;
  }
  EXPECT_EQ(std::string(static_cast<const char*>(base), sizeof(tav::ring::Header)), before);
  shmdt(base);
}

TEST(Qellog, RefusedCommandLines) {
  KeyGuard g;
  ASSERT_NE(g.key(), IPC_PRIVATE);
  char bare[16];
  snprintf(bare, sizeof bare, "%x", static_cast<unsigned>(g.key()));
  const std::string k = g.hex();
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string before_usage;
  };
  const Case cases[] = {
      {"key without 0x", {"-c", "-k", bare}, ""},
      {"key with 0X", {"-c", "-k", "0X" + std::string(bare)}, ""},
      {"key not a number", {"-c", "-k", "0xzz"}, ""},
      {"missing -k", {"-c", "-m", "1", "-l", "1"}, ""},
      {"private key", {"-c", "-k", "0x0"}, ""},
      {"extra word", {"-c", "-k", k, "word"}, "INFO  : Unrecognized word\n"},
      {"two extra words",
       {"-c", "-k", k, "one", "two"},
       "INFO  : Unrecognized one\nINFO  : Unrecognized two\n"},
      {"unknown option", {"-c", "-x", "-k", k}, "INFO : Unrecognized option: -x\n"},
      {"-k without argument", {"-c", "-k"}, "INFO : Unrecognized option: -k\n"},
      {"-m without argument", {"-c", "-k", k, "-m"}, "INFO : Unrecognized option: -m\n"},
      {"bad -m value", {"-c", "-k", k, "-m", "on"}, ""},
      {"bad -l value", {"-c", "-k", k, "-l", "x1"}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = RunQellog(c.args);
    EXPECT_EQ(RemoveCreated(r), 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, c.before_usage + Usage());
    EXPECT_FALSE(g.exists());
  }
}

}  // namespace
