// The log functions: line layout, hex dumps, size limit, muted processes,
// file creation without touching the umask.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <string>

#include "base/tav_log.h"
#include "core/tav_gtuid.h"
#include "temp_dir.h"

using qel::test::TempDir;

namespace {

std::string hexstr(const std::string& bytes) {
  std::string out(tav::hexstr_size(static_cast<int>(bytes.size())), '\0');
  tav_hexstr(out.data(), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(strlen(out.c_str()));
  return out;
}

class Log : public ::testing::Test {
 protected:
  void SetUp() override {
    strcpy(en_my_nname, "node");
    strcpy(en_my_pname, "server");
    en_my_pid = 4242;
    snprintf(en_log_file, sizeof en_log_file, "%s", dir_.file("TavQEL.LOG.4242").c_str());
    snprintf(en_log_path, sizeof en_log_path, "%s", dir_.path().c_str());
    en_start_log_path[0] = 0;
    en_log_size = 10485760L;
    tav::log_tmax_style = 0;
  }
  void TearDown() override {
    en_my_nname[0] = en_my_pname[0] = 0;
    en_my_pid = 0;
    en_log_file[0] = 0;
    strcpy(en_log_path, ".");
    tav::log_tmax_style = 0;
  }
  std::string log() const { return TempDir::read(en_log_file); }

  TempDir dir_;
};

}  // namespace

TEST(HexDump, RowsAndColumns) {
  struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"", ""},
      // A short row: three blanks per missing byte, two more without " - ".
      {"ABCDEFGH", "+ 000000h: 41 42 43 44 45 46 47 48 " + std::string(8 * 3 + 2, ' ') +
                       "|ABCDEFGH" + std::string(8, ' ') + "|\n"},
      {"ABCDEFGHI", "+ 000000h: 41 42 43 44 45 46 47 48 - 49 " + std::string(7 * 3, ' ') +
                        "|ABCDEFGHI" + std::string(7, ' ') + "|\n"},
      {"0123456789abcdef",
       "+ 000000h: 30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66 |0123456789abcdef|\n"},
      // 0x7f, 0x80 and control bytes print as points.
      {std::string("0123456789abcdef\x7f\x80\x1f ", 20),
       "+ 000000h: 30 31 32 33 34 35 36 37 - 38 39 61 62 63 64 65 66 |0123456789abcdef|\n"
       "+ 000010h: 7f 80 1f 20 " + std::string(12 * 3 + 2, ' ') + "|... " + std::string(12, ' ') +
           "|\n"},
  };
  for (const auto& c : cases) {
    const std::string got = hexstr(c.bytes);
    EXPECT_EQ(got, c.text) << c.bytes.size() << " bytes";
    for (size_t at = 0; at < got.size(); at = got.find('\n', at) + 1)
      EXPECT_EQ(got.find('\n', at) - at + 1, 80u) << "row at " << at;
  }
}

TEST(HexDump, LargeDumpFitsTheCallersBuffer) {
  const std::string bytes(100000, '\xab');
  const std::string got = hexstr(bytes);
  EXPECT_EQ(got.size(), (bytes.size() + 15) / 16 * 80);
  EXPECT_LE(got.size() + 1, tav::hexstr_size(static_cast<int>(bytes.size())));
}

TEST_F(Log, ProcessLogLineLayout) {
  errno = 1234;
  tav_usrlog("Mcore", 42, 'T', "hello %d\n", 7);
  EXPECT_EQ(errno, 1234);
  tav::log_tmax_style = 1;
  tav_usrlog("T", 5, 'E', "tmax\n");
  tav_usrlog94("plain\n");
  const std::regex line(
      R"(\d{6}\.\d{3} node\.server\.4242\.\d{4,} T M0042 hello 7\n)"
      R"(\d{6}\.\d{3} node\.server\.4242\.-?\d{4,} E T0005 tmax\n)"
      R"(\d{6}\.\d{3} node\.server\.4242\.-?\d{4,} plain\n)");
  EXPECT_TRUE(std::regex_match(log(), line)) << log();
}

TEST_F(Log, GtuidAndDumpEntries) {
  gtuid_t g{};
  for (int i = 0; i < 11; ++i) g.gtuid[i] = static_cast<uint8_t>(i * 9);
  g.seq = 5;
  g.bizseq = 65535;
  g.gflag = 1;
  tav_gtulog("J", 7, 'G', &g, "send %s\n", "x");
  tav_hexlog("M", 8, 'H', "ABCDEFGHIJKLMNOPQRST", 20, "data");
  tav_hexlog("M", 9, 'H', nullptr, 20, "skipped");
  tav_hexlog("M", 9, 'H', "A", 0, "skipped");
  char msg[8 + 4];
  const long type = 0x1234;
  memcpy(msg, &type, sizeof type);
  memcpy(msg + 8, "WXYZ", 4);
  tav_quelog("A", 10, 'H', msg, 4, "queue");
  const std::string text = log();
  EXPECT_NE(text.find(" G J0007 gtuid(0009182736455463728190 00005 65535) (0x01) send x\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" H M0008 data len(0020)\n+ 000000h: 41 42"), std::string::npos) << text;
  EXPECT_NE(text.find("+ 000010h: 51 52 53 54 "), std::string::npos);
  EXPECT_EQ(text.find("skipped"), std::string::npos);
  EXPECT_NE(text.find(" H A0010 queue mtype(0x1234) len(0004)\n+ 000000h: 57 58 59 5a "),
            std::string::npos)
      << text;
}

TEST_F(Log, LongMessagesAreCut) {
  const std::string big(20000, 'x');
  tav_usrlog("M", 1, 'T', "%s\n", big.c_str());
  gtuid_t g{};
  tav_gtulog("M", 2, 'G', &g, "%s\n", big.c_str());
  const std::string text = log();
  ASSERT_FALSE(text.empty());
  EXPECT_LT(text.size(), 4096u + 4096u);
  const size_t second = text.find(" G M0002 ");
  ASSERT_NE(second, std::string::npos);
  EXPECT_LE(text.size() - second, 256u + 16u);  // the GTUID message is bounded to 256 bytes
}

TEST_F(Log, FileOverTheLimitIsEmptiedFirst) {
  en_log_size = 100;
  dir_.write("TavQEL.LOG.4242", std::string(100, 'a'));
  tav_usrlog("M", 1, 'T', "at limit\n");
  EXPECT_EQ(log().substr(0, 100), std::string(100, 'a')) << "a file of exactly the limit is kept";
  tav_usrlog("M", 2, 'T', "over limit\n");
  EXPECT_EQ(log().find('a'), std::string::npos);
  EXPECT_NE(log().find("over limit"), std::string::npos);
}

TEST_F(Log, ShellsWriteNothing) {
  struct {
    const char* name;
    bool tmax_style;
    bool writes;
  } cases[] = {{"sh", false, false},      {"shutdown", false, false}, {"ksh", false, false},
               {"kshell", false, false},  {"csh", false, false},      {"bash", false, true},
               {"tmboot", false, true},   {"tmboot", true, false},    {"server", true, true}};
  for (const auto& c : cases) {
    unlink(en_log_file);
    strcpy(en_my_pname, c.name);
    tav::log_tmax_style = c.tmax_style;
    tav_usrlog("M", 1, 'T', "line\n");
    tav_strlog("start.\n");
    EXPECT_EQ(!log().empty(), c.writes) << c.name;
    tav_usrlog94("plain\n");  // the plain variant has no filter
    EXPECT_FALSE(log().empty()) << c.name;
  }
}

TEST_F(Log, StartLogDirectoryAndLine) {
  TempDir other;
  char date[16];
  const time_t now = time(nullptr);
  tm lt;
  localtime_r(&now, &lt);
  strftime(date, sizeof date, "%Y%m%d", &lt);
  tav_strlog("start.\n");
  const std::string in_log_path = TempDir::read(dir_.file(std::string("tavstart.") + date));
  EXPECT_TRUE(std::regex_match(
      in_log_path, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d node\.server\.4242 : start\.\n)")))
      << in_log_path;
  snprintf(en_start_log_path, sizeof en_start_log_path, "%s", other.path().c_str());
  tav_strlog("stop.\n");
  EXPECT_NE(TempDir::read(other.file(std::string("tavstart.") + date)).find(" : stop.\n"),
            std::string::npos);
}

TEST_F(Log, FilesGetMode0666WithoutTouchingTheUmask) {
  const mode_t old = umask(077);
  tav_usrlog("M", 1, 'T', "line\n");
  tav_strlog("start.\n");
  const mode_t during = umask(old);
  EXPECT_EQ(during, 077u);
  struct stat st;
  ASSERT_EQ(stat(en_log_file, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST_F(Log, SymbolicLinkAtTheLogNameIsNotFollowed) {
  const std::string target = dir_.write("target", "");
  ASSERT_EQ(symlink(target.c_str(), en_log_file), 0);
  tav_usrlog("M", 1, 'T', "line\n");
  EXPECT_EQ(TempDir::read(target), "");
}
