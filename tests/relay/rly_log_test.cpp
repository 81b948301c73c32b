// The relay's log: file naming and sequence, line prefix, hex dumps, size
// switch, day change, call-site levels, and the file-system safety rules.
#include "rly_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

timespec g_fake{};
void FakeClock(timespec* ts) { *ts = g_fake; }

// Local time of the given calendar date.
timespec At(int y, int mo, int d, int h, int mi, int s, int ms) {
  tm t{};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  t.tm_isdst = -1;
  return timespec{mktime(&t), ms * 1000000L};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void SetMtime(const std::string& path, time_t sec) {
  timespec times[2] = {{sec, 0}, {sec, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::set<std::string> ListDir(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

// "<pid>.<thread>" as every line of this thread carries it.
std::string PidThread() {
  char buf[64];
  snprintf(buf, sizeof buf, "%d.%0*d", static_cast<int>(getpid()), 4,
           static_cast<int>(pthread_self()));
  return buf;
}

class RelayLog : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qel-rlylog-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    ASSERT_LT(dir_.size(), sizeof en_log_path);
    snprintf(en_log_path, sizeof en_log_path, "%s", dir_.c_str());
    snprintf(en_log_file, sizeof en_log_file, "%s", "relay");
    snprintf(en_agent, sizeof en_agent, "%s", "agt1host");
    en_log_sz = 104857600;
    en_log = 0;
    en_log_level = 0;
    g_fake = At(2031, 5, 6, 10, 11, 12, 345);
    rly::log_set_clock(FakeClock);
    rly::log_reset();
  }
  void TearDown() override {
    rly::log_set_clock(nullptr);
    rly::log_reset();
    en_log_path[0] = '\0';
    en_log_file[0] = '\0';
    if (!dir_.empty()) {
      std::error_code ec;
      std::filesystem::remove_all(dir_, ec);
    }
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Log(int seq, const char* date = "20310506") const {
    char buf[64];
    snprintf(buf, sizeof buf, "relay.%s.%04d", date, seq);
    return Path(buf);
  }
  static std::string Prefix(char kind, char module, int line, const char* tod = "101112.345") {
    char buf[256];
    snprintf(buf, sizeof buf, "agt1host %s %s %c %c%04d ", tod, PidThread().c_str(), kind, module,
             line);
    return buf;
  }

  std::string dir_;
};

// ---- hex dump text -------------------------------------------------------

TEST(RelayHexDump, Layout) {
  const std::string x16 = "78 78 78 78 78 78 78 78 - 78 78 78 78 78 78 78 78 |xxxxxxxxxxxxxxxx|\n";
  struct Case {
    const char* what;
    std::string data;
    std::string text;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"8 bytes: no separator, 8*3+2 blanks", "ABCDEFGH",
       "+ 000000h: 41 42 43 44 45 46 47 48 " + std::string(26, ' ') + "|ABCDEFGH        |\n"},
      {"9 bytes: separator after the eighth", "ABCDEFGHI",
       "+ 000000h: 41 42 43 44 45 46 47 48 - 49 " + std::string(21, ' ') + "|ABCDEFGHI       |\n"},
      {"16 bytes: one full row", "ABCDEFGHIJKLMNOP",
       "+ 000000h: 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50 |ABCDEFGHIJKLMNOP|\n"},
      {"20 bytes: second row of 4", "ABCDEFGHIJKLMNOPQRST",
       "+ 000000h: 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50 |ABCDEFGHIJKLMNOP|\n"
       "+ 000010h: 51 52 53 54 " + std::string(12 * 3 + 2, ' ') + "|QRST            |\n"},
      {"33 bytes: offsets", std::string(33, 'x'),
       "+ 000000h: " + x16 + "+ 000010h: " + x16 + "+ 000020h: 78 " + std::string(47, ' ') +
           "|x               |\n"},
      {"unprintable bytes", std::string("\x00\x1f\x20\x7e\x7f\x80\xff\x61", 8),
       "+ 000000h: 00 1f 20 7e 7f 80 ff 61 " + std::string(26, ' ') + "|.. ~...a        |\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int len = static_cast<int>(c.data.size());
    std::vector<char> out(static_cast<size_t>(len / 16 + 1) * 82 + 1, '#');
    int n = tav_hexstr(out.data(), c.data.data(), len);
    EXPECT_EQ(std::string(out.data()), c.text);
    EXPECT_EQ(n, static_cast<int>(c.text.size()));
    std::istringstream rows(c.text);
    for (std::string row; std::getline(rows, row);) EXPECT_EQ(row.size() + 1, 80u);
  }
}

// ---- line prefix and module letter ---------------------------------------

TEST(RelayLogModule, FourthLetterOfBaseName) {
  struct Case {
    const char* file;
    char letter;
  };
  const Case cases[] = {
      {"/work/relay/tavmaster.cpp", 'M'}, {"tavmain.cpp", 'M'},   {"relay/tavagent.cpp", 'A'},
      {"tavAdt.cpp", 'A'},                {"src/tavjni.cpp", 'J'}, {"rly_log.cpp", 'M'},
      {"/dir.name/abc", 'M'},             {"", 'M'},               {nullptr, 'M'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "(null)");
    EXPECT_EQ(rly::log_module(c.file), c.letter);
  }
}

TEST_F(RelayLog, LinePrefixAndFileName) {
  tav_usrlog("/src/relay/tavagent.cpp", 42, 'T', "hello %d\n", 7);
  tav_usrlog("tavmaster.cpp", 12345, 'E', "second\n");
  EXPECT_EQ(ReadFile(Log(1)),
            Prefix('T', 'A', 42) + "hello 7\n" + Prefix('E', 'M', 12345) + "second\n");
  EXPECT_EQ(en_log_seq, 1);
  EXPECT_EQ(ListDir(dir_), std::set<std::string>{"relay.20310506.0001"});
}

TEST_F(RelayLog, TimeAndDate) {
  g_fake = At(2031, 12, 31, 7, 8, 9, 5);
  char tod[11], date[9];
  tav_getctime(tod, date);
  EXPECT_STREQ(tod, "070809.005");
  EXPECT_STREQ(date, "20311231");
  tav_getctime(tod, nullptr);
  EXPECT_STREQ(tod, "070809.005");
}

TEST_F(RelayLog, ConsoleLine) {
  fflush(stdout);
  const std::string out = Path("stdout");
  int fd = open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  int saved = dup(1);
  ASSERT_GE(saved, 0);
  dup2(fd, 1);
  close(fd);
  tav_scrlog("tavqueue.cpp", 7, "queue %s\n", "up");
  // Flushed by the call itself: the text is in the file before stdout is restored.
  std::string text = ReadFile(out);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(text, PidThread() + " Q0007 queue up\n");
}

// ---- hex and queue entries -----------------------------------------------

TEST_F(RelayLog, HexAndQueueEntries) {
  const std::string data = "ABCDEFGHIJKLMNOPQRST";
  tav_hexlog("tavagent.cpp", 5, 'H', data.data(), 20, "recv %s", "fd(3)");
  const unsigned char msg[8 + 3] = {0x34, 0x12, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'};
  long type = 0;
  memcpy(&type, msg, 8);
  ASSERT_EQ(type, 0x1234) << "test assumes a little-endian host";
  tav_quelog("tavagent.cpp", 6, 'H', msg, 3, "queue");
  EXPECT_EQ(ReadFile(Log(1)),
            Prefix('H', 'A', 5) + "recv fd(3) len(0020)\n" +
                "+ 000000h: 41 42 43 44 45 46 47 48 - 49 4a 4b 4c 4d 4e 4f 50 |ABCDEFGHIJKLMNOP|\n"
                "+ 000010h: 51 52 53 54 " + std::string(38, ' ') + "|QRST            |\n" +
                Prefix('H', 'A', 6) + "queue mtype(0x1234) len(0003)\n" +
                "+ 000000h: 61 62 63 " + std::string(13 * 3 + 2, ' ') + "|abc             |\n");
}

TEST_F(RelayLog, EmptyDumpWritesNothing) {
  const char data[4] = {1, 2, 3, 4};
  tav_hexlog("tavagent.cpp", 1, 'H', nullptr, 4, "none");
  tav_hexlog("tavagent.cpp", 2, 'H', data, 0, "none");
  tav_hexlog("tavagent.cpp", 3, 'H', data, -1, "none");
  tav_quelog("tavagent.cpp", 4, 'H', nullptr, 4, "none");
  EXPECT_TRUE(ListDir(dir_).empty());
}

// Messages longer than their buffers are cut, never written past them.
TEST_F(RelayLog, LongMessagesAreCut) {
  const std::string big(20000, 'a');
  tav_usrlog("tavmaster.cpp", 1, 'T', "%s\n", big.c_str());
  std::string text = ReadFile(Log(1));
  const std::string prefix = Prefix('T', 'M', 1);
  ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
  std::string msg = text.substr(prefix.size());
  ASSERT_GT(msg.size(), 1000u);
  EXPECT_LT(msg.size(), big.size());
  EXPECT_EQ(msg.back(), '\n');
  EXPECT_EQ(msg.find_first_not_of('a'), msg.size() - 1);

  // A long header is cut; the length line and the whole dump still follow.
  ASSERT_EQ(unlink(Log(1).c_str()), 0);
  std::string bytes(100, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::string header(1000, 'h');
  tav_hexlog("tavagent.cpp", 2, 'H', bytes.data(), 100, "%s", header.c_str());
  std::vector<char> dump(static_cast<size_t>(100 / 16 + 1) * 82 + 1);
  tav_hexstr(dump.data(), bytes.data(), 100);
  const std::string tail = " len(0100)\n" + std::string(dump.data());
  text = ReadFile(Log(1));
  const std::string hprefix = Prefix('H', 'A', 2);
  ASSERT_GT(text.size(), hprefix.size() + tail.size());
  ASSERT_EQ(text.compare(0, hprefix.size(), hprefix), 0);
  ASSERT_EQ(text.compare(text.size() - tail.size(), tail.size(), tail), 0);
  const std::string cut = text.substr(hprefix.size(), text.size() - hprefix.size() - tail.size());
  EXPECT_GT(cut.size(), 100u);
  EXPECT_LT(cut.size(), header.size());
  EXPECT_EQ(cut, std::string(cut.size(), 'h'));
}

// ---- file sequence -------------------------------------------------------

TEST_F(RelayLog, ContinuesNewestFileOfTheDay) {
  const time_t t = g_fake.tv_sec - 3600;
  struct File {
    std::string name;
    time_t mtime;
  };
  const File files[] = {
      {"relay.20310506.0001", t - 100},
      {"relay.20310506.0003", t},            // newest of the day
      {"relay.20310506.0005", t - 50},       // higher number, older
      {"relay.20310505.0009", t + 100},      // another day
      {"relayx.20310506.0008", t + 100},     // another base name
      {"relay.20310506.0007.gz", t + 100},   // not a sequence
      {"relay.20310506.", t + 100},          // no sequence
  };
  for (const File& f : files) {
    WriteFile(Path(f.name), "old\n");
    SetMtime(Path(f.name), f.mtime);
  }
  // Neither a directory nor a symbolic link counts as a log file.
  ASSERT_EQ(mkdir(Path("relay.20310506.0006").c_str(), 0700), 0);
  SetMtime(Path("relay.20310506.0006"), t + 100);
  ASSERT_EQ(symlink("relay.20310506.0001", Path("relay.20310506.0004").c_str()), 0);
  SetMtime(Path("relay.20310506.0004"), t + 100);

  EXPECT_EQ(rly::log_find_seq(dir_.c_str(), "relay", "20310506"), 3);
  EXPECT_EQ(rly::log_find_seq(dir_.c_str(), "relay", "20310507"), 1);
  EXPECT_EQ(rly::log_find_seq(Path("missing").c_str(), "relay", "20310506"), 1);

  tav_usrlog("tavmaster.cpp", 1, 'T', "next\n");
  EXPECT_EQ(en_log_seq, 3);
  EXPECT_EQ(ReadFile(Log(3)), "old\n" + Prefix('T', 'M', 1) + "next\n");
  EXPECT_EQ(ReadFile(Log(5)), "old\n");
}

// Base names are plain text: no shell ever sees them.
TEST_F(RelayLog, BaseNameWithShellCharacters) {
  struct CwdGuard {
    int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ~CwdGuard() {
      if (fd >= 0) {
        if (fchdir(fd) != 0) perror("fchdir");
        close(fd);
      }
    }
  } cwd;
  ASSERT_GE(cwd.fd, 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  for (const char* base : {"a;touch x", "$(touch y)", "b`touch z`", "c *"}) {
    SCOPED_TRACE(base);
    const std::string name = std::string(base) + ".20310506.0002";
    WriteFile(Path(name), "old\n");
    snprintf(en_log_file, sizeof en_log_file, "%s", base);
    tav_usrlog("tavmaster.cpp", 1, 'T', "line\n");
    EXPECT_EQ(ReadFile(Path(name)), "old\n" + Prefix('T', 'M', 1) + "line\n");
    EXPECT_EQ(ListDir(dir_), std::set<std::string>{name});
    ASSERT_EQ(unlink(Path(name).c_str()), 0);
  }
}

TEST_F(RelayLog, SwitchesToNextFileAboveSize) {
  en_log_sz = 100;
  WriteFile(Log(1), std::string(99, 'o') + "\n");  // exactly the size: appended to
  tav_usrlog("tavmaster.cpp", 1, 'T', "one\n");
  EXPECT_EQ(en_log_seq, 1);
  tav_usrlog("tavmaster.cpp", 2, 'T', "two\n");
  tav_usrlog("tavmaster.cpp", 3, 'T', "three\n");
  EXPECT_EQ(en_log_seq, 2);
  EXPECT_EQ(ReadFile(Log(1)), std::string(99, 'o') + "\n" + Prefix('T', 'M', 1) + "one\n");
  EXPECT_EQ(ReadFile(Log(2)), Prefix('T', 'M', 2) + "two\n" + Prefix('T', 'M', 3) + "three\n");

  // A following file that is itself over the size is passed over as well.
  rly::log_reset();
  en_log_sz = 10;
  WriteFile(Log(3), std::string(20, 'o'));
  SetMtime(Log(1), g_fake.tv_sec - 10);
  SetMtime(Log(2), g_fake.tv_sec - 5);
  SetMtime(Log(3), g_fake.tv_sec - 20);
  tav_usrlog("tavmaster.cpp", 4, 'T', "four\n");
  EXPECT_EQ(en_log_seq, 4);
  EXPECT_EQ(ReadFile(Log(4)), Prefix('T', 'M', 4) + "four\n");
  EXPECT_EQ(ReadFile(Log(3)), std::string(20, 'o'));
}

TEST_F(RelayLog, NewDayLooksForItsNewestFile) {
  g_fake = At(2031, 5, 6, 23, 59, 59, 900);
  tav_usrlog("tavmaster.cpp", 1, 'T', "late\n");
  // Later files of the same day do not move the current file.
  WriteFile(Log(5), "");
  tav_usrlog("tavmaster.cpp", 2, 'T', "later\n");
  EXPECT_EQ(ReadFile(Log(1)), Prefix('T', 'M', 1, "235959.900") + "late\n" +
                                  Prefix('T', 'M', 2, "235959.900") + "later\n");
  EXPECT_EQ(ReadFile(Log(5)), "");

  WriteFile(Log(2, "20310507"), "old\n");
  g_fake = At(2031, 5, 7, 0, 0, 0, 100);
  tav_usrlog("tavmaster.cpp", 3, 'T', "early\n");
  EXPECT_EQ(en_log_seq, 2);
  EXPECT_EQ(ReadFile(Log(2, "20310507")), "old\n" + Prefix('T', 'M', 3, "000000.100") + "early\n");

  // The day after that has no file yet.
  g_fake = At(2031, 5, 8, 0, 0, 1, 0);
  tav_usrlog("tavmaster.cpp", 4, 'T', "next\n");
  EXPECT_EQ(en_log_seq, 1);
  EXPECT_EQ(ReadFile(Log(1, "20310508")), Prefix('T', 'M', 4, "000001.000") + "next\n");
}

// ---- call sites ----------------------------------------------------------

TEST_F(RelayLog, CallSitesFollowModeAndLevel) {
  struct Case {
    int log;
    int level;
    const char* kinds;  // kind letters of the entries written, in order
  };
  const Case cases[] = {
      {0, 0, ""}, {0, 2, ""}, {1, 0, "TE"}, {1, 1, "TED"}, {1, 2, "TEDHH"},
  };
  const unsigned char msg[8 + 2] = {1, 0, 0, 0, 0, 0, 0, 0, 'q', 'r'};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "log " << c.log << " level " << c.level);
    en_log = c.log;
    en_log_level = c.level;
    RLY_LOG_T("trace\n");
    RLY_LOG_E("error\n");
    RLY_LOG_D("detail\n");
    RLY_LOG_H("hex", 2, "dump");
    RLY_LOG_Q(msg, 2, "queue");
    std::string kinds;
    std::istringstream lines(ReadFile(Log(1)));
    const std::string start = "agt1host 101112.345 " + PidThread() + " ";
    for (std::string line; std::getline(lines, line);)
      if (line.compare(0, start.size(), start) == 0) kinds += line[start.size()];
    EXPECT_EQ(kinds, c.kinds);
    if (!*c.kinds) {
      EXPECT_TRUE(ListDir(dir_).empty());
    }
    unlink(Log(1).c_str());
  }
}

// ---- files and threads ---------------------------------------------------

TEST_F(RelayLog, SymbolicLinkAtLogNameIsNotFollowed) {
  WriteFile(Path("target"), "");
  ASSERT_EQ(symlink("target", Log(1).c_str()), 0);
  tav_usrlog("tavmaster.cpp", 1, 'T', "secret\n");
  EXPECT_EQ(ReadFile(Path("target")), "");
  struct stat st;
  ASSERT_EQ(lstat(Log(1).c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(RelayLog, FilesAreWorldWritableWhateverTheUmask) {
  const mode_t old = umask(077);
  tav_usrlog("tavmaster.cpp", 1, 'T', "line\n");
  const mode_t during = umask(old);
  EXPECT_EQ(during, 077u);
  struct stat st;
  ASSERT_EQ(stat(Log(1).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(RelayLog, LinesOfThreadsDoNotMix) {
  en_log_sz = 20000;  // several switches while the threads write
  constexpr int kThreads = 4, kLines = 250;
  const std::string pad(120, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &pad] {
      for (int i = 0; i < kLines; ++i)
        tav_usrlog("tavagent.cpp", 9, 'T', "thread %d line %03d %s\n", t, i, pad.c_str());
    });
  for (auto& th : threads) th.join();

  ASSERT_GT(en_log_seq, 2);
  std::vector<std::set<int>> seen(kThreads);
  for (int seq = 1; seq <= en_log_seq; ++seq) {
    std::istringstream lines(ReadFile(Log(seq)));
    for (std::string line; std::getline(lines, line);) {
      char tod[16], kind, mod;
      int pid, tid, pos, t, i, n = 0;
      ASSERT_EQ(sscanf(line.c_str(), "agt1host %15s %d.%d %c %c%d thread %d line %d %n", tod, &pid,
                       &tid, &kind, &mod, &pos, &t, &i, &n),
                8)
          << line;
      EXPECT_EQ(pid, getpid());
      EXPECT_EQ(std::string(1, kind) + mod, "TA");
      EXPECT_EQ(line.substr(static_cast<size_t>(n)), pad);
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_TRUE(seen[static_cast<size_t>(t)].insert(i).second) << line;
    }
  }
  for (const auto& s : seen) EXPECT_EQ(s.size(), static_cast<size_t>(kLines));
}

}  // namespace
