// The transaction-code and server-call natives inside a real JVM. TcodeCheck
// loads the probe with System.load, drives one case and prints the calling
// thread's GTUID window; the test reads the probe's queues (created here with
// the sandbox's own keys) and its log.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jvm_check.h"
#include "probe_run.h"

namespace {

using qel::test::occurrences;
using qel::test::ProbeSandbox;
using qel::test::RunResult;

// Queue texts (without the message type) of one queue, oldest first.
std::vector<std::string> drain(int q) {
  std::vector<std::string> out;
  struct {
    long type;
    char text[512];
  } msg;
  for (ssize_t n; (n = msgrcv(q, &msg, sizeof msg.text, 0, IPC_NOWAIT)) >= 0;)
    out.emplace_back(msg.text, static_cast<size_t>(n));
  return out;
}

std::string text(const std::string& rec, size_t off, size_t cap) {
  const std::string f = rec.substr(off, cap);
  return f.substr(0, f.find('\0'));
}

struct Mode {
  const char* build;
  bool queue;  // "qel.gtuid.send.type" QUEUE, else adapter mode
};

void PrintTo(const Mode& m, std::ostream* os) { *os << m.build << (m.queue ? "/queue" : "/list"); }

class TcodeJvm : public testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
    box.add_setting("qel.mode", "FULL");
    if (GetParam().queue) box.add_setting("qel.gtuid.send.type", "QUEUE");
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(box.key(4)));
    box.add_setting("qel.tcode.queue.name", hex);
    snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(box.key(5)));
    box.add_setting("qel.tcod6.queue.name", hex);
    // Removed with the sandbox, also on failure.
    gtuid_q = msgget(box.key(1), IPC_CREAT | 0600);
    tcode_q = msgget(box.key(4), IPC_CREAT | 0600);
    tcod6_q = msgget(box.key(5), IPC_CREAT | 0600);
    ASSERT_GE(gtuid_q, 0) << strerror(errno);
    ASSERT_GE(tcode_q, 0) << strerror(errno);
    ASSERT_GE(tcod6_q, 0) << strerror(errno);
  }
  RunResult run(const std::string& which) {
    RunResult r = qel::test::jvm::run_check(box, "TcodeCheck", which, log);
    qel::test::jvm::expect_clean(r);
    return r;
  }
  bool queue() const { return GetParam().queue; }
  bool weblogic() const { return std::string(GetParam().build) == "weblogic"; }

  ProbeSandbox box{GetParam().build};
  std::string log;
  int gtuid_q = -1, tcode_q = -1, tcod6_q = -1;
};

// Code cut to 32 bytes, address kept for a zero first byte or a short array,
// and the records of all three kinds with their exact fields.
TEST_P(TcodeJvm, CodesReachTheWindowAndTheRecords) {
  const RunResult r = run("codes");
  const std::string blocked = queue() ? "1" : "0";  // one-shot only in adapter mode
  struct {
    const char* key;
    std::string want;
  } lines[] = {
      {"t2.code", "CODE-0123456789-ABCDEFGHIJKLMNOP"}, {"t2.routing", "5"},
      {"t2.ip", "0a010203"}, {"t2.mask", "01020304"}, {"t2.trblock", blocked},
      {"t4.code", "SHORT"}, {"t4.routing", "6"}, {"t4.ip", "0a010203"},
      {"t4.mask", "ffffffff"}, {"t4.trblock", "0"},
      {"t6.code", "URLCODE"}, {"t6.ip", "0a010203"}, {"t6.mask", "00000007"},
      {"t6.trblock", blocked},
  };
  for (const auto& l : lines) EXPECT_EQ(qel::test::jvm::printed(r.out, l.key), l.want) << l.key << "\n" << r.out;

  // The build that reports the start on the first code does so while the
  // hop counter is 0: once per call here.
  EXPECT_EQ(drain(gtuid_q).size(), queue() ? (weblogic() ? 4u : 1u) : 0u);

  const auto tcode = drain(tcode_q), tcod6 = drain(tcod6_q);
  if (!queue()) {
    EXPECT_TRUE(tcode.empty());
    EXPECT_TRUE(tcod6.empty());
    // Each record is on the thread's list with its own size.
    for (const char* rec : {"tcode list(104:0)", "tcode list(168:0)", "tcode list(296:0)"})
      EXPECT_EQ(occurrences(log, rec), 1u) << rec << log;
    return;
  }
  ASSERT_EQ(tcode.size(), 2u);
  ASSERT_EQ(tcod6.size(), 1u);
  EXPECT_EQ(tcode[0].size(), 104u);
  EXPECT_EQ(tcode[1].size(), 168u);
  EXPECT_EQ(tcod6[0].size(), 296u);
  EXPECT_EQ(tcode[0].substr(23, 33), std::string("CODE-0123456789-ABCDEFGHIJKLMNOP") + '\0');
  EXPECT_EQ(text(tcode[0], 83, 16), "10.1.2.3");
  EXPECT_EQ(tcode[0].substr(99, 2), std::string("\1\0", 2));
  EXPECT_EQ(text(tcode[1], 23, 33), "SHORT");
  EXPECT_EQ(text(tcode[1], 101, 33), "customer-42");
  EXPECT_EQ(tcode[1].substr(134, 33), std::string("user-7-with-a-name-longer-than-t") + '\0');
  EXPECT_EQ(text(tcod6[0], 23, 33), "URLCODE");
  EXPECT_EQ(tcod6[0].substr(99, 2), std::string("\1\0", 2));
  const std::string url = qel::test::jvm::printed(r.out, "url");
  ASSERT_EQ(url.size(), 128u);
  EXPECT_EQ(tcod6[0].substr(167, 129), url + '\0');
}

// Null arrays and strings: logged, and nothing of the call is taken.
TEST_P(TcodeJvm, NullArgumentsAreRefused) {
  const RunResult r = run("nulls");
  for (const auto& [key, want] : std::vector<std::pair<std::string, std::string>>{
           {"refused.code", "FIRST"}, {"refused.routing", "1"}, {"refused.mask", "00000001"},
           {"refused.trblock", "0"}, {"taken.code", "NOURL"}, {"taken.ip", "0a010203"},
           {"taken.routing", "3"}})
    EXPECT_EQ(qel::test::jvm::printed(r.out, key), want) << key << "\n" << r.out;
  for (const char* line : {"setTRCODE. null or unreadable array", "setTRCODE2. null or unreadable array",
                           "setTRCODE6. null or unreadable array", "setTRCODE. null ip array",
                           "setTRCODE6. null url array", "sendSVR : null or unreadable string",
                           "recvSVR : null or unreadable string",
                           "setGTUID2. (10) null or unreadable ip"})
    EXPECT_EQ(occurrences(log, line), 1u) << line << "\n" << log;
  if (queue()) {
    const auto tcode = drain(tcode_q), tcod6 = drain(tcod6_q);
    ASSERT_EQ(tcode.size(), 2u);  // FIRST and NOIP
    EXPECT_EQ(text(tcode[1], 23, 33), "NOIP");
    ASSERT_EQ(tcod6.size(), 1u);
    EXPECT_EQ(text(tcod6[0], 23, 33), "NOURL");
    EXPECT_EQ(tcod6[0].substr(167, 129), std::string(129, '\0'));
  }
}

// Server calls by name and calls by address, event by event.
TEST_P(TcodeJvm, ServerCallsAndAddressedHops) {
  run("servers");
  const auto msgs = drain(gtuid_q);
  if (!queue()) {
    EXPECT_TRUE(msgs.empty());
    EXPECT_EQ(occurrences(log, "sendSVR : scode(T) pcode(07) svcname(billing) ip(10.0.0.5)"), 1u)
        << log;
    return;
  }
  std::vector<std::string> events;
  for (const auto& m : msgs) events.push_back(m.substr(72, 1) + m.substr(74, 1) + text(m, 23, 6));
  const std::vector<std::string> want = {"SR00000", "CS00001", "CR00002", "CS00003",
                                         "CR00004", "CR00005", "ES00006"};
  ASSERT_EQ(events, want);
  EXPECT_EQ(msgs[0][246], 'N');  // the start names no service
  EXPECT_EQ(text(msgs[0], 248, 16), "NONE");
  for (size_t i : {2u, 3u}) {  // the called server's side
    EXPECT_EQ(msgs[i].substr(241, 5), std::string("T\0" "07\0", 5)) << i;
    EXPECT_EQ(text(msgs[i], 208, 33), "billing") << i;
    EXPECT_EQ(text(msgs[i], 248, 16), "10.0.0.5") << i;
  }
  EXPECT_EQ(text(msgs[4], 208, 33), text(msgs[4], 33, 8));  // back here: our pid
  for (size_t i : {5u, 6u}) {  // hops by address: iotype S, the address, the port
    EXPECT_EQ(msgs[i][246], 'S') << i;
    EXPECT_EQ(text(msgs[i], 248, 16), "10.0.0.9") << i;
    EXPECT_EQ(static_cast<unsigned char>(msgs[i][266]) * 256 + static_cast<unsigned char>(msgs[i][267]),
              7001) << i;
  }
}

// Out to a database that the service list names with codes of its own; the
// way back names this process again and never searches the list.
TEST_P(TcodeJvm, DatabaseCallByAddress) {
  box.add_setting("qel.adapter.information", "127.0.0.17:9100:1:2");
  run("database");
  EXPECT_EQ(occurrences(log, "isSERVICE (127.0.0.17 : 9100) mode(0x20000000) rc(0)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setGTUID2 type(12) ip(127.0.0.17) port(9100) mode(6) scode(1) pcode(2)>"),
            1u) << log;
  EXPECT_EQ(occurrences(log, "setGTUID2 type(13) ip(127.0.0.17) port(9100) mode(0)"), 1u) << log;
  const auto msgs = drain(gtuid_q);
  if (!queue()) {
    EXPECT_TRUE(msgs.empty());
    return;
  }
  std::vector<std::string> events;
  for (const auto& m : msgs) events.push_back(m.substr(72, 1) + m.substr(74, 1) + text(m, 23, 6));
  const std::vector<std::string> want = {"SR00000", "CS00001", "CR00002", "CS00003", "CR00004"};
  ASSERT_EQ(events, want);
  EXPECT_EQ(msgs[2].substr(241, 5), std::string("1\0" "02\0", 5));  // the database side
  EXPECT_EQ(text(msgs[2], 248, 16), "127.0.0.17");
  EXPECT_EQ(static_cast<unsigned char>(msgs[2][266]) * 256 + static_cast<unsigned char>(msgs[2][267]),
            9100);
  EXPECT_EQ(msgs[3].substr(241, 5), std::string("1\0" "02\0", 5));  // still there
  EXPECT_NE(msgs[4][241], '1');  // back here: this process's codes, port 0
  EXPECT_EQ(msgs[4].substr(264, 4), std::string(4, '\0'));
}

TEST_P(TcodeJvm, ThreadWithoutThrStartIsNotHarmed) {
  run("unbound");
  EXPECT_EQ(occurrences(log, "setTRCODE6. null or unreadable array"), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(Builds, TcodeJvm,
                         testing::Values(Mode{"jeus", true}, Mode{"jeus", false},
                                         Mode{"weblogic", true}, Mode{"weblogic", false}),
                         [](const auto& info) {
                           return std::string(info.param.build) +
                                  (info.param.queue ? "_queue" : "_list");
                         });

}  // namespace
