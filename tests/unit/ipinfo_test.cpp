// Service and check lists: the settings value syntax, the port rules, the
// kinds, the trace lines and the lookups that classify an address.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_ipinfo.h"
#include "base/tav_log.h"
#include "unit_support.h"

namespace {

constexpr int R = TAV_PORT_RANGE;

struct Row {
  std::string ip;
  int port, from, to, mode, scode = 0, pcode = 0, use = 1;
  bool operator==(const Row&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Row& r) {
  return os << r.ip << " port " << r.port << " (" << r.from << ":" << r.to << ") mode 0x"
            << std::hex << r.mode << std::dec << " s" << r.scode << " p" << r.pcode << " use "
            << r.use;
}

std::vector<Row> rows(const taviplist_t* list) {
  std::vector<Row> out;
  tav::iplist_first(list, [&](const taviplist* e) {
    out.push_back({e->ip, e->port, e->from, e->to, e->mode, e->scode, e->pcode, e->use});
    return false;
  });
  return out;
}

int mode_of(const taviplist* e) { return e ? e->mode : -1; }

// The parsers cut their text, so each call gets its own copy.
int ipinfo(std::string text, int mode = 1) { return tav_ipinfo(text.data(), mode); }
int sipinfo(std::string text) { return tav_sipinfo(text.data()); }
int aipinfo(std::string text) { return tav_aipinfo(text.data()); }
int eipinfo(int mode, std::string text) { return tav_eipinfo(mode, text.data()); }

// Every test starts and ends without lists and with logging off.
class IpInfo : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override {
    reset();
    en_log = 0;
    en_log_file[0] = 0;
  }
  static void reset() {
    tav_iplist_destroy(en_mip);
    en_mip = nullptr;
    tav_iplist_destroy(en_cip);
    en_cip = nullptr;
  }
};

struct ParseCase {
  const char* text;
  int seen;
  std::vector<Row> rows;
};

TEST_F(IpInfo, ServiceValuesGiveTheseEntries) {
  const ParseCase cases[] = {
      {"10.0.0.5:1521:oracle", 1, {{"10.0.0.5", 1521, 0, 0, 32}}},
      {"10.0.0.5:1521:oracle_ms", 1, {{"10.0.0.5", 1521, 0, 0, 288}}},
      {"10.0.0.5:80", 1, {{"10.0.0.5", 80, 0, 0, 2}}},
      {"10.0.0.5:80:", 1, {{"10.0.0.5", 80, 0, 0, 2}}},
      {"1.2.3.4:*:START,5.6.7.8:9000",
       2,
       {{"1.2.3.4", 0, 1, 65535, 1}, {"5.6.7.8", 9000, 0, 0, 2}}},
      {"10.0.0.5:5-10:http", 1, {{"10.0.0.5", R, 5, 10, 0x10000000}}},
      {"10.0.0.5:7-7:keep", 1, {{"10.0.0.5", R, 7, 7, 16}}},
      {"10.0.0.5:123456:udb", 1, {{"10.0.0.5", 123456, 0, 0, 512}}},
      {"10.0.0.5:000080", 1, {{"10.0.0.5", 80, 0, 0, 2}}},
      // Invalid ports: the entry is seen but not added.
      {"10.0.0.5:0-100", 1, {}},
      {"10.0.0.5:100-10", 1, {}},
      {"10.0.0.5:1234567", 1, {}},
      {"10.0.0.5:12a", 1, {}},
      {"10.0.0.5:-5", 1, {}},
      {"10.0.0.5:5-", 1, {}},
      {"10.0.0.5:**", 1, {}},
      {"10.0.0.5:99999999999-99999999999", 1, {}},
      // Too few fields.
      {"10.0.0.5", 1, {}},
      {"10.0.0.5::", 1, {}},
      // Empty entries and fields vanish; fields are trimmed.
      {",,10.0.0.5::80::KEEP,,, \t ,", 2, {{"10.0.0.5", 80, 0, 0, 16}}},
      {"  10.0.0.5 : 80 : jrmi  ", 1, {{"10.0.0.5", 80, 0, 0, 16384}}},
      {"", 0, {}},
      {"a:1,b,c:x,d:2", 4, {{"a", 1, 0, 0, 2}, {"d", 2, 0, 0, 2}}},
      // Keywords: case-insensitive, over the keyword's own length, in order.
      {"10.0.0.5:80:STARTUP", 1, {{"10.0.0.5", 80, 0, 0, 1}}},
      {"10.0.0.5:80:Service", 1, {{"10.0.0.5", 80, 0, 0, 2}}},
      {"10.0.0.5:80:oracle9", 1, {{"10.0.0.5", 80, 0, 0, 32}}},
      {"10.0.0.5:80:ORACLE_M", 1, {{"10.0.0.5", 80, 0, 0, 32}}},
      {"10.0.0.5:80:oracle_msx", 1, {{"10.0.0.5", 80, 0, 0, 288}}},
      {"a:1:sybase,b:2:DB2,c:3:Udb,d:4:altibase,e:5:HTTP,f:6:keep,g:7:Jrmi",
       7,
       {{"a", 1, 0, 0, 64},
        {"b", 2, 0, 0, 128},
        {"c", 3, 0, 0, 512},
        {"d", 4, 0, 0, 1024},
        {"e", 5, 0, 0, 0x10000000},
        {"f", 6, 0, 0, 16},
        {"g", 7, 0, 0, 16384}}},
      {"10.0.0.5:80:bogus", 1, {{"10.0.0.5", 80, 0, 0, 0}}},
      {"10.0.0.5:80:STAR", 1, {{"10.0.0.5", 80, 0, 0, 0}}},
      {"10.0.0.5:80:START:extra", 1, {{"10.0.0.5", 80, 0, 0, 1}}},
      // The same address and port again updates the entry.
      {"10.0.0.5:80:START,10.0.0.5:80:KEEP", 2, {{"10.0.0.5", 80, 0, 0, 16}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    reset();
    EXPECT_EQ(ipinfo(c.text), c.seen);
    ASSERT_NE(en_mip, nullptr);
    EXPECT_EQ(rows(en_mip), c.rows);
    EXPECT_EQ(en_cip, nullptr);
  }
}

TEST_F(IpInfo, RemovalClearsUseAndAddingAgainRevivesTheEntry) {
  ASSERT_EQ(ipinfo("10.0.0.5:80,10.0.0.6:*:start"), 2);
  const taviplist* first = en_mip->head;
  const taviplist* second = first->next;

  EXPECT_EQ(ipinfo("10.0.0.5:80:anything", 0), 1);          // the kind plays no part in removal
  EXPECT_EQ(ipinfo("10.0.0.6:*", 2), 1);                    // any mode but 1 removes
  EXPECT_EQ(ipinfo("10.0.0.9:80,10.0.0.6:1-65535", 0), 2);  // not there: nothing added
  EXPECT_EQ(rows(en_mip), (std::vector<Row>{{"10.0.0.5", 80, 0, 0, 2, 0, 0, 0},
                                            {"10.0.0.6", 0, 1, 65535, 1, 0, 0, 0}}));

  EXPECT_EQ(ipinfo("10.0.0.5:80:keep"), 1);
  EXPECT_EQ(en_mip->head, first);
  EXPECT_EQ(first->next, second);
  EXPECT_EQ(rows(en_mip), (std::vector<Row>{{"10.0.0.5", 80, 0, 0, 16, 0, 0, 1},
                                            {"10.0.0.6", 0, 1, 65535, 1, 0, 0, 0}}));
}

TEST_F(IpInfo, ListsAreCreatedByTheirOwnParsersOnly) {
  EXPECT_EQ(sipinfo("10.0.0.9:7001:1:2"), -1);
  EXPECT_EQ(aipinfo("10.0.0.9:7001:1:2"), -1);
  EXPECT_EQ(en_mip, nullptr);

  EXPECT_EQ(tav_ipinfo(nullptr, 1), 0);
  ASSERT_NE(en_mip, nullptr);
  EXPECT_EQ(en_mip->count, 0);
  EXPECT_EQ(sipinfo(""), 0);
  EXPECT_EQ(tav_aipinfo(nullptr), 0);
  EXPECT_EQ(en_cip, nullptr);

  const taviplist_t* mip = en_mip;
  EXPECT_EQ(ipinfo("10.0.0.5:80", 0), 1);  // removal uses the existing list
  EXPECT_EQ(en_mip, mip);

  EXPECT_EQ(tav_eipinfo(1, nullptr), 0);
  EXPECT_NE(en_cip, nullptr);
  EXPECT_EQ(en_mip, mip);
}

TEST_F(IpInfo, ServerAndAdapterValuesNeedAllFourFields) {
  using Fn = int (*)(std::string);
  const int S = 0xA00, A = 0x20000000;
  const struct {
    Fn fn;
    const char* text;
    std::vector<Row> rows;
  } cases[] = {
      {sipinfo, "10.0.0.9:7001:12:34", {{"10.0.0.9", 7001, 0, 0, S, 12, 34}}},
      {sipinfo, "10.0.0.9:7001:12", {}},
      {sipinfo, "10.0.0.9:7001:12:", {}},
      {sipinfo, "10.0.0.9:7001::12", {}},
      {sipinfo, "10.0.0.9:x:1:2", {}},
      {sipinfo, "10.0.0.9:*:1:2", {{"10.0.0.9", 0, 1, 65535, S, 1, 2}}},
      {sipinfo, "10.0.0.9:100-200:3:4", {{"10.0.0.9", R, 100, 200, S, 3, 4}}},
      {sipinfo, " 10.0.0.9 : 7002 : 5 : 6 : 7", {{"10.0.0.9", 7002, 0, 0, S, 5, 6}}},
      {sipinfo, "10.0.0.9:7003:abc:9x", {{"10.0.0.9", 7003, 0, 0, S, 0, 9}}},
      {sipinfo, "a:1:1:1,b:2:2,c:3:3:3", {{"a", 1, 0, 0, S, 1, 1}, {"c", 3, 0, 0, S, 3, 3}}},
      {aipinfo, "10.0.0.8:9100:5:6", {{"10.0.0.8", 9100, 0, 0, A, 5, 6}}},
      {aipinfo, "10.0.0.8:9100:5", {}},
      {aipinfo, "10.0.0.8:0-1:5:6", {}},
      {aipinfo, "10.0.0.8:9100-9200:5:6", {{"10.0.0.8", R, 9100, 9200, A, 5, 6}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    reset();
    ASSERT_EQ(ipinfo(""), 0);
    EXPECT_EQ(c.fn(c.text), 0);
    EXPECT_EQ(rows(en_mip), c.rows);
  }

  // Server information and an adapter on the same address and port share
  // one entry: the later kind and codes win.
  reset();
  ASSERT_EQ(ipinfo("10.0.0.7:80:start"), 1);
  EXPECT_EQ(sipinfo("10.0.0.7:80:1:2"), 0);
  EXPECT_EQ(rows(en_mip), (std::vector<Row>{{"10.0.0.7", 80, 0, 0, S, 1, 2}}));
  EXPECT_EQ(aipinfo("10.0.0.7:80:3:4"), 0);
  EXPECT_EQ(rows(en_mip), (std::vector<Row>{{"10.0.0.7", 80, 0, 0, A, 3, 4}}));
}

TEST_F(IpInfo, CheckListTakesIncludeAndExcludeEntries) {
  EXPECT_EQ(eipinfo(1, "10.1.1.1:80, 10.1.1.2:*"), 2);
  EXPECT_EQ(eipinfo(0, "10.1.1.3:1000-2000,bad:0-1,,10.1.1.4"), 3);
  EXPECT_EQ(eipinfo(7, "10.1.1.5:443"), 1);  // anything but include is exclude
  EXPECT_EQ(en_mip, nullptr);
  EXPECT_EQ(rows(en_cip), (std::vector<Row>{{"10.1.1.1", 80, 0, 0, 1},
                                            {"10.1.1.2", 0, 1, 65535, 1},
                                            {"10.1.1.3", R, 1000, 2000, 0},
                                            {"10.1.1.5", 443, 0, 0, 0}}));
  // Listing an included address as excluded turns the same entry round.
  EXPECT_EQ(eipinfo(0, "10.1.1.1:80"), 1);
  EXPECT_EQ(en_cip->count, 4);
  EXPECT_EQ(en_cip->head->mode, 0);
}

TEST_F(IpInfo, TraceLinesShowEachValidEntry) {
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  snprintf(en_log_file, sizeof en_log_file, "%s/probe.log", dir.path().c_str());
  en_log = 1;

  ipinfo("10.0.0.5:5-10:http,1.2.3.4:*:START,bad:1-0,10.0.0.6:443:bogus");
  ipinfo("9.9.9.9:1", 0);
  ASSERT_EQ(ipinfo("10.0.0.9:7001"), 1);
  sipinfo("10.0.0.9:7001:12:34,10.0.0.9:80-90:1:2,10.0.0.9:7002:3");
  aipinfo("10.0.0.8:9100:5:6,10.0.0.8:9200-9300:5:6");
  eipinfo(0, "10.1.1.3:1000-2000,10.1.1.4:*");
  eipinfo(1, "10.1.1.5:8080,x:0-0");

  std::ifstream in(en_log_file);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const char* expected[] = {
      "mip: 10.0.0.5:0(5:10) (0x10000000) (1). rc(0)\n",
      "mip: 1.2.3.4:0(1:65535) (0x00000001) (1). rc(0)\n",
      "mip: 10.0.0.6:443(0:0) (0x00000000) (1). rc(0)\n",
      "mip: 9.9.9.9:1(0:0) (0x00000002) (0). rc(-1)\n",
      "msip: 10.0.0.9:7001 (0x00000a00) scode(12) pcode(34). rc(0)\n",
      "msip: 10.0.0.9:80 (0x00000a00) scode(1) pcode(2). rc(0)\n",
      "aip 10.0.0.8:9100\n",
      "aip 10.0.0.8:34219023\n",
      "cip: 10.1.1.3:0(1000:2000) (0). rc(0)\n",
      "cip: 10.1.1.4:0(1:65535) (0). rc(0)\n",
      "cip: 10.1.1.5:8080(0:0) (1). rc(0)\n",
  };
  for (const char* line : expected) {
    SCOPED_TRACE(line);
    const size_t at = log.find(line);
    ASSERT_NE(at, std::string::npos) << log;
    // Trace kind and module letter, then the call site's number.
    ASSERT_GE(at, 8u);
    EXPECT_EQ(log.substr(at - 8, 3), "T M");
  }
  // One line per valid entry, none for the invalid ones.
  size_t lines = 0;
  for (char c : log) lines += c == '\n';
  EXPECT_EQ(lines, 12u) << log;
  EXPECT_EQ(log.find("bad:"), std::string::npos);
  EXPECT_EQ(log.find("10.0.0.9:7002"), std::string::npos);
  EXPECT_EQ(log.find(" x:"), std::string::npos);
}

TEST_F(IpInfo, VeryLongValuesAreCutWithoutOverflow) {
  unit::TempDir dir;
  ASSERT_TRUE(dir.ok());
  snprintf(en_log_file, sizeof en_log_file, "%s/probe.log", dir.path().c_str());
  en_log = 1;  // the trace lines carry the long texts too

  const std::string addr(100000, 'h');
  EXPECT_EQ(ipinfo(addr + ":80:" + std::string(50000, 'k') + "," + addr + ":80:START"), 2);
  ASSERT_EQ(en_mip->count, 1);
  EXPECT_EQ(std::string(en_mip->head->ip), addr.substr(0, 255));
  EXPECT_EQ(en_mip->head->mode, 1);

  EXPECT_EQ(ipinfo("10.0.0.5:" + std::string(100000, '9')), 1);  // too many digits
  EXPECT_EQ(ipinfo("10.0.0.5:" + std::string(5000, '1') + "-" + std::string(5000, '2')), 1);
  EXPECT_EQ(ipinfo("10.0.0.5:" + std::string(100000, ' ') + "81" + std::string(100000, '\t')), 1);
  EXPECT_EQ(sipinfo(addr + ":7001:" + std::string(20000, '9') + ":-" + std::string(20000, '9')), 0);
  EXPECT_EQ(aipinfo(std::string(100000, ':') + "a:1:2:3"), 0);
  EXPECT_EQ(eipinfo(1, std::string(300, 'c') + ":*"), 1);

  const auto all = rows(en_mip);
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[1], (Row{"10.0.0.5", 81, 0, 0, 2}));
  EXPECT_EQ(all[2], (Row{addr.substr(0, 255), 7001, 0, 0, 0xA00, 2147483647, -2147483647 - 1}));
  EXPECT_EQ(all[3], (Row{"a", 1, 0, 0, 0x20000000, 2, 3}));
  EXPECT_EQ(std::string(en_cip->head->ip), std::string(255, 'c'));

  std::string many;
  for (int i = 0; i < 5000; ++i)
    many += "10.2." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ":" +
            std::to_string(i + 1) + ",";
  EXPECT_EQ(ipinfo(many), 5000);
  EXPECT_EQ(en_mip->count, 5004);
}

// ---- lookups -------------------------------------------------------------

TEST_F(IpInfo, ServiceLookupRules) {
  ASSERT_EQ(ipinfo("10.0.0.5:1521:oracle,"     // 0: single port
                   "10.0.0.6:8000-8010:http,"  // 1: range
                   "10.0.0.8:1099:jrmi,"       // 2: JRMI
                   "192.168.1.1:7001,"         // 3: matched through the bound address
                   "10.0.0.7:*:start"),        // 4: any port
            5);
  const auto order = rows(en_mip);
  const struct {
    const char* t;
    const char* b;
    int port;
    int dbmsp;
    int want;  // index into the list, -1 for none
  } cases[] = {
      {"10.0.0.5", nullptr, 1521, 0, 0},
      {"10.0.0.5", nullptr, 1522, 0, -1},
      {"10.0.0.5", nullptr, 1522, 1522, 0},  // the port the database redirected to
      {"10.0.0.5", nullptr, 1522, 1523, -1},
      {"10.0.0.5", nullptr, 1, 1, -1},       // 1 marks a redirect without its port yet
      {"10.0.0.50", nullptr, 1521, 0, -1},  // addresses compare exactly
      {"10.0.0.", nullptr, 1521, 0, -1},
      {"10.0.0.6", nullptr, 8000, 0, 1},  // range bounds are inclusive
      {"10.0.0.6", nullptr, 8010, 0, 1},
      {"10.0.0.6", nullptr, 7999, 0, -1},
      {"10.0.0.6", nullptr, 8011, 0, -1},
      {"10.0.0.6", nullptr, 7999, 7999, -1},  // the hint is for single ports only
      {"10.0.0.8", nullptr, 5, 0, 2},         // JRMI: any port
      {"10.0.0.8", nullptr, 1099, 0, 2},
      {"127.0.0.1", nullptr, 5, 0, 2},      // JRMI: test address 127.0.0.1
      {"0.0.0.0", nullptr, 5, 0, 4},        // ... but not 0.0.0.0
      {"10.0.0.99", "10.0.0.8", 5, 0, -1},  // ... nor the bound address
      {"127.0.0.1", nullptr, 1521, 0, 0},   // first entry for the port, whatever its address
      {"127.0.0.1", nullptr, 8005, 0, 1},
      {"0.0.0.0", nullptr, 7001, 0, 3},
      {"10.0.0.99", "192.168.1.1", 7001, 0, 3},
      {"10.0.0.99", "192.168.1.1", 7002, 0, -1},
      {"10.0.0.99", nullptr, 7001, 0, -1},
      {"10.0.0.7", nullptr, 1, 0, 4},
      {"10.0.0.7", nullptr, 65535, 0, 4},
      {"10.0.0.7", nullptr, 65536, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.t) + " " + (c.b ? c.b : "-") + " " + std::to_string(c.port) + " " +
                 std::to_string(c.dbmsp));
    const taviplist* e = tav::mip_lookup(c.t, c.b, c.port, c.dbmsp);
    if (c.want < 0) {
      EXPECT_EQ(e, nullptr) << e->ip;
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_EQ((Row{e->ip, e->port, e->from, e->to, e->mode}), order[c.want]);
    }
  }
  EXPECT_EQ(tav::mip_lookup(nullptr, "10.0.0.5", 1521, 0), nullptr);
}

TEST_F(IpInfo, LookupsSkipRemovedEntriesAndTakeTheFirstMatch) {
  EXPECT_EQ(tav::mip_lookup("127.0.0.1", nullptr, 1521, 0), nullptr);  // no list yet
  EXPECT_EQ(tav::mip_lookup_path("/tmp/a.sock"), nullptr);
  EXPECT_EQ(tav::iplist_match(en_cip, "10.1.1.1", 80, -1), nullptr);

  ASSERT_EQ(ipinfo("10.0.0.5:1521:oracle,10.0.0.6:1521:sybase,10.0.0.8:1099:jrmi"), 3);
  EXPECT_EQ(mode_of(tav::mip_lookup("127.0.0.1", nullptr, 1521, 0)), 32);
  ipinfo("10.0.0.5:1521", 0);
  EXPECT_EQ(mode_of(tav::mip_lookup("127.0.0.1", nullptr, 1521, 0)), 64);
  EXPECT_EQ(tav::mip_lookup("10.0.0.5", nullptr, 1521, 0), nullptr);
  ipinfo("10.0.0.8:1099", 0);
  EXPECT_EQ(tav::mip_lookup("10.0.0.8", nullptr, 1, 0), nullptr);
  ipinfo("10.0.0.5:1521:db2");  // revived in its old place, ahead of the second
  EXPECT_EQ(mode_of(tav::mip_lookup("127.0.0.1", nullptr, 1521, 0)), 128);
}

TEST_F(IpInfo, PathLookupComparesTheWholePath) {
  ASSERT_EQ(ipinfo("/tmp/app/keep.sock:1:keep,/tmp/app/svc.sock:0,/tmp/app/keep.sock:2:start"), 3);
  const struct {
    const char* path;
    int mode;  // -1 for none
  } cases[] = {
      {"/tmp/app/keep.sock", 16},  // first of two entries with this path
      {"/tmp/app/svc.sock", 2},   {"keep.sock", -1}, {"/tmp/app/keep.sock/", -1},
      {"/tmp/app/keep", -1},      {"", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const taviplist* e = tav::mip_lookup_path(c.path);
    if (c.mode < 0) {
      EXPECT_EQ(e, nullptr);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_STREQ(e->ip, c.path);
      EXPECT_EQ(e->mode, c.mode);
    }
  }
  ipinfo("/tmp/app/keep.sock:1", 0);
  EXPECT_EQ(mode_of(tav::mip_lookup_path("/tmp/app/keep.sock")), 1);
  EXPECT_EQ(tav::mip_lookup_path(nullptr), nullptr);
}

TEST_F(IpInfo, CheckListMatch) {
  ASSERT_EQ(eipinfo(1, "10.1.1.1:80,10.1.1.2:*,10.1.1.4:443,10.1.1.6:22"), 4);
  ASSERT_EQ(eipinfo(0, "10.1.1.3:1000-2000,10.1.1.6:20-30"), 2);
  eipinfo(0, "10.1.1.4:443");  // now excluded
  eipinfo(1, "10.1.1.4:443");  // ... and included again
  ASSERT_NE(tav_iplist_find(en_cip, "10.1.1.6", 22, 0, 0), nullptr);
  tav_iplist_del(en_cip, "10.1.1.6", 22, 0, 0);  // removed: skipped
  const struct {
    const char* ip;
    int port;
    int mode;
    const char* want;  // "ip:port" of the entry, or null
  } cases[] = {
      {"10.1.1.1", 80, 1, "10.1.1.1:80"},
      {"10.1.1.1", 80, -1, "10.1.1.1:80"},
      {"10.1.1.1", 80, 0, nullptr},
      {"10.1.1.1", 81, -1, nullptr},
      {"10.1.1.10", 80, -1, nullptr},
      {"127.0.0.1", 80, -1, nullptr},  // no wildcard address here
      {"10.1.1.2", 1, 1, "10.1.1.2:0"},
      {"10.1.1.2", 65535, 1, "10.1.1.2:0"},
      {"10.1.1.3", 1000, 0, "10.1.1.3:34219023"},
      {"10.1.1.3", 2000, 0, "10.1.1.3:34219023"},
      {"10.1.1.3", 2001, 0, nullptr},
      {"10.1.1.3", 1500, 1, nullptr},
      {"10.1.1.4", 443, 1, "10.1.1.4:443"},
      {"10.1.1.4", 443, 0, nullptr},
      {"10.1.1.6", 22, -1, "10.1.1.6:34219023"},
      {"10.1.1.6", 22, 1, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + ":" + std::to_string(c.port) + " mode " +
                 std::to_string(c.mode));
    const taviplist* e = tav::iplist_match(en_cip, c.ip, c.port, c.mode);
    if (!c.want) {
      EXPECT_EQ(e, nullptr);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(std::string(e->ip) + ":" + std::to_string(e->port), c.want);
    }
  }
  EXPECT_EQ(tav::iplist_match(en_cip, nullptr, 80, -1), nullptr);
}

TEST_F(IpInfo, ParsersRacingOnAMissingListShareOneList) {
  constexpr int kWriters = 4;
  std::string value;
  for (int i = 0; i < 200; ++i)
    value += "10.3.0." + std::to_string(i) + ":" + std::to_string(1000 + i) + ",";
  std::atomic<bool> go{false};
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};

  std::thread reader([&] {
    while (!done.load()) {
      for (int i = 0; i < 200; i += 7) {
        const std::string ip = "10.3.0." + std::to_string(i);
        const taviplist* e = tav::mip_lookup(ip.c_str(), nullptr, 1000 + i, 0);
        if (e && (ip != e->ip || e->port != 1000 + i || tav::iplist_mode(e) != 2)) bad.fetch_add(1);
      }
    }
  });
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w)
    writers.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      if (ipinfo(value) != 200) bad.fetch_add(1);
    });
  go.store(true);
  for (auto& t : writers) t.join();
  done.store(true);
  reader.join();

  EXPECT_EQ(bad.load(), 0);
  ASSERT_NE(en_mip, nullptr);
  EXPECT_EQ(en_mip->count, 200);
  EXPECT_EQ(tav::mip_lookup("10.3.0.199", nullptr, 1199, 0), en_mip->tail);
}

}  // namespace
