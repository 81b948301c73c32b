// The settings and service-list natives of the Java builds inside a real JVM.
// The test class SettingsCheck drives one case and prints what Java saw; the
// probe log and the queued messages show what the library did.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "jvm_check.h"
#include "probe_run.h"

namespace {

using qel::test::occurrences;
using qel::test::ProbeSandbox;
using qel::test::RunResult;
namespace jvm = qel::test::jvm;

class SettingsJvm : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
  }
  // Runs one case; with `preload` the probe also interposes the JVM's calls.
  RunResult run(const std::string& which, const std::string& extra = "", bool preload = false) {
    return jvm::run_check(box, "SettingsCheck", which, log,
                          extra.empty() ? std::vector<std::string>{} : std::vector<std::string>{extra},
                          preload);
  }
  static void expect_clean(const RunResult& r) { jvm::expect_clean(r); }
  static void expect_lines(const RunResult& r,
                           const std::vector<std::pair<std::string, std::string>>& want) {
    for (const auto& [key, value] : want)
      EXPECT_NE(r.out.find(key + "=" + value + "\n"), std::string::npos)
          << key << "=" << value << "\n" << r.out;
  }

  ProbeSandbox box{GetParam()};
  std::string log;
};

// "on" in any case switches logging on, anything else off, null changes
// nothing; the log path is cut to its field and moves the log file.
TEST_P(SettingsJvm, LogModeLevelAndPath) {
  box.add_setting("qel.mode", "FULL");
  box.add_setting("qel.ip.keep.mode", "OFF");
  const std::string dir2 = box.path("log2");
  ASSERT_EQ(mkdir(dir2.c_str(), 0755), 0) << strerror(errno);
  const RunResult r = run("log", dir2);
  expect_clean(r);
  expect_lines(r, {{"mode0", "ON"}, {"mode1", "OFF"}, {"mode2", "ON"}, {"mode3", "OFF"},
                   {"mode4", "OFF"}, {"mode5", "ON"}, {"level1", "1"}, {"level2", "2"},
                   {"path0", box.log_dir()}, {"path1", dir2}, {"path2", dir2},
                   {"longLength", "199"}, {"longPrefix", "true"}, {"fullMode", "1"},
                   {"keepMode", "0"}});
  // Lines written while logging was off are missing; the null text is logged.
  EXPECT_EQ(occurrences(log, "setLOGMODE. (On:1)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setLOGMODE. (off"), 0u) << log;
  EXPECT_EQ(occurrences(log, "setLOGMODE. (yes"), 0u) << log;
  EXPECT_EQ(occurrences(log, "setLOGLEVEL. (2)"), 1u) << log;
  // After the move the lines go to the new directory's file.
  const std::string moved = qel::test::probe_logs(dir2);
  EXPECT_EQ(occurrences(moved, "setLOGPATH. (" + dir2 + ")(" + dir2 + "/TavQEL.LOG."), 2u)
      << moved;
  EXPECT_EQ(occurrences(moved, "setLOGPATH. no text"), 1u) << moved;
  EXPECT_EQ(occurrences(moved, "getMODE. (1)"), 1u) << moved;
  EXPECT_EQ(occurrences(moved, "getKEEPMODE. (0)"), 1u) << moved;
  EXPECT_EQ(occurrences(log, "getMODE."), 0u) << log;
}

// The list text of every named mode, the class of every kind of entry, and
// edits through the natives.
TEST_P(SettingsJvm, ServiceListTextAndClasses) {
  box.add_setting("qel.server.information", "127.0.0.16:9000:1:2");
  box.add_setting("qel.adapter.information", "127.0.0.17:9100:1:2");
  const RunResult r = run("ipinfo");
  expect_clean(r);
  const std::string named =
      "127.0.0.13:7001:START, 127.0.0.13:7002:KEEP, 127.0.0.13:7003:SYBASE, "
      "127.0.0.13:7004:DB2, 127.0.0.13:7005:ORACLE_MS, 127.0.0.13:7006:UDB, "
      "127.0.0.13:7007:ALTIBASE, 127.0.0.13:7008:JRMI";
  expect_lines(
      r,
      {// Server-information and adapter entries are not shown.
       {"text0", "[]"},
       {"text1", "[127.0.0.11:*:SERVICE, 127.0.0.12:7000-7010:ORACLE]"},
       // HTTP on "*" and a mode without a name are not shown.
       {"text2", "[127.0.0.11:*:SERVICE, 127.0.0.12:7000-7010:ORACLE, " + named +
                     ", 127.0.0.13:7009:HTTP]"},
       {"text3", "[127.0.0.11:*:SERVICE, " + named + "]"},
       {"history", "null"}});

  const std::vector<std::pair<std::string, int>> classes = {
      {"127.0.0.11:1", 1},    {"127.0.0.11:0", 1},    {"127.0.0.11:65535", 1},
      {"127.0.0.12:7000", 3}, {"127.0.0.12:7005", 3}, {"127.0.0.12:7010", 3},
      {"127.0.0.12:7011", 0}, {"127.0.0.12:6999", 0}, {"127.0.0.13:7001", 4},
      {"127.0.0.13:7002", 2}, {"127.0.0.13:7003", 3}, {"127.0.0.13:7004", 3},
      {"127.0.0.13:7005", 3}, {"127.0.0.13:7006", 3}, {"127.0.0.13:7007", 3},
      {"127.0.0.13:7008", 4}, {"127.0.0.13:7009", 5}, {"127.0.0.13:7010", 4},
      {"127.0.0.13:7011", 0}, {"127.0.0.14:80", 5},   {"127.0.0.15:1", 0},
      {"127.0.0.16:9000", 3}, {"127.0.0.17:9100", 6}, {"null:1", 0}};
  for (const auto& [addr, cls] : classes)
    EXPECT_NE(r.out.find("is " + addr + "=" + std::to_string(cls) + "\n"), std::string::npos)
        << addr << " " << cls << "\n" << r.out;
  // Removed entries classify nothing until they are added again.
  EXPECT_NE(r.out.find("text3=[127.0.0.11:*:SERVICE, " + named +
                       "]\nis 127.0.0.12:7005=0\nis 127.0.0.13:7009=0\nis 127.0.0.12:7005=3\n"),
            std::string::npos)
      << r.out;

  EXPECT_EQ(occurrences(log, "setIPINFO. no text"), 1u) << log;
  EXPECT_EQ(occurrences(log, "removeIPINFO. no text"), 1u) << log;
  EXPECT_EQ(occurrences(log, "isSERVICE. no address"), 1u) << log;
  EXPECT_EQ(occurrences(log, "isSERVICE (127.0.0.17 : 9100) mode(0x20000000) rc(6)"), 1u) << log;
}

TEST_P(SettingsJvm, EmptyListGivesEmptyText) {
  const RunResult r = run("empty");
  expect_clean(r);
  expect_lines(r, {{"text0", "[]"}, {"text1", "[]"}});
}

// With the probe preloaded the JVM's own sockets are tracked: their class
// follows the kind their port was listed with.
TEST_P(SettingsJvm, DescriptorClasses) {
  const std::string file = box.write_file("plain.txt", "plain\n");
  const RunResult r = run("fd", file, true);
  expect_clean(r);
  expect_lines(r, {{"fdSERVICEFound", "true"}, {"fdSERVICE", "1"}, {"fdKEEPFound", "true"},
                   {"fdKEEP", "2"}, {"fdORACLEFound", "true"}, {"fdORACLE", "3"},
                   {"fdPLAINFound", "true"}, {"fdPLAIN", "0"}, {"fdFileFound", "true"},
                   {"fdFile", "0"}, {"fdOut -1", "0"}, {"fdOut 1048576", "0"},
                   {"fdOut 2147483647", "0"}, {"fdOut -2147483648", "0"}});
  // The plain connection is tracked (its flag word is not 0), yet of no class.
  EXPECT_EQ(occurrences(log, "isSERVICEFD (127.0.0.1 : "), 4u) << log;
  EXPECT_EQ(occurrences(log, "0x00000000) isSERVICEFD"), 1u) << log;  // the file
}

// Several threads add entries while others read the list: every entry
// arrives, and each thread keeps its own action word.
TEST_P(SettingsJvm, ConcurrentEditsAndReads) {
  const RunResult r = run("concurrent");
  expect_clean(r);
  expect_lines(r, {{"entries", "160"}, {"classified", "160"}, {"wrongAction", "0"},
                   {"readerCalled", "true"}});
}

// The type-1 messages of the queue: start and send letters, I/O type, address
// and service name, and the process id text.
struct Message {
  std::string event, iotype, ipaddr, svname, pid;
};

class QueuedSettingsJvm : public SettingsJvm {
 protected:
  void SetUp() override {
    SettingsJvm::SetUp();
    box.add_setting("qel.gtuid.send.type", "QUEUE");
    q = msgget(box.key(1), IPC_CREAT | 0600);  // removed with the sandbox
    ASSERT_GE(q, 0) << strerror(errno);
  }
  std::vector<Message> messages() const {
    namespace jvm = qel::test::jvm;
    std::vector<Message> out;
    for (const mzp1_t& z : jvm::take_records(q))
      out.push_back({jvm::letters(z), jvm::text_of(z.iotype), jvm::text_of(z.ipaddr),
                     jvm::text_of(z.svname), jvm::text_of(z.pid)});
    return out;
  }
  int q = -1;
};

TEST_P(QueuedSettingsJvm, ThreadNamesAndActionGoWithTheThread) {
  const RunResult r = run("thread");
  expect_clean(r);
  expect_lines(r, {{"action", "7"}, {"actionExcluded", "0"}, {"actionRestored", "7"}});
  const size_t at = r.out.find("pid=");
  ASSERT_NE(at, std::string::npos) << r.out;
  char pid[16];
  snprintf(pid, sizeof pid, "%08d", atoi(r.out.c_str() + at + 4));

  const std::vector<Message> m = messages();
  ASSERT_EQ(m.size(), 3u);
  for (const Message& e : m) {
    EXPECT_EQ(e.event, "ES");
    EXPECT_EQ(e.pid, pid);
  }
  // The queue name (cut to 15) goes on the next message only.
  EXPECT_EQ(m[0].iotype, "Q");
  EXPECT_EQ(m[0].ipaddr, "orders.queue.na");
  EXPECT_EQ(m[0].svname, "billing");
  EXPECT_NE(m[1].iotype, "Q");
  EXPECT_NE(m[1].ipaddr, "orders.queue.na");
  EXPECT_EQ(m[1].svname, pid);  // a leading blank restores the default
  EXPECT_EQ(m[2].svname, "0123456789abcdefghij0123456789AB");

  EXPECT_EQ(occurrences(log, "setJMSNAME. (orders.queue.name.long)(orders.queue.na)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setJMSNAME. no text"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setSERVICENAME. no text"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setACTION. (7)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setACTION. (9)"), 0u) << log;  // excluded thread
}

INSTANTIATE_TEST_SUITE_P(Builds, SettingsJvm, testing::Values("jeus", "weblogic"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Builds, QueuedSettingsJvm, testing::Values("jeus", "weblogic"),
                         [](const auto& info) { return info.param; });

}  // namespace
