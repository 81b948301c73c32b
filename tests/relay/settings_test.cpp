// The relay's settings: the key = value and XML-like readers, the loader's
// keys, defaults, limits, required-key codes and cut values.
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "relay_test_support.h"
#include "rly_build.h"
#include "rly_cfg_reader.h"
#include "rly_settings.h"
#include "rly_state.h"
#include "temp_dir.h"

namespace {

using rlytest::Settings;

std::string gets(const std::string& path, const char* key) {
  char* v = tav_gets(path.c_str(), key);
  std::string s = v ? v : "<null>";
  free(v);
  return s;
}

TEST(RelayGets, LogicalLinesQuotesAndAbsentValues) {
  qel::test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.write("rly.cfg",
                                     "# comment line\n"
                                     "\n"
                                     "   PLAIN =  value with spaces   # trailing comment\n"
                                     "QUOTED = \"  inside \" after\n"
                                     "EMPTY =\n"
                                     "NOEQ value\n"
                                     "JOINED = first\\ dropped\n"
                                     "second\n"
                                     "TWICE = one\n"
                                     "TWICE = two\n"
                                     "PREFIXLONG = long\n");
  EXPECT_EQ(gets(path, "PLAIN"), "value with spaces");
  EXPECT_EQ(gets(path, "QUOTED"), "  inside ");
  EXPECT_EQ(gets(path, "EMPTY"), "<null>");
  EXPECT_EQ(gets(path, "NOEQ"), "<null>");
  EXPECT_EQ(gets(path, "JOINED"), "firstsecond");
  EXPECT_EQ(gets(path, "TWICE"), "one");
  // A plain prefix comparison.
  EXPECT_EQ(gets(path, "PREFIX"), "long");
  EXPECT_EQ(gets(path, "MISSING"), "<null>");
  EXPECT_EQ(gets(dir.file("none.cfg"), "PLAIN"), "<null>");
}

TEST(RelayXfgets, ValueAttributeOfTheFirstLineThatNamesTheKey) {
  qel::test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.write("rly.xml",
                                     "<config>\n"
                                     "  <entry key=\"rlyAgentName\" value=\"  AG  \"/>\n"
                                     "  <entry key=\"rlyLogPath\" value=\"\"/>\n"
                                     "  <entry key=\"rlyNoValue\" other=\"x\"/>\n"
                                     "  <entry value=\"before\" key=\"rlyBefore\"/>\n"
                                     "  <entry key=\"rlyAgentName\" value=\"second\"/>\n"
                                     "</config>\n");
  char buf[64];
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyAgentName", buf, sizeof buf), 2);
  EXPECT_STREQ(buf, "AG");
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyLogPath", buf, sizeof buf), 0);
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyNoValue", buf, sizeof buf), 0);
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyBefore", buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "before");
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyMissing", buf, sizeof buf), 0);
  // Cut to the buffer.
  char small[3];
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyBefore", small, sizeof small), 2);
  EXPECT_STREQ(small, "be");
}

TEST(RelayXfgets, UnreadableFileIsReportedOnStandardOutput) {
  qel::test::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("absent.xml");
  char buf[16];
  testing::internal::CaptureStdout();
  EXPECT_EQ(tav_xfgets(path.c_str(), "rlyAgentName", buf, sizeof buf), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "file(" + path + ") (2:No such file or directory) error.\n");
}

TEST(RelayParseInt, LikeAtoiButSaturated) {
  int v = -1;
  EXPECT_TRUE(rly_parse_int(" 42abc", &v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(rly_parse_int("-7", &v));
  EXPECT_EQ(v, -7);
  EXPECT_TRUE(rly_parse_int("99999999999999999999", &v));
  EXPECT_EQ(v, INT_MAX);
  EXPECT_TRUE(rly_parse_int("-99999999999999999999", &v));
  EXPECT_EQ(v, INT_MIN);
  EXPECT_FALSE(rly_parse_int("abc", &v));
  EXPECT_FALSE(rly_parse_int("", &v));
}

TEST(RelayHostName, UnresolvableNameLeavesTheAddressEmpty) {
  char out[16] = "stale";
  EXPECT_EQ(tav_gethostbyname("no-such-host.invalid", out), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(tav_gethostbyname("127.0.0.1", out), 0);
  EXPECT_STREQ(out, "127.0.0.1");
}

Settings full_keys() {
  return {{"TAV_LOG_FLAG_RLY", "off"},
          {"TAV_RLY_AGENT_NAME", "AG"},
          {"TAV_RLY_AGENT_ALIAS", "alias"},
          {"TAV_NODE_DOMAIN_NAME", "domain"},
          {"TAV_NODE_PRODUCT_CODE", "07"},
          {"TAV_RLY_GTUID_THREAD_COUNT", "2"},
          {"TAV_RLY_GTUID_QUEUE_COUNT", "3"},
          {"TAV_RLY_GTUID_QUEUE_NAME", "0x57001100"},
          {"TAV_RLY_GTUID_QUEUE_MAXMSG", "500"},
          {"TAV_RLY_TCODE_QUEUE_COUNT", "2"},
          {"TAV_RLY_TCODE_THREAD_COUNT", "1"},
          {"TAV_RLY_TCODE_QUEUE_NAME", "0x57001200"},
          {"TAV_RLY_TCODE_QUEUE_MAXMSG", "300"},
          {"TAV_RLY_MASTER_SESSION_COUNT", "2"},
          {"TAV_MST_1ST_MASTER_IPADDR", "127.0.0.1"},
          {"TAV_MST_2ND_MASTER_IPADDR", "127.0.0.2"},
          {"TAV_MST_1ST_MASTER_PORT", "7001"},
          {"TAV_MST_CONNECT_RETRY_INTERVAL", "3"},
          {"TAV_MST_RESPONSE_TIMEOUT", "4"},
          {"TAV_RLY_GTUID_MSEND_COUNT", "40"},
          {"TAV_RLY_TCODE_MSEND_COUNT", "500"}};
}

class RelayLoader : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    rly_select_build(rly_build_lib);
    rly_state_reset();
  }
  void TearDown() override { rly_select_build(rly_build_lib); }
  int load(const Settings& s) {
    rly_state_reset();
    return tav_cfg_init(dir.write("rly.cfg", rlytest::settings_text(s)).c_str());
  }
  qel::test::TempDir dir;
};

std::string host_name() {
  char h[256] = "";
  gethostname(h, sizeof h - 1);
  return h;
}

TEST_F(RelayLoader, AllKeysReachTheirSettings) {
  ASSERT_EQ(load(full_keys()), 0);
  EXPECT_EQ(std::string(en_agent), ("AG" + host_name()).substr(0, 32));
  EXPECT_STREQ(en_agtalias, "alias");
  EXPECT_EQ(std::string(en_hostname), host_name().substr(0, 32));
  EXPECT_STREQ(en_domainname, "domain");
  EXPECT_STREQ(en_prodcode, "07");
  EXPECT_EQ(en_gtuid_thread_count, 2);
  EXPECT_EQ(en_gtuid_queue_count, 3);
  EXPECT_STREQ(en_gtuid_queue_name, "0x57001100");
  EXPECT_EQ(en_gtuid_queue_maxmsg, 500);
  EXPECT_EQ(en_tcode_queue_count, 2);
  EXPECT_EQ(en_tcode_thread_count, 1);
  EXPECT_STREQ(en_tcode_queue_name, "0x57001200");
  EXPECT_EQ(en_tcode_queue_maxmsg, 300);
  EXPECT_EQ(en_master_max_cnt, 2);
  EXPECT_STREQ(en_master_ip, "127.0.0.1");
  EXPECT_STREQ(en_master_ip2, "127.0.0.2");
  EXPECT_EQ(en_master_port, 7001);
  EXPECT_EQ(en_master_port2, 7001);
  EXPECT_EQ(en_master_ctime, 3);
  EXPECT_EQ(en_master_ptime, 4);
  EXPECT_EQ(en_gtuid_msend_count, 40);
  EXPECT_EQ(en_tcode_msend_count, 500);
  EXPECT_EQ(en_log, 0);
  EXPECT_EQ(en_check_port, 0);
  EXPECT_STREQ(en_check_home, "/tmp/.tav");
}

TEST_F(RelayLoader, LogSettings) {
  Settings s = full_keys();
  rlytest::set(s, "TAV_LOG_FLAG_RLY", "on");
  rlytest::set(s, "TAV_LOG_DEPTH", "trace");
  rlytest::set(s, "TAV_LOG_MAX_SIZE", "5");
  rlytest::set(s, "TAV_LOG_PATH", dir.path());
  rlytest::set(s, "TAV_LOG_FILE_RLY", "rly");
  ASSERT_EQ(load(s), 0);
  EXPECT_EQ(en_log, 1);
  EXPECT_EQ(en_log_level, 2);
  EXPECT_EQ(en_log_sz, 5 * 1048576);
  EXPECT_EQ(std::string(en_log_path), dir.path());
  EXPECT_STREQ(en_log_file, "rly");
  // Without a path the file name is not read.
  rlytest::erase(s, "TAV_LOG_PATH");
  rlytest::set(s, "TAV_LOG_DEPTH", "ERRORS");
  ASSERT_EQ(load(s), 0);
  EXPECT_STREQ(en_log_file, "");
  EXPECT_EQ(en_log_level, 1);
}

struct MissingCase {
  const char* key;
  int keys_code;
};

TEST_F(RelayLoader, MissingRequiredKeysEndWithTheirCodes) {
  const MissingCase cases[] = {
      {"TAV_RLY_AGENT_NAME", -1551},         {"TAV_RLY_AGENT_ALIAS", -1564},
      {"TAV_NODE_DOMAIN_NAME", -1587},       {"TAV_NODE_PRODUCT_CODE", -1600},
      {"TAV_RLY_GTUID_QUEUE_NAME", -1629},   {"TAV_RLY_TCODE_QUEUE_NAME", -1663},
      {"TAV_MST_1ST_MASTER_IPADDR", -1690},  {"TAV_MST_2ND_MASTER_IPADDR", -1703},
      {"TAV_MST_1ST_MASTER_PORT", -1716},
  };
  for (const auto& c : cases) {
    Settings s = full_keys();
    rlytest::erase(s, c.key);
    EXPECT_EQ(load(s), c.keys_code) << c.key;
    // An empty value counts as absent.
    s = full_keys();
    rlytest::set(s, c.key, "");
    EXPECT_EQ(load(s), c.keys_code) << c.key << " empty";
  }
  // Relayd reads the same keys.
  rly_select_build(rly_build_relayd);
  Settings s = full_keys();
  rlytest::erase(s, "TAV_RLY_AGENT_NAME");
  EXPECT_EQ(load(s), -1551);
}

TEST_F(RelayLoader, TcodeKeysAreReadOnlyWithTheirCount) {
  Settings s = full_keys();
  rlytest::erase(s, "TAV_RLY_TCODE_QUEUE_COUNT");
  rlytest::erase(s, "TAV_RLY_TCODE_QUEUE_NAME");
  ASSERT_EQ(load(s), 0);
  EXPECT_EQ(en_tcode_queue_count, 0);
  EXPECT_EQ(en_tcode_thread_count, 0);
  EXPECT_STREQ(en_tcode_queue_name, "");
}

struct RangeCase {
  const char* key;
  const char* value;
  int* setting;
  int expected;
};

TEST_F(RelayLoader, NumbersAreKeptWithinTheirRanges) {
  const RangeCase cases[] = {
      {"TAV_RLY_GTUID_QUEUE_COUNT", "80", &en_gtuid_queue_count, 50},
      {"TAV_RLY_GTUID_QUEUE_COUNT", "0", &en_gtuid_queue_count, 1},
      {"TAV_RLY_GTUID_QUEUE_COUNT", "-3", &en_gtuid_queue_count, 1},
      {"TAV_RLY_TCODE_QUEUE_COUNT", "20", &en_tcode_queue_count, 10},
      {"TAV_RLY_TCODE_QUEUE_COUNT", "-1", &en_tcode_queue_count, 0},
      {"TAV_RLY_GTUID_THREAD_COUNT", "100000", &en_gtuid_thread_count, RLY_THREADS_PER_QUEUE_MAX},
      {"TAV_RLY_GTUID_THREAD_COUNT", "abc", &en_gtuid_thread_count, 1},
      {"TAV_RLY_TCODE_THREAD_COUNT", "-2", &en_tcode_thread_count, 0},
      {"TAV_RLY_MASTER_SESSION_COUNT", "1000", &en_master_max_cnt, RLY_SESSIONS_MAX},
      {"TAV_RLY_MASTER_SESSION_COUNT", "0", &en_master_max_cnt, 1},
      {"TAV_MST_RESPONSE_TIMEOUT", "0", &en_master_ptime, 1},
      {"TAV_RLY_GTUID_QUEUE_MAXMSG", "99999999999", &en_gtuid_queue_maxmsg, 1000000},
      {"TAV_LOG_MAX_SIZE", "4096", &en_log_sz, 2047 * 1048576},
      {"TAV_LOG_MAX_SIZE", "-1", &en_log_sz, 1048576},
      {"QEL_CHECK_UDP_PORT", "70000", &en_check_port, 0},
      {"QEL_CHECK_UDP_PORT", "0", &en_check_port, 0},
      {"QEL_CHECK_UDP_PORT", "65535", &en_check_port, 65535},
  };
  for (const auto& c : cases) {
    Settings s = full_keys();
    rlytest::set(s, c.key, c.value);
    ASSERT_EQ(load(s), 0) << c.key << "=" << c.value;
    EXPECT_EQ(*c.setting, c.expected) << c.key << "=" << c.value;
  }
}

// The rings' settings: on unless "OFF", slots rounded up to a power of two
// within the limits, octal modes that keep the relay's own read and write.
TEST_F(RelayLoader, RingSettings) {
  ASSERT_EQ(load(full_keys()), 0);
  EXPECT_EQ(en_ring_on, 1);
  EXPECT_EQ(en_ring_gtuid_slots, 16384);
  EXPECT_EQ(en_ring_tcode_slots, 4096);
  EXPECT_EQ(en_ring_mode, 0666);
  const RangeCase cases[] = {
      {"TAV_RLY_RINGS", "OFF", &en_ring_on, 0},
      {"TAV_RLY_RINGS", "off", &en_ring_on, 0},
      {"TAV_RLY_RINGS", "ON", &en_ring_on, 1},
      {"TAV_RLY_RINGS", "yes", &en_ring_on, 1},
      {"TAV_RLY_RING_GTUID_SLOTS", "1024", &en_ring_gtuid_slots, 1024},
      {"TAV_RLY_RING_GTUID_SLOTS", "1000", &en_ring_gtuid_slots, 1024},
      {"TAV_RLY_RING_GTUID_SLOTS", "1", &en_ring_gtuid_slots, 64},
      {"TAV_RLY_RING_GTUID_SLOTS", "99999999", &en_ring_gtuid_slots, 1 << 20},
      {"TAV_RLY_RING_GTUID_SLOTS", "many", &en_ring_gtuid_slots, 16384},
      {"TAV_RLY_RING_TCODE_SLOTS", "100", &en_ring_tcode_slots, 128},
      {"TAV_RLY_RING_MODE", "0660", &en_ring_mode, 0660},
      {"TAV_RLY_RING_MODE", "0640", &en_ring_mode, 0640},
      {"TAV_RLY_RING_MODE", "0044", &en_ring_mode, 0644},
      {"TAV_RLY_RING_MODE", "0999", &en_ring_mode, 0666},
      {"TAV_RLY_RING_MODE", "01777", &en_ring_mode, 0666},
      {"TAV_RLY_RING_MODE", "rw", &en_ring_mode, 0666},
  };
  for (const auto& c : cases) {
    Settings s = full_keys();
    rlytest::set(s, c.key, c.value);
    ASSERT_EQ(load(s), 0) << c.key << "=" << c.value;
    EXPECT_EQ(*c.setting, c.expected) << c.key << "=" << c.value;
  }
}

TEST_F(RelayLoader, UnusableMasterPortsAndAddressesCountAsAbsent) {
  const std::pair<const char*, const char*> bad[] = {
      {"TAV_MST_1ST_MASTER_PORT", "0"},        {"TAV_MST_1ST_MASTER_PORT", "65536"},
      {"TAV_MST_1ST_MASTER_PORT", "port"},     {"TAV_MST_1ST_MASTER_IPADDR", "master.example"},
      {"TAV_MST_2ND_MASTER_IPADDR", "1.2.3.256"},
  };
  for (const auto& [key, value] : bad) {
    Settings s = full_keys();
    rlytest::set(s, key, value);
    int rc = load(s);
    EXPECT_TRUE(rc == -1716 || rc == -1690 || rc == -1703) << key << "=" << value << " rc " << rc;
    EXPECT_NE(rc, 0);
  }
}

TEST_F(RelayLoader, OverlongValuesAreCutToTheirFields) {
  Settings s = full_keys();
  const std::string longtext(600, 'x');
  rlytest::set(s, "TAV_RLY_AGENT_NAME", longtext);
  rlytest::set(s, "TAV_RLY_AGENT_ALIAS", longtext);
  rlytest::set(s, "TAV_NODE_DOMAIN_NAME", longtext);
  rlytest::set(s, "TAV_NODE_PRODUCT_CODE", "12345");
  rlytest::set(s, "TAV_RLY_GTUID_QUEUE_NAME", "0x5700" + longtext);
  rlytest::set(s, "QEL_CHECK_HOME", "/" + longtext);
  rlytest::set(s, "TAV_LOG_PATH", "/" + longtext);
  rlytest::set(s, "TAV_LOG_FILE_RLY", longtext);
  ASSERT_EQ(load(s), 0);
  EXPECT_EQ(std::string(en_agent), longtext.substr(0, 32));
  EXPECT_EQ(std::string(en_agtalias), longtext.substr(0, 64));
  EXPECT_EQ(std::string(en_domainname), longtext.substr(0, 32));
  EXPECT_STREQ(en_prodcode, "12");
  EXPECT_EQ(strlen(en_gtuid_queue_name), 255u);
  EXPECT_EQ(strlen(en_check_home), 63u);
  EXPECT_EQ(strlen(en_log_path), 127u);
  EXPECT_EQ(strlen(en_log_file), 63u);
}

TEST_F(RelayLoader, SharedMemorySegmentsAreCreatedWhereTheBuildReadsThem) {
  const key_t mode_key = rlytest::test_key(0xe1);
  const key_t log_key = rlytest::test_key(0xe2);
  auto remove = [&] {
    for (key_t k : {mode_key, log_key}) {
      int id = shmget(k, 0, 0);
      if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }
  };
  remove();
  struct Cleanup {
    std::function<void()> f;
    ~Cleanup() { f(); }
  } cleanup{remove};
  Settings s = full_keys();
  rlytest::set(s, "QEL_ATTACH_SHM_KEY", rlytest::key_text(mode_key));
  rlytest::set(s, "QEL_LOG_SHM_KEY", rlytest::key_text(log_key));
  // relayd has no log-control key.
  rly_select_build(rly_build_relayd);
  ASSERT_EQ(load(s), 0);
  EXPECT_GE(shmget(mode_key, 8, 0), 0);
  EXPECT_LT(shmget(log_key, 8, 0), 0);
  rly_select_build(rly_build_lib);
  ASSERT_EQ(load(s), 0);
  EXPECT_GE(shmget(log_key, 8, 0), 0);
}

// The XML-like form of librelay-jni.
std::string xml(const Settings& s) {
  std::string out = "<relay>\n";
  for (const auto& [k, v] : s) out += "  <entry key=\"" + k + "\" value=\"" + v + "\"/>\n";
  return out + "</relay>\n";
}

Settings full_xml() {
  return {{"rlyAgentName", "AG"},          {"rlyAgentAlias", "alias"},
          {"rlyDomainName", "domain"},     {"rlyProductCode", "07"},
          {"rlyGtuidQueueCount", "2"},     {"rlyGtuidQueueName", "0x57001100"},
          {"rlyTrcodeQueueCount", "1"},    {"rlyTrcodeThreadCount", "1"},
          {"rlyTrcodeQueueName", "0x57001200"}, {"rlyMasterSessionCount", "2"},
          {"rlyMasterAddress", "127.0.0.1,127.0.0.2"}, {"rlyMasterPort", "7002"},
          {"rlyMasterResponseTimeout", "3"}};
}

class RelayXmlLoader : public RelayLoader {
 protected:
  void SetUp() override {
    RelayLoader::SetUp();
    rly_select_build(rly_build_jni);
  }
  int load_xml(const Settings& s) {
    rly_state_reset();
    return tav_cfg_init(dir.write("rly.xml", xml(s)).c_str());
  }
};

TEST_F(RelayXmlLoader, KeysReachTheirSettings) {
  ASSERT_EQ(load_xml(full_xml()), 0);
  EXPECT_STREQ(en_agtalias, "alias");
  EXPECT_EQ(en_gtuid_queue_count, 2);
  EXPECT_STREQ(en_tcode_queue_name, "0x57001200");
  EXPECT_EQ(en_master_max_cnt, 2);
  EXPECT_STREQ(en_master_ip, "127.0.0.1");
  EXPECT_STREQ(en_master_ip2, "127.0.0.2");
  EXPECT_EQ(en_master_port, 7002);
  EXPECT_EQ(en_master_port2, 7002);
  EXPECT_EQ(en_master_ptime, 3);
  Settings rings = full_xml();
  rlytest::set(rings, "rlyRings", "OFF");
  rlytest::set(rings, "rlyRingGtuidSlots", "4096");
  rlytest::set(rings, "rlyRingTcodeSlots", "256");
  rlytest::set(rings, "rlyRingMode", "0600");
  ASSERT_EQ(load_xml(rings), 0);
  EXPECT_EQ(en_ring_on, 0);
  EXPECT_EQ(en_ring_gtuid_slots, 4096);
  EXPECT_EQ(en_ring_tcode_slots, 256);
  EXPECT_EQ(en_ring_mode, 0600);
  // One address serves for both masters.
  Settings s = full_xml();
  rlytest::set(s, "rlyMasterAddress", "127.0.0.3");
  ASSERT_EQ(load_xml(s), 0);
  EXPECT_STREQ(en_master_ip, "127.0.0.3");
  EXPECT_STREQ(en_master_ip2, "127.0.0.3");
}

TEST_F(RelayXmlLoader, MissingRequiredKeysEndWithTheirCodes) {
  const MissingCase cases[] = {
      {"rlyAgentName", -1188},       {"rlyAgentAlias", -1200},     {"rlyDomainName", -1222},
      {"rlyProductCode", -1234},     {"rlyGtuidQueueName", -1259}, {"rlyTrcodeQueueName", -1288},
      {"rlyMasterAddress", -1313},   {"rlyMasterPort", -1337},
  };
  for (const auto& c : cases) {
    Settings s = full_xml();
    rlytest::erase(s, c.key);
    EXPECT_EQ(load_xml(s), c.keys_code) << c.key;
  }
  Settings s = full_xml();
  rlytest::set(s, "rlyMasterAddress", "127.0.0.1,not-an-address");
  EXPECT_EQ(load_xml(s), -1325);
}

TEST_F(RelayXmlLoader, MissingFileIsReportedOnceAndEndsWithTheFirstCode) {
  const std::string path = dir.file("absent.xml");
  testing::internal::CaptureStdout();
  rly_state_reset();
  int rc = tav_cfg_init(path.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, -1188);
  EXPECT_EQ(out, "file(" + path + ") (2:No such file or directory) error.\n");
}

}  // namespace
