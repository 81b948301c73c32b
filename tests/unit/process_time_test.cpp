// Process name, shared memory, date-time text and the per-thread clock.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <fstream>
#include <string>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_globals.h"
#include "base/tav_digits.h"
#include "base/tav_time.h"
#include "base/tav_util.h"
#include "unit_support.h"

extern char** environ;

namespace {

// ---- processes ------------------------------------------------------------

TEST(Process, OwnFirstArgument) {
  char buf[1024];
  ASSERT_EQ(tav_getproc(getpid(), buf, sizeof buf), buf);
  EXPECT_STREQ(buf, program_invocation_name);

  char small[5];
  ASSERT_EQ(tav_getproc(getpid(), small, sizeof small), small);
  EXPECT_EQ(std::string(small), std::string(program_invocation_name).substr(0, 4));

  EXPECT_EQ(tav_getproc(getpid(), buf, 0), nullptr);
  EXPECT_EQ(tav_getproc(getpid(), nullptr, 16), nullptr);
}

TEST(Process, OwnNameIsTheTestBinary) {
  std::memset(en_my_pname, 0, sizeof en_my_pname);
  ASSERT_EQ(tav_getpname(getpid()), 0);
  EXPECT_STREQ(en_my_pname, program_invocation_short_name);
  EXPECT_NE(en_my_pname[0], '\0');
}

TEST(Process, UnknownPidFailsAndKeepsTheName) {
  std::strcpy(en_my_pname, "kept");
  for (pid_t pid : {pid_t{0}, pid_t{-1}, pid_t{INT_MAX}}) {
    char buf[64];
    errno = 1234;
    EXPECT_EQ(tav_getproc(pid, buf, sizeof buf), nullptr) << pid;
    EXPECT_EQ(errno, 1234) << "errno changed for pid " << pid;
    EXPECT_EQ(tav_getpname(pid), -1) << pid;
    EXPECT_STREQ(en_my_pname, "kept");
  }
}

// A sleeping child whose first argument is chosen by the test.
class Child {
 public:
  explicit Child(const std::string& argv0) {
    std::string secs = "30";
    char* argv[] = {const_cast<char*>(argv0.c_str()), secs.data(), nullptr};
    if (posix_spawn(&pid_, "/bin/sleep", nullptr, nullptr, argv, environ) != 0) {
      pid_ = -1;
      return;
    }
    // The parent resumes while the kernel is still setting up the new
    // program, whose command line reads empty until then.
    std::string path = "/proc/" + std::to_string(pid_) + "/cmdline";
    for (int i = 0; i < 2000; ++i) {
      std::ifstream in(path, std::ios::binary);
      if (in.get() != std::char_traits<char>::eof()) return;
      usleep(1000);
    }
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

TEST(Process, NameCutAtBlankAfterLastSlashAnd32Bytes) {
  const std::string long_dir = "/" + std::string(150, 'd') + "/tail";
  const struct {
    std::string argv0;
    std::string name;
  } cases[] = {
      {"/usr/local/bin/worker", "worker"},
      {"plain", "plain"},
      {"/opt/x y/bin/srv", "x"},          // cut at the blank first
      {"srv -Dopt=/a/b", "srv"},
      {"/a/" + std::string(40, 'n'), std::string(32, 'n')},
      {long_dir, std::string(32, 'd')},  // only 127 bytes are read: "tail" is lost
      {"/trailing/", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.argv0);
    Child child(c.argv0);
    ASSERT_GT(child.pid(), 0);
    std::memset(en_my_pname, 'z', sizeof en_my_pname);
    ASSERT_EQ(tav_getpname(child.pid()), 0);
    EXPECT_EQ(std::string(en_my_pname), c.name);
  }
}

// ---- shared memory --------------------------------------------------------

// Detaches and removes what a test attached, pass or fail.
class ShmGuard {
 public:
  ~ShmGuard() {
    for (void* a : addrs_) shmdt(a);
    for (int id : ids_) shmctl(id, IPC_RMID, nullptr);
  }
  // Takes the id by pointer: read after the call that fills it (an argument
  // by value may be evaluated before that call).
  void* keep(void* addr, const int* id) {
    if (addr) addrs_.push_back(addr);
    if (id && *id >= 0) ids_.push_back(*id);
    return addr;
  }

 private:
  std::vector<void*> addrs_;
  std::vector<int> ids_;
};

TEST(SharedMemory, CreateAttachAndClearOnlyNewSegments) {
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  // A key of our own: derived from the private directory, and not in use.
  key_t key = -1;
  for (int proj = 1; proj < 255 && key == -1; ++proj) {
    key_t k = ftok(dir.path().c_str(), proj);
    if (k != -1 && shmget(k, 0, 0) < 0 && errno == ENOENT) key = k;
  }
  ASSERT_NE(key, -1);
  ShmGuard guard;
  const size_t size = 64;

  int id = -7;
  EXPECT_EQ(tav_shm_get(key, &id, size, 0600, 1), nullptr);  // absent, no create flag
  EXPECT_EQ(id, -7);

  auto* first = static_cast<unsigned char*>(guard.keep(tav_shm_get(key, &id, size, IPC_CREAT | 0600, 1), &id));
  ASSERT_NE(first, nullptr);
  ASSERT_GE(id, 0);
  for (size_t i = 0; i < size; ++i) ASSERT_EQ(first[i], 0) << i;
  std::memset(first, 0xab, size);

  // Existing segment: same id, contents kept even when clearing is asked for.
  int id2 = -1;
  auto* second = static_cast<unsigned char*>(guard.keep(tav_shm_get(key, &id2, size, IPC_CREAT | 0600, 1), nullptr));
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(id2, id);
  EXPECT_NE(second, first);
  for (size_t i = 0; i < size; ++i) ASSERT_EQ(second[i], 0xab) << i;

  int id3 = -1;
  auto* third = static_cast<unsigned char*>(guard.keep(tav_shm_get(key, &id3, size, 0600, 0), nullptr));
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(id3, id);
  third[0] = 0x11;
  EXPECT_EQ(first[0], 0x11);  // one segment behind all attachments

  EXPECT_EQ(tav_shm_get(key, nullptr, size, IPC_CREAT | IPC_EXCL | 0600, 1), nullptr);
  EXPECT_EQ(tav_shm_get(key, nullptr, size * 1024 * 1024, 0600, 0), nullptr);  // larger than it is
}

TEST(SharedMemory, PrivateSegment) {
  ShmGuard guard;
  int id = -1;
  auto* p = static_cast<int*>(guard.keep(tav_shm_get(IPC_PRIVATE, &id, 8, IPC_CREAT | 0600, 1), &id));
  ASSERT_NE(p, nullptr);
  shmid_ds ds{};
  ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 8u);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[1], 0);
}

// ---- date-time text -------------------------------------------------------

TEST(DateTime, TwentyDigitsFromLocalTimeAndMicroseconds) {
  const struct {
    int year, mon, day, hour, min, sec;
    long usec;
    const char* text;
  } cases[] = {
      {2021, 3, 12, 11, 42, 4, 123, "20210312114204000123"},
      {1999, 12, 31, 23, 59, 59, 999999, "19991231235959999999"},
      {2000, 1, 1, 0, 0, 0, 0, "20000101000000000000"},
      {2038, 1, 19, 3, 14, 8, 500000, "20380119031408500000"},
  };
  for (const auto& c : cases) {
    tm t{};
    t.tm_year = c.year - 1900;
    t.tm_mon = c.mon - 1;
    t.tm_mday = c.day;
    t.tm_hour = c.hour;
    t.tm_min = c.min;
    t.tm_sec = c.sec;
    timeval tv{};
    tv.tv_sec = 1;
    tv.tv_usec = c.usec;
    char out[21];
    EXPECT_EQ(tav_date_time(&tv, &t, out), out);
    EXPECT_STREQ(out, c.text);
  }
}

TEST(DateTime, OutOfRangeFieldsStayWithin21Bytes) {
  tm t{};
  t.tm_year = 123456;
  t.tm_mon = 99;
  t.tm_mday = -5;
  timeval tv{};
  tv.tv_usec = 123456789;
  char out[32];
  std::memset(out, '#', sizeof out);
  tav_date_time(&tv, &t, out);
  EXPECT_EQ(std::strlen(out), 20u);
  for (size_t i = 21; i < sizeof out; ++i) EXPECT_EQ(out[i], '#') << i;
}

// The cached text is the text of the full formatting, second by second, in
// a time zone with a daylight-saving change, including the second before
// and after it and a reading the cache has seen before.
TEST(DateTime, CachedTextIsTheFormattedText) {
  const char* old_tz = getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // no zone files needed
  tzset();
  // 2026-03-29 01:59:59 CET is followed by 03:00:00 CEST.
  const time_t change = 1774745999;
  const struct {
    time_t sec;
    long usec;
  } readings[] = {{change, 999999}, {change, 0}, {change + 1, 0}, {change + 1, 5},
                  {change - 86400, 123456}, {change, 42}, {0, 0}, {2000000000, 999999}};
  mdate cache{};
  for (const auto& r : readings) {
    timeval tv{};
    tv.tv_sec = r.sec;
    tv.tv_usec = r.usec;
    tm lt{};
    localtime_r(&tv.tv_sec, &lt);
    char want[21], got[21];
    tav_date_time(&tv, &lt, want);
    EXPECT_EQ(tav_date_cached(&cache, &tv, got), got);
    EXPECT_STREQ(got, want) << r.sec << "." << r.usec;
  }
  if (old_tz) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(Digits, FixedWidthAndShortestForms) {
  const struct {
    uint64_t v;
    size_t width;
    const char* fixed;      // put_digits: the last `width` digits
    const char* shortest;   // put_number with `width` as the least width
  } cases[] = {
      {0, 1, "0", "0"},          {7, 5, "00007", "00007"},        {65535, 5, "65535", "65535"},
      {123456, 5, "23456", "123456"}, {99, 2, "99", "99"},       {100, 2, "00", "100"},
      {1774745999, 10, "1774745999", "1774745999"}, {5, 3, "005", "005"},
      {18446744073709551615ull, 20, "18446744073709551615", "18446744073709551615"},
  };
  for (const auto& c : cases) {
    char a[24] = {}, b[24] = {};
    tav::put_digits(a, c.width, c.v);
    EXPECT_STREQ(a, c.fixed) << c.v;
    EXPECT_EQ(tav::put_number(b, c.v, c.width), strlen(c.shortest)) << c.v;
    EXPECT_STREQ(b, c.shortest) << c.v;
  }
  const uint8_t id[tav::kGtuidBytes] = {17, 0, 99, 5, 10, 12, 34, 56, 78, 90, 123};
  char digits[23];
  tav::gtuid_digits(id, digits);
  EXPECT_STREQ(digits, "1700990510123456789023") << "a byte above 99 keeps its last two digits";
  const struct {
    uint8_t ip[4];
    const char* text;
  } addrs[] = {{{0, 0, 0, 0}, "0.0.0.0"}, {{10, 1, 2, 3}, "10.1.2.3"}, {{255, 255, 255, 255}, "255.255.255.255"},
               {{127, 0, 100, 9}, "127.0.100.9"}};
  for (const auto& a : addrs) {
    char out[16];
    std::memset(out, '#', sizeof out);
    tav::ipv4_text(a.ip, out);
    EXPECT_STREQ(out, a.text);
  }
}

// ---- per-thread clock -----------------------------------------------------

long long ns(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

long long realtime_ns() {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  return ns(t);
}

TEST(Clock, InitTakesTheRealTime) {
  mtime mt{};
  long long before = realtime_ns();
  tav_init_time(&mt);
  long long after = realtime_ns();
  EXPECT_GE(ns(mt.tns), before);
  EXPECT_LE(ns(mt.tns), after);
  EXPECT_EQ(mt.ons, static_cast<uint32_t>(mt.tns.tv_nsec));
  EXPECT_EQ(mt.nns, 0u);
}

TEST(Clock, StrictlyIncreasingAndCloseToRealTime) {
  mtime mt{};
  tav_init_time(&mt);
  timespec prev{};
  tav_get_time(&mt, &prev);
  const long long slack = 5000000;  // 5 ms
  for (int i = 0; i < 200000; ++i) {
    timespec now{};
    long long before = realtime_ns();
    tav_get_time(&mt, &now);
    long long after = realtime_ns();
    ASSERT_GT(ns(now), ns(prev)) << "call " << i;
    ASSERT_LT(now.tv_nsec, 1000000000L);
    ASSERT_GE(ns(now), before - slack) << "call " << i;
    ASSERT_LE(ns(now), after + slack) << "call " << i;
    ASSERT_EQ(mt.ons, mt.nns);
    prev = now;
  }
}

TEST(Clock, FollowsTheClockReadingsWhileTheyMoveForward) {
  mtime mt{};
  tav_init_time(&mt);
  timespec a{}, b{};
  tav_get_time(&mt, &a);
  uint32_t first = mt.nns;
  // Wait for a later reading within the same second.
  for (int i = 0; i < 1000; ++i) {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    if (ns(t) - ns(a) > 100000) break;
  }
  tav_get_time(&mt, &b);
  uint32_t second = mt.nns;
  if (b.tv_sec != a.tv_sec) GTEST_SKIP() << "crossed a second boundary";
  EXPECT_EQ(ns(b) - ns(a), static_cast<long long>(second) - first);
  // Across seconds nothing is lost either: the value is the real time.
  EXPECT_LE(std::llabs(ns(b) - realtime_ns()), 5000000LL);
}

TEST(Clock, BaseAheadOfRealTimeStillIncreases) {
  const struct {
    long long ahead_ns;
    long nsec;  // nanosecond field of the base; -1 keeps the real one
  } cases[] = {{10LL * 1000000000, -1}, {3600LL * 1000000000, 999999999}, {1000000, 999999998}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ahead_ns);
    mtime mt{};
    tav_init_time(&mt);
    long long base = ns(mt.tns) + c.ahead_ns;
    mt.tns.tv_sec = static_cast<time_t>(base / 1000000000);
    mt.tns.tv_nsec = c.nsec >= 0 ? c.nsec : static_cast<long>(base % 1000000000);
    long long prev = ns(mt.tns);
    for (int i = 0; i < 1000; ++i) {
      timespec t{};
      tav_get_time(&mt, &t);
      ASSERT_LT(t.tv_nsec, 1000000000L);
      if (ns(t) > realtime_ns() + 1000000) {
        ASSERT_EQ(ns(t), prev + 1) << "call " << i;  // 1 ns per call until real time catches up
      } else {
        ASSERT_GT(ns(t), prev) << "call " << i;
      }
      prev = ns(t);
    }
  }
}

TEST(Clock, NullArgumentsAreHarmless) {
  timespec t{};
  tav_get_time(nullptr, &t);
  EXPECT_LE(std::llabs(ns(t) - realtime_ns()), 5000000LL);
  mtime mt{};
  tav_init_time(&mt);
  tav_get_time(&mt, nullptr);
  tav_init_time(nullptr);
}

}  // namespace
