// The settings file as start-up reads it, for the key names of each build.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>

#include "build_defaults.h"
#include "child.h"
#include "probe_run.h"
#include "base/tav_registration.h"
#include "base/tav_ring.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "temp_dir.h"

using qel::test::in_child;
using qel::test::TempDir;

namespace {

#if defined(TAV_BUILD_JEUS)
constexpr const char* kBuild = "jeus";
#elif defined(TAV_BUILD_WEBLOGIC)
constexpr const char* kBuild = "weblogic";
#elif defined(TAV_BUILD_TMAX)
constexpr const char* kBuild = "tmax";
#else
constexpr const char* kBuild = "webtob";
#endif

// The name this build reads for a setting; empty where it has no such key.
std::string key_name(const std::string& java) {
  const std::string name = qel::test::build_setting_name(kBuild, java);
  const bool upper_case_build = !TAV_WITH_JAVA;
  return upper_case_build && name == java ? "" : name;
}

// Settings text with "{java.key}" written for each key name; a line whose key
// this build does not read is left out.
std::string render(const std::string& text) {
  std::istringstream in(text);
  std::string out, line;
  while (std::getline(in, line)) {
    bool keep = true;
    for (size_t open; (open = line.find('{')) != std::string::npos;) {
      const size_t close = line.find('}', open);
      const std::string name = key_name(line.substr(open + 1, close - open - 1));
      if (name.empty()) {
        keep = false;
        break;
      }
      line.replace(open, close - open + 1, name);
    }
    if (keep) out += line + "\n";
  }
  return out;
}

// System V keys of this test process only.
key_t own_key(int i) { return static_cast<key_t>(0x5E000000 | ((getpid() & 0xffff) << 8) | i); }

std::string hex(key_t k) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(k));
  return buf;
}

// Starts the library in a child with `settings` (null: no settings file) and
// runs `checks` there.
qel::test::ChildResult start_with(const char* settings, const std::function<void()>& checks) {
  TempDir dir;
  std::string path;
  if (settings) path = dir.write("settings", render(settings));
  return in_child([&] {
    if (settings) setenv("TAV_CONFIG_FILE", path.c_str(), 1);
    else unsetenv("TAV_CONFIG_FILE");
    unsetenv("TAV_DOMAIN_NAME");
    if (chdir(dir.path().c_str()) != 0) return 2;  // the default log path is "."
    tav_load();
    CHILD_CHECK(en_handle == 1 && tav::bypass == 0);
    checks();
    return 0;
  });
}

}  // namespace

TEST(Settings, DefaultsWithoutSettingsFile) {
  auto r = start_with(nullptr, [] {
    CHILD_CHECK(en_config_file == nullptr);
    CHILD_CHECK(std::string(en_log_path) == ".");
    CHILD_CHECK(std::string(en_log_file) == "./TavQEL.LOG." + std::to_string(getpid()));
    CHILD_CHECK(std::string(en_qel_check_home) == "/tmp/.tav");
    CHILD_CHECK(en_my_pcode == kDefaultProductCode && en_qel_check_time == 500 && en_log == 0);
    CHILD_CHECK(en_log_size == 10485760L && en_ip_keep_mode == 1 && en_gtuid_create == 1);
    CHILD_CHECK(en_log_info == nullptr && en_ath_info == nullptr);
    CHILD_CHECK(en_mzp_qsend == (TAV_WITH_JAVA ? 0 : 1));
    // Queue mode without queue names opens nothing and never key 0.
    CHILD_CHECK(en_gtuid_queue_id == nullptr && en_tcode_queue_id == nullptr);
    const char* dot = strrchr(en_my_ip, '.');
    CHILD_CHECK(dot && en_my_nid == atoi(dot + 1));
  });
  EXPECT_CHILD_OK(r);
}

struct Case {
  const char* name;
  std::string settings;
  std::function<void()> checks;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class SettingsFile : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsFile, Applies) {
  const Case& c = GetParam();
  auto r = start_with(c.settings.c_str(), c.checks);
  EXPECT_CHILD_OK(r);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SettingsFile,
    ::testing::Values(
        Case{"level_line_above_log_line_hides_it",
             "{qel.log.level} = 2\n{qel.log} = ON\n",
             [] { CHILD_CHECK(en_log == 0 && en_log_level == 2); }},
        Case{"log_line_first",
             "{qel.log} = on\n{qel.log.level} = 2\n{qel.log.size} = 3\n",
             [] { CHILD_CHECK(en_log == 1 && en_log_level == 2 && en_log_size == 3L * 1048576); }},
        Case{"quotes_comments_continuations",
             "# a comment line\n\n{qel.domain.name} = \"abc\"def\n"
             "{qel.node.name} = alpha\\ ignored\nbeta   # trailing comment\n",
             [] {
               CHILD_CHECK(std::string(en_my_dname) == "abc");
               CHILD_CHECK(std::string(en_my_nname) == "alphabeta");
             }},
        Case{"product_code_zero_becomes_the_default", "{qel.node.product.code} = 0\n",
             [] { CHILD_CHECK(en_my_pcode == kDefaultProductCode); }},
        Case{"product_code_and_node_id", "{qel.node.product.code} = 7\n{qel.node.id} = 1234\n",
             [] { CHILD_CHECK(en_my_pcode == 7 && en_my_nid == 1234); }},
        Case{"check_mode_needs_a_port", "{qel.check.mode} = ON\n",
             [] { CHILD_CHECK(en_qel_check_mode == 0); }},
        Case{"check_mode_with_port", "{qel.check.mode} = ON\n{qel.check.udp.port} = 7001\n",
             [] { CHILD_CHECK(en_qel_check_mode == 1 && en_qel_check_port == 7001); }},
        Case{"keywords_ignore_case_others_keep_defaults",
             "{qel.ip.keep.mode} = off\n{qel.mode} = Full\n{qel.log} = yes\n",
             [] { CHILD_CHECK(en_ip_keep_mode == 0 && en_qel_full == 1 && en_log == 0); }},
        Case{"malformed_numbers_read_as_zero",
             "{qel.log.level} = abc\n{qel.node.id} = x9\n{qel.log.size} = 2MB\n",
             [] { CHILD_CHECK(en_log_level == 0 && en_my_nid == 0 && en_log_size == 2L * 1048576); }},
        Case{"values_cut_to_their_fields",
             "{qel.log.path} = /tmp/" + std::string(300, 'p') + "\n{qel.check.home} = /" +
                 std::string(100, 'h') + "\n{qel.domain.name} = " + std::string(50, 'd') + "\n"
                 ,
             [] {
               CHILD_CHECK(strlen(en_log_path) == sizeof en_log_path - 1);
               CHILD_CHECK(strlen(en_log_file) < sizeof en_log_file);
               CHILD_CHECK(strlen(en_qel_check_home) == sizeof en_qel_check_home - 1);
               CHILD_CHECK(std::string(en_my_dname) == std::string(32, 'd'));
             }},
        Case{"domain_from_file", "{qel.domain.name} = fromfile\n",
             [] { CHILD_CHECK(std::string(en_my_dname) == "fromfile"); }},
        Case{"trusted_ids_of_check_home_entries",
             "{qel.check.trust.users} = 4242, 4343\n{qel.check.trust.groups} = 777\n",
             [] {
               struct stat home{};
               home.st_mode = S_IFDIR | 0777;
               home.st_uid = 1;
               struct stat entry{};
               entry.st_gid = 9999;
               for (uid_t uid : {4242u, 4343u}) {
                 entry.st_uid = uid;
                 CHILD_CHECK(tav::reg::trusted(entry, home));
               }
               entry.st_uid = 4444;
               CHILD_CHECK(geteuid() == 4444 || !tav::reg::trusted(entry, home));
               entry.st_gid = 777;
               CHILD_CHECK(tav::reg::trusted(entry, home));
             }},
        Case{"trust_list_that_is_no_list_trusts_nobody_more",
             "{qel.check.trust.users} = alice\n",
             [] {
               struct stat home{};
               home.st_mode = S_IFDIR | 0777;
               home.st_uid = 1;
               struct stat entry{};
               entry.st_uid = 4242;
               entry.st_gid = 9999;
               CHILD_CHECK(geteuid() == 4242 || !tav::reg::trusted(entry, home));
             }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Settings, MissingOrUnreadableFileGivesDefaults) {
  for (const char* path : {"/nonexistent/settings", "/tmp"}) {
    auto r = in_child([&] {
      setenv("TAV_CONFIG_FILE", path, 1);
      tav_load();
      CHILD_CHECK(en_handle == 1 && tav::bypass == 0);
      CHILD_CHECK(std::string(en_log_path) == "." && en_log == 0 && en_my_pcode == kDefaultProductCode);
      return 0;
    });
    EXPECT_CHILD_OK(r) << path;
  }
}

TEST(Settings, DomainNameFromTheEnvironmentTakesPrecedence) {
  TempDir dir;
  const std::string path = dir.write("settings", render("{qel.domain.name} = fromfile\n"));
  auto r = in_child([&] {
    setenv("TAV_CONFIG_FILE", path.c_str(), 1);
    setenv("TAV_DOMAIN_NAME", "fromenv", 1);
    tav_load();
    CHILD_CHECK(std::string(en_my_dname) == "fromenv");
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

// RAII owner of a message queue created by the test.
struct OwnQueue {
  int id;
  explicit OwnQueue(key_t k) : id(msgget(k, IPC_CREAT | 0600)) {}
  ~OwnQueue() {
    if (id >= 0) msgctl(id, IPC_RMID, nullptr);
  }
};

TEST(Settings, QueuesAreOpenedNeverCreated) {
  const key_t base = own_key(0x10);
  OwnQueue existing(base + 1);
  ASSERT_GE(existing.id, 0);
  const std::string text = "{qel.gtuid.send.type} = QUEUE\n{qel.tcode.queue.count} = 2\n"
                           "{qel.tcode.queue.name} = " + hex(base) + "\n"
                           "{qel.gtuid.queue.count} = 3\n{qel.gtuid.queue.name} = 0x\n";
  auto r = start_with(text.c_str(), [&] {
    CHILD_CHECK(en_mzp_qsend == 1);
    // tcode: two keys from the base; only the second exists.
    CHILD_CHECK(en_tcode_queue_count == 2 && en_tcode_queue_key == base);
    CHILD_CHECK(en_tcode_queue_id[0] == -1 && en_tcode_queue_id[1] == existing.id);
    // tcod6 falls back to the tcode name and count.
    CHILD_CHECK(en_tcod6_queue_count == 2 && en_tcod6_queue_key == base);
    CHILD_CHECK(en_tcod6_queue_id[1] == existing.id);
    // A name that does not scan: no queues at all.
    CHILD_CHECK(en_gtuid_queue_count == 0 && en_gtuid_queue_id == nullptr);
  });
  EXPECT_CHILD_OK(r);
  errno = 0;
  EXPECT_EQ(msgget(base, 0), -1) << "the library created a queue";
  EXPECT_EQ(errno, ENOENT);
}

TEST(Settings, QueueCountBelowOneMeansNoQueues) {
  const std::string text = "{qel.gtuid.send.type} = QUEUE\n{qel.gtuid.queue.count} = 0\n"
                           "{qel.gtuid.queue.name} = " + hex(own_key(0x20)) + "\n"
                           "{qel.tcode.queue.count} = -3\n{qel.tcode.queue.name} = " +
                           hex(own_key(0x30)) + "\n";
  auto r = start_with(text.c_str(), [] {
    CHILD_CHECK(en_gtuid_queue_count == 0 && en_gtuid_queue_id == nullptr);
    CHILD_CHECK(en_tcode_queue_count == 0 && en_tcode_queue_id == nullptr);
  });
  EXPECT_CHILD_OK(r);
}

// RAII owner of a shared-memory segment created by the test.
struct OwnSegment {
  int id;
  mlogshm* at = nullptr;
  explicit OwnSegment(key_t k) : id(shmget(k, 8, IPC_CREAT | 0600)) {
    if (id >= 0) at = static_cast<mlogshm*>(shmat(id, nullptr, 0));
  }
  ~OwnSegment() {
    if (at) shmdt(at);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
  }
};

TEST(Settings, ControlSegmentsSwitchLoggingAndModes) {
  OwnSegment log(own_key(0x40)), modes(own_key(0x41));
  ASSERT_TRUE(log.at && modes.at);
  *log.at = {1, 2};
  *modes.at = {1, 1};
  const std::string text = "{qel.log.shm.key} = " + hex(own_key(0x40)) +
                           "\n{qel.attach.shm.key} = " + hex(own_key(0x41)) + "\n";
  auto r = start_with(text.c_str(), [&] {
    CHILD_CHECK(en_log_info && en_ath_info);
    CHILD_CHECK(en_log_shmid == log.id && en_attach_shmid == modes.id);
    CHILD_CHECK(en_log == 1 && en_log_level == 2 && en_qel_full == 1 && en_bmt_mode == 1);
    const std::string lines = TempDir::read(en_log_file);
    CHILD_CHECK(lines.find("en_log_info : log_mode(ON), log_level(2)\n") != std::string::npos);
    CHILD_CHECK(lines.find("en_ath_info : qel_full(FULL), bmt(ON)\n") != std::string::npos);
    CHILD_CHECK(lines.find(" start. mode(1) ") != std::string::npos);
    // A change in the segment takes effect at the next call.
    log.at->logmode = 0;
    modes.at->loglevel = 0;
    CHILD_CHECK(tav::prologue());
    CHILD_CHECK(en_log == 0 && en_bmt_mode == 0 && en_log_level == 2);
  });
  EXPECT_CHILD_OK(r);
}

// A record ring of the relay with the key of a control segment: its header
// would read as switches, so it is not used, and the file's values hold.
TEST(Settings, RingWithTheKeyOfAControlSegmentIsNotUsed) {
  const key_t key = own_key(0x60);
  const int id = shmget(key, tav::ring::bytes_for(64), IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(id, 0);
  void* base = shmat(id, nullptr, 0);
  tav::ring::format(base, 64, tav::ring::kGtuidFamily, key, 9, 0600, getpid());
  shmdt(base);
  const std::string text = "{qel.log} = ON\n{qel.log.level} = 1\n{qel.log.shm.key} = " + hex(key) + "\n";
  auto r = start_with(text.c_str(), [] {
    CHILD_CHECK(en_log_info == nullptr && en_log_shmid == -1);
    CHILD_CHECK(en_log == 1 && en_log_level == 1);
    const std::string lines = TempDir::read(en_log_file);
    CHILD_CHECK(lines.find("is a record ring, not a control segment") != std::string::npos);
  });
  shmctl(id, IPC_RMID, nullptr);
  EXPECT_CHILD_OK(r);
}

TEST(Settings, SegmentKeyThatDoesNotExistLeavesFileValues) {
  const std::string text = "{qel.log} = ON\n{qel.log.shm.key} = " + hex(own_key(0x50)) + "\n";
  auto r = start_with(text.c_str(), [] {
    CHILD_CHECK(en_log_info == nullptr && en_log == 1);
    CHILD_CHECK(tav::prologue() && en_log == 1);
  });
  EXPECT_CHILD_OK(r);
}
