// Transaction identifiers: the packed identifier, the origin address, the
// start stamp, hop timing and the path-pattern hash.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/time.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "base/tav_log.h"
#include "core/tav_clock31.h"
#include "core/tav_gtuid.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

namespace {

constexpr uint64_t k2p31 = uint64_t{1} << 31;

uint64_t wall_us() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

// The 22 identifier digits as text.
std::string id_digits(const gtuid_t& g) {
  std::string s;
  for (uint8_t b : g.gtuid) {
    s += static_cast<char>('0' + b / 10);
    s += static_cast<char>('0' + b % 10);
  }
  return s;
}

// The date-time text of a reading in microseconds, in local time.
std::string local_text(uint64_t us) {
  const time_t sec = static_cast<time_t>(us / 1000000u);
  tm lt{};
  localtime_r(&sec, &lt);
  char buf[64];
  snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d%06llu", lt.tm_year + 1900, lt.tm_mon + 1,
           lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
           static_cast<unsigned long long>(us % 1000000u));
  return buf;
}

class Gtuid : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_mfd_ = en_mfd;
    saved_fd_max_ = en_fd_max;
    saved_nid_ = en_my_nid;
    saved_bmt_ = en_bmt_mode;
    saved_log_ = en_log;
    saved_level_ = en_log_level;
    saved_size_ = en_log_size;
    memcpy(saved_file_, en_log_file, sizeof saved_file_);
    memcpy(saved_path_, en_log_path, sizeof saved_path_);
    en_mfd = fds_;
    en_fd_max = kFds;
    en_my_nid = 7;
    en_bmt_mode = 0;
    en_log = 0;
    en_log_level = 0;
    m_->fildes = -1;
  }
  void TearDown() override {
    en_mfd = saved_mfd_;
    en_fd_max = saved_fd_max_;
    en_my_nid = saved_nid_;
    en_bmt_mode = saved_bmt_;
    en_log = saved_log_;
    en_log_level = saved_level_;
    en_log_size = saved_size_;
    memcpy(en_log_file, saved_file_, sizeof saved_file_);
    memcpy(en_log_path, saved_path_, sizeof saved_path_);
  }

  // The thread's clock at a fixed point: the next reading is 1 ns later.
  void fix_clock(time_t sec, long nsec) {
    m_->mtime.tns.tv_sec = sec;
    m_->mtime.tns.tv_nsec = nsec;
  }

  static constexpr int kFds = 8;
  mfd fds_[kFds] = {};
  std::unique_ptr<mthr> m_ = std::make_unique<mthr>();  // zeroed

 private:
  mfd* saved_mfd_ = nullptr;
  int saved_fd_max_ = 0, saved_nid_ = 0, saved_bmt_ = 0, saved_log_ = 0, saved_level_ = 0;
  long saved_size_ = 0;
  char saved_file_[sizeof en_log_file] = {};
  char saved_path_[sizeof en_log_path] = {};
};

}  // namespace

TEST_F(Gtuid, IdentifierPacksClockReadingAndNodeId) {
  struct {
    int nid;
    const char* tail;
  } cases[] = {
      {7, "007"},     {0, "000"},    {999, "999"},
      {1234, "123"},  // only the first 22 digits count
      {-7, "007"},    // by absolute value
      {INT_MIN, "214"},
  };
  for (const auto& c : cases) {
    en_my_nid = c.nid;
    fix_clock(4000000000, 123456789);
    EXPECT_EQ(tav_gtuid_create(m_.get()), 0);
    EXPECT_EQ(id_digits(m_->gtuid), std::string("4000000000123456790") + c.tail) << c.nid;
  }
  // Two digits a byte, the first one worth ten.
  en_my_nid = 7;
  fix_clock(4000000000, 123456789);
  tav_gtuid_create(m_.get());
  const uint8_t packed[11] = {40, 0, 0, 0, 0, 12, 34, 56, 79, 0, 7};
  EXPECT_EQ(memcmp(m_->gtuid.gtuid, packed, sizeof packed), 0);
}

TEST_F(Gtuid, IdentifierFollowsTheThreadClock) {
  tav_init_time(&m_->mtime);
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  tav_gtuid_create(m_.get());
  clock_gettime(CLOCK_REALTIME, &after);
  const std::string first = id_digits(m_->gtuid);
  const long long sec = std::stoll(first.substr(0, 10));
  const long long nsec = std::stoll(first.substr(10, 9));
  const long double t = sec + nsec / 1e9L;
  EXPECT_GE(t, before.tv_sec + before.tv_nsec / 1e9L);
  EXPECT_LE(t, after.tv_sec + after.tv_nsec / 1e9L);
  EXPECT_EQ(first.substr(19), "007");

  // The next identifier of the same thread is a later reading.
  tav_gtuid_create(m_.get());
  const std::string second = id_digits(m_->gtuid);
  EXPECT_NE(second, first);
  EXPECT_GT(second.substr(0, 19), first.substr(0, 19));
}

TEST_F(Gtuid, CreationClearsWhatFollowsTheIdentifier) {
  auto* bytes = reinterpret_cast<uint8_t*>(&m_->gtuid);
  memset(bytes, 0xAB, sizeof(gtuid_t));
  const uint8_t init[4] = {1, 2, 3, 4};
  memcpy(m_->gtuid.init, init, 4);
  m_->gtuid.gflag = 0;
  tav_gtuid_create(m_.get());
  EXPECT_EQ(memcmp(m_->gtuid.init, init, 4), 0);  // left as it was
  EXPECT_EQ(m_->gtuid.gflag, 1);
  for (size_t i = 16; i < sizeof(gtuid_t); ++i) EXPECT_EQ(bytes[i], 0) << "byte " << i;
}

TEST_F(Gtuid, OriginAddressFromTheLastDescriptorsPeer) {
  struct {
    const char* rip;
    uint8_t ip[4];
  } cases[] = {
      {"10.1.2.3", {10, 1, 2, 3}},
      {"255.255.0.9", {255, 255, 0, 9}},
      {"1", {}},
      {"", {}},
      {"256.1.1.1", {}},
      {"1.2.3", {}},
      {"1.2.3.4.5", {}},
      {"1.2.3.", {}},
      {".1.2.3", {}},
      {"1..2.3", {}},
      {"1.2.3.4 ", {}},
      {"-1.2.3.4", {}},
      {"1.2.3.0004", {}},
      {"a.b.c.d", {}},
      {"fe80", {}},
  };
  m_->fildes = 3;
  for (const auto& c : cases) {
    memset(fds_[3].rip, 0, sizeof fds_[3].rip);
    strcpy(fds_[3].rip, c.rip);
    tav_gtuid_create(m_.get());
    EXPECT_EQ(memcmp(m_->gtuid.ip, c.ip, 4), 0) << '"' << c.rip << '"';
  }
  // A text filling all 16 bytes without an end is not an address.
  memcpy(fds_[3].rip, "1.2.3.4444444444", 16);
  tav_gtuid_create(m_.get());
  EXPECT_EQ(memcmp(m_->gtuid.ip, "\0\0\0\0", 4), 0);

  // Descriptors outside the table leave it zero.
  strcpy(fds_[3].rip, "10.1.2.3");
  for (int fd : {-1, kFds, INT_MAX}) {
    m_->fildes = fd;
    tav_gtuid_create(m_.get());
    EXPECT_EQ(memcmp(m_->gtuid.ip, "\0\0\0\0", 4), 0) << fd;
  }
}

TEST_F(Gtuid, OriginAddressFromRecordedPeers) {
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  inet_pton(AF_INET, "192.168.7.9", &v4.sin_addr);
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "::ffff:10.1.2.3", &mapped.sin6_addr);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  inet_pton(AF_INET6, "2001:db8::1", &v6.sin6_addr);
  struct {
    const sockaddr* peer;
    uint8_t ip[4];
  } cases[] = {
      {reinterpret_cast<const sockaddr*>(&v4), {192, 168, 7, 9}},
      {reinterpret_cast<const sockaddr*>(&mapped), {10, 1, 2, 3}},
      {reinterpret_cast<const sockaddr*>(&v6), {}},
  };
  m_->fildes = 5;
  for (const auto& c : cases) {
    fds_[5] = mfd{};
    tav::set_peer(fds_[5], c.peer);
    tav_gtuid_create(m_.get());
    EXPECT_EQ(memcmp(m_->gtuid.ip, c.ip, 4), 0) << fds_[5].rip;
  }
}

TEST_F(Gtuid, StartStampSetsStartAndHopTimes) {
  m_->mzp1.etime = 77;
  m_->mzp1.rtime = 88;
  const uint64_t before = wall_us();
  tav_gtuid_time_init(m_.get());
  const uint64_t after = wall_us();
  const uint64_t stime = m_->gtuid.stime;
  EXPECT_GE(stime, before);
  EXPECT_LE(stime, after);
  EXPECT_EQ(m_->gtuid.ctime.get(), stime % k2p31);
  EXPECT_EQ(m_->mzp1.etime.get(), 0u);
  EXPECT_EQ(m_->mzp1.rtime.get(), 0u);
  // Most significant byte first.
  const auto* bytes = reinterpret_cast<const uint8_t*>(&m_->gtuid);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(bytes[34 + i], static_cast<uint8_t>(stime >> (56 - 8 * i))) << i;
  // The date text is of the same reading.
  EXPECT_EQ(std::string(m_->mzp1.dtime), local_text(stime));
}

TEST_F(Gtuid, DateTextIsLeftAloneInBenchmarkTimeMode) {
  const char mark[] = "untouched-date-text";
  en_bmt_mode = 1;
  memcpy(m_->mzp1.dtime, mark, sizeof mark);
  tav_gtuid_time_init(m_.get());
  tav_gtuid_time(m_.get());
  EXPECT_STREQ(m_->mzp1.dtime, mark);

  en_bmt_mode = 0;
  tav_gtuid_time(m_.get());
  EXPECT_EQ(std::string(m_->mzp1.dtime), local_text(static_cast<uint64_t>(m_->dbms_ltime)));
}

TEST(Clock31, Elapsed) {
  constexpr uint64_t M = tav::kMod31;
  struct {
    const char* name;
    uint64_t now;
    uint64_t last;
    uint64_t elapsed;
  } cases[] = {
      {"later", 5000000, 4998766, 1234},
      {"same stamp", 77, 77, 0},
      {"wrapped by one", 0, M - 1, 1},
      {"wrapped", 20, M - 10, 30},
      {"wrapped five seconds", 4000000, M - 1000000, 5000000},
      {"last ahead by 5", 100, 105, 5},
      {"half way", 0, M / 2, M / 2},
      {"operands reduced first", 7 * M + 20, 3 * M + M - 10, 30},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::elapsed31(c.now, c.last), c.elapsed);
  }
}

TEST(Clock31, Earlier) {
  constexpr uint64_t M = tav::kMod31;
  struct {
    const char* name;
    uint64_t stamp;
    uint64_t by;
    uint64_t earlier;
  } cases[] = {
      {"plain", 5000000, 1234, 4998766},
      {"by nothing", 77, 0, 77},
      {"to zero", 1234, 1234, 0},
      {"across the wrap", 1000, 3000, M - 2000},
      {"operands reduced first", 3 * M + 1000, M + 3000, M - 2000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(tav::earlier31(c.stamp, c.by), c.earlier);
    EXPECT_EQ(tav::elapsed31(c.stamp, c.earlier), c.by % M);
  }
}

TEST_F(Gtuid, HopTiming) {
  // B is a multiple of 2^31, so B + x is x modulo 2^31.
  constexpr uint64_t B = uint64_t{800000} << 31;
  struct {
    const char* name;
    uint64_t now;
    uint64_t stime;
    uint32_t ctime;
    int ptime;
    uint32_t rtime;
    uint32_t etime;
  } cases[] = {
      {"normal", B + 5000000, B + 2500000, 4998766, 0, 2500000, 1234},
      {"previous clock 5 us ahead", B + 5000000, B, 5000005, 0, 5000000, 5},
      {"previous clock 1 s ahead", B + 1000000, B, 2000000, 0, 1000000, 1000000},
      {"same stamp", B + 5000000, B, 5000000, 0, 5000000, 0},
      {"clock wrapped", B + 20, B - 30, 2147483638, 0, 50, 30},
      {"half way: either reading", B + 100, B, 100 + (1u << 30), 0, 100, 1u << 30},
      {"just past half way: the smaller reading", B + 100, B, 101 + (1u << 30), 0, 100,
       (1u << 30) - 1},
      {"database time added", B + 5000000, B + 2500000, 4998766, 766, 2500000, 2000},
      {"elapsed modulo 2^31", B + 5000000, B + 2500000, 4998766, INT_MAX, 2500000, 1233},
      {"running time modulo 2^31", B + 5000000, B + 5000000 - k2p31 - 7, 4998766, 0, 7, 1234},
      {"start in the future", B + 5000000, B + 5000001, 4998766, 0, 0, 1234},
      {"start now", B + 5000000, B + 5000000, 4998766, 0, 0, 1234},
      {"stamp with the top bit set", B + 5000000, B, 0x80000000u | 4998766, 0, 5000000, 1234},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    m_->gtuid.stime = c.stime;
    m_->gtuid.ctime = c.ctime;
    m_->dbmsptime = c.ptime;
    tav::gtuid_time_at(m_.get(), c.now);
    EXPECT_EQ(m_->dbms_ltime, static_cast<long>(c.now));
    EXPECT_EQ(m_->mzp1.rtime.get(), c.rtime);
    EXPECT_EQ(m_->dbmsstime, static_cast<int>(c.rtime));
    EXPECT_EQ(m_->mzp1.etime.get(), c.etime);
    EXPECT_EQ(m_->gtuid.ctime.get(), static_cast<uint32_t>(c.now - B));
    EXPECT_EQ(m_->gtuid.stime.get(), c.stime);
    EXPECT_EQ(m_->dbmsptime, 0);
  }
  // Big-endian in the message.
  const auto* e = reinterpret_cast<const uint8_t*>(&m_->mzp1.etime);
  const auto* r = reinterpret_cast<const uint8_t*>(&m_->mzp1.rtime);
  EXPECT_EQ(std::vector<uint8_t>(e, e + 4), (std::vector<uint8_t>{0, 0, 0x04, 0xD2}));
  EXPECT_EQ(std::vector<uint8_t>(r, r + 4), (std::vector<uint8_t>{0, 0x4C, 0x4B, 0x40}));
}

TEST_F(Gtuid, HopTimingOnTheRealClock) {
  const uint64_t before = wall_us();
  m_->gtuid.stime = before - 1000000;
  m_->gtuid.ctime = static_cast<uint32_t>((before - 300) % k2p31);
  m_->dbmsptime = 50;
  tav_gtuid_time(m_.get());
  const uint64_t after = wall_us();
  const auto now = static_cast<uint64_t>(m_->dbms_ltime);
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
  EXPECT_EQ(m_->mzp1.rtime.get(), now - (before - 1000000));
  EXPECT_EQ(m_->mzp1.etime.get(), now - (before - 300) + 50);
  EXPECT_EQ(m_->gtuid.ctime.get(), now % k2p31);
  EXPECT_EQ(m_->dbmsptime, 0);
  EXPECT_EQ(std::string(m_->mzp1.dtime), local_text(now));
}

TEST_F(Gtuid, LogLines) {
  qel::test::TempDir dir;
  snprintf(en_log_file, sizeof en_log_file, "%s", dir.file("TavQEL.LOG.1").c_str());
  snprintf(en_log_path, sizeof en_log_path, "%s", dir.path().c_str());
  en_log_size = 10485760L;
  en_log = 1;
  en_log_level = 2;
  fix_clock(4000000000, 123456789);
  tav_gtuid_create(m_.get());
  m_->gtuid.stime = 1000;
  m_->dbmsptime = 9;
  tav_gtuid_time(m_.get());
  std::string text = qel::test::TempDir::read(en_log_file);
  EXPECT_NE(text.find(" G M"), std::string::npos) << text;
  EXPECT_NE(text.find("gtuid(4000000000123456790007 00000 00000) (0x01) create.\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(" H M"), std::string::npos) << text;
  EXPECT_NE(text.find("gtuid info(c) len(0096)\n+ 000000h: "), std::string::npos) << text;
  const long long now = m_->dbms_ltime;
  const std::string one = "1. ctime(" + std::to_string(now) + ") ptime(9) ltime(" +
                          std::to_string(m_->dbmsstime) + ") value(" +
                          std::to_string(now - 1000) + ") gctime(0) gstime(1000)\n";
  const std::string two = "2. ctime(" + std::to_string(now) + ") ptime(9) ltime(" +
                          std::to_string(now % k2p31) + ") value(" +
                          std::to_string(now % k2p31 + 9) + ") gctime(" +
                          std::to_string(now % k2p31) + ")\n";
  EXPECT_NE(text.find(one), std::string::npos) << text;
  EXPECT_NE(text.find(two), std::string::npos) << text;
  EXPECT_LT(text.find(one), text.find(two));

  // Level 1: the lines without the dump.
  unlink(en_log_file);
  en_log_level = 1;
  tav_gtuid_create(m_.get());
  text = qel::test::TempDir::read(en_log_file);
  EXPECT_NE(text.find("create.\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("gtuid info(c)"), std::string::npos) << text;
}

namespace {

// The published lookup2 hash, written as a table of mixing steps, over bytes
// taken either unsigned (as published) or sign-extended.
uint32_t reference_lookup2(const std::vector<uint8_t>& key, bool signed_bytes) {
  auto value = [&](size_t i) -> uint32_t {
    const int v = signed_bytes && key[i] >= 0x80 ? key[i] - 256 : key[i];
    return static_cast<uint32_t>(v);
  };
  uint32_t s[3] = {0x9e3779b9u, 0x9e3779b9u, 0};
  auto mix = [&s] {
    struct {
      int shift;
      bool left;
    } const steps[9] = {{13, false}, {8, true},  {13, false}, {12, false}, {16, true},
                        {5, false},  {3, false}, {10, true},  {15, false}};
    for (int i = 0; i < 9; ++i) {
      uint32_t& x = s[i % 3];
      const uint32_t y = s[(i + 1) % 3];
      const uint32_t z = s[(i + 2) % 3];
      x -= y;
      x -= z;
      x ^= steps[i].left ? z << steps[i].shift : z >> steps[i].shift;
    }
  };
  size_t at = 0;
  for (; key.size() - at >= 12; at += 12) {
    for (size_t j = 0; j < 12; ++j) s[j / 4] += value(at + j) << (8 * (j % 4));
    mix();
  }
  s[2] += static_cast<uint32_t>(key.size());
  for (size_t j = 0; at + j < key.size(); ++j) {
    const unsigned shift = 8 * (j % 4) + (j >= 8 ? 8 : 0);  // c's low byte holds the length
    s[j / 4] += value(at + j) << shift;
  }
  mix();
  return s[2];
}

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

uint32_t pattern(const std::vector<uint8_t>& key) {
  return tav_pattern_value(key.data(), static_cast<int>(key.size()));
}

}  // namespace

TEST(PatternValue, MatchesPublishedLookup2ForBytesBelow0x80) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::vector<std::vector<uint8_t>> keys = {bytes_of("abc")};
  for (size_t len : {0, 1, 11, 12, 13, 24, 25}) keys.push_back(bytes_of(alphabet.substr(0, len)));
  keys.push_back(std::vector<uint8_t>(13, 0x7f));
  for (const auto& k : keys) {
    EXPECT_EQ(pattern(k), reference_lookup2(k, false)) << k.size() << " bytes";
  }
  // Inputs that differ in one byte of each state word hash differently.
  const auto base = bytes_of(alphabet.substr(0, 25));
  for (size_t i : {0, 4, 8, 11, 12, 20, 24}) {
    auto k = base;
    k[i] ^= 1;
    EXPECT_NE(pattern(k), pattern(base)) << i;
  }
}

TEST(PatternValue, BytesFrom0x80AreSignExtended) {
  struct {
    std::vector<uint8_t> key;
    bool differs;  // from the published function over unsigned bytes
  } cases[] = {
      {{0x80}, true},
      {{0xFF}, true},
      {bytes_of("ab\xff"), true},
      {bytes_of("abcdefghi\xe9"), true},                    // c's part of the tail
      {bytes_of("abcdef\x80zzzzzq"), true},                 // in the first block
      {bytes_of("abcdefghijklmnopqrstuvwx\xc3"), true},     // a 25th byte
      {bytes_of("abcdefghijklmnopqrstuv\xc3\xa9z"), true},  // in the second block
      // A byte that lands in the top eight bits of a word loses its extension
      // bits to the shift: there the two agree.
      {bytes_of("abc\xff"), false},
      {bytes_of("abcdefg\x80zzzzq"), false},
      {bytes_of("abcdefghij\xe9"), false},
  };
  for (const auto& c : cases) {
    const auto& k = c.key;
    EXPECT_EQ(pattern(k), reference_lookup2(k, true)) << k.size() << " bytes";
    EXPECT_EQ(pattern(k) != reference_lookup2(k, false), c.differs) << k.size() << " bytes";
  }
}

TEST(PatternValue, ProcessNameAndSequenceDigits) {
  // 16 bytes of the process name and the 5 sequence digits.
  struct {
    const char name[17];
    bool high;
  } cases[] = {{"server_node_0001", false}, {"srv", false}, {"\xec\x84\x9c\xeb\xb2\x84-a", true}};
  for (const auto& c : cases) {
    char key[21] = {};
    memcpy(key, c.name, strnlen(c.name, 16));
    memcpy(key + 16, "00042", 5);
    const std::vector<uint8_t> k(key, key + 21);
    EXPECT_EQ(tav_pattern_value(key, 21), reference_lookup2(k, true)) << c.name;
    EXPECT_EQ(tav_pattern_value(key, 21) == reference_lookup2(k, false), !c.high) << c.name;
  }
}

TEST(PatternValue, NothingToReadHashesAsNoBytes) {
  const uint32_t empty = reference_lookup2({}, false);
  EXPECT_EQ(tav_pattern_value("", 0), empty);
  EXPECT_EQ(tav_pattern_value(nullptr, 5), empty);
  EXPECT_EQ(tav_pattern_value("abc", -1), empty);
}
