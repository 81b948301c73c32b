// The QELInterface natives of the WebLogic build inside a real JVM. QelCheck
// loads the probe with System.load, drives one case and prints the calling
// threads' GTUID windows and what the natives returned; the test reads the
// type-1 queue (queue mode, the sandbox's own key) and the probe's log.
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

// The value printed by Java for `key` (its last occurrence).
std::string value(const std::string& out, const std::string& key) {
  return qel::test::jvm::printed(out, key, true);
}

// One type-1 message: start and send letters ("CR": call received), the
// identifier digits and the hop counter text.
struct Event {
  std::string letters;
  std::string digits;
  std::string seq;
  bool operator==(const Event&) const = default;
};

void PrintTo(const Event& e, std::ostream* os) {
  *os << e.letters << "/" << e.digits << "/" << e.seq;
}

class QelJvm : public testing::Test {
 protected:
  void SetUp() override {
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
    box.add_setting("qel.gtuid.send.type", "QUEUE");
    q = msgget(box.key(1), IPC_CREAT | 0600);  // removed with the sandbox
    ASSERT_GE(q, 0) << strerror(errno);
  }
  RunResult run(const std::string& which, bool full = true) {
    box.add_setting("qel.mode", full ? "FULL" : "HALF");
    RunResult r = qel::test::jvm::run_check(box, "QelCheck", which, log);
    qel::test::jvm::expect_clean(r);
    return r;
  }
  std::vector<Event> events() const {
    namespace jvm = qel::test::jvm;
    std::vector<Event> out;
    for (const mzp1_t& z : jvm::take_records(q))
      out.push_back({jvm::letters(z), jvm::text_of(z.gtuid), jvm::text_of(z.seq)});
    return out;
  }

  ProbeSandbox box{"weblogic"};
  std::string log;
  int q = -1;
};

// One thread's record goes to a second thread as text and comes back out of
// getValue as the second thread's window; the next getValue, without a new
// Java hop, ends the transaction there.
TEST_F(QelJvm, RecordTakenOverIsHandedOutThenTheHopEnds) {
  const RunResult r = run("handout");
  const std::string& out = r.out;
  const std::string id = value(out, "origin.digits");
  ASSERT_EQ(id.size(), 22u) << out;
  EXPECT_EQ(value(out, "origin.flag"), "1") << out;
  EXPECT_EQ(value(out, "before.flag"), "0") << out;

  // Taken over: the same identifier, one hop further, marked as a Java hop.
  EXPECT_EQ(value(out, "taken.flag"), "1") << out;
  EXPECT_EQ(value(out, "taken.digits"), id) << out;
  EXPECT_EQ(value(out, "taken.seq"), "1") << out;
  EXPECT_EQ(value(out, "taken.hop"), "true") << out;
  EXPECT_EQ(out.find("action=16\n"), out.find("action=")) << out;

  // Handed out: the window's own bytes, after the mark was cleared.
  const std::string got = value(out, "got");
  EXPECT_EQ(got.size(), 192u) << out;
  EXPECT_EQ(value(out, "got.length"), "192") << out;
  EXPECT_EQ(got.find_first_not_of("0123456789abcdef"), std::string::npos) << got;
  EXPECT_EQ(got, value(out, "handed.hex")) << out;
  EXPECT_EQ(value(out, "handed.seq"), "2") << out;
  EXPECT_EQ(value(out, "handed.hop"), "false") << out;
  EXPECT_EQ(value(out, "action"), "0") << out;

  EXPECT_EQ(value(out, "again"), "null") << out;
  EXPECT_EQ(value(out, "ended.flag"), "0") << out;
  EXPECT_EQ(value(out, "ended.seq"), "3") << out;
  EXPECT_EQ(value(out, "puts"), "2") << out;  // createGTUID and the takeover

  const std::vector<Event> want = {
      {"SR", id, "00000"}, {"CR", id, "00001"}, {"CS", id, "00002"}, {"ES", id, "00003"}};
  EXPECT_EQ(events(), want);
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. tav_gtuid_unhexa."), 1u) << log;
  EXPECT_EQ(occurrences(log, "gtuid info(getValue)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.getValue : start type(3)"), 2u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.getValue : end"), 2u) << log;
}

// Half mode: the takeover still counts a hop, getValue does not; only the
// send side is reported.
TEST_F(QelJvm, HalfModeCountsOnlyTheTakeoverHop) {
  const RunResult r = run("handout", false);
  const std::string id = value(r.out, "origin.digits");
  EXPECT_EQ(value(r.out, "taken.seq"), "1") << r.out;
  EXPECT_EQ(value(r.out, "handed.seq"), "1") << r.out;
  EXPECT_EQ(value(r.out, "got"), value(r.out, "handed.hex")) << r.out;
  EXPECT_EQ(value(r.out, "ended.seq"), "1") << r.out;
  const std::vector<Event> want = {{"CS", id, "00001"}, {"ES", id, "00001"}};
  EXPECT_EQ(events(), want);
}

TEST_F(QelJvm, GetValueWithoutJavaHopEndsTheTransaction) {
  const RunResult r = run("hopless");
  const std::string id = value(r.out, "active.digits");
  EXPECT_EQ(value(r.out, "active.svc"), "7") << r.out;
  EXPECT_EQ(value(r.out, "got"), "null") << r.out;
  EXPECT_EQ(value(r.out, "ended.flag"), "0") << r.out;
  EXPECT_EQ(value(r.out, "ended.svc"), "0") << r.out;
  EXPECT_EQ(value(r.out, "ended.seq"), "1") << r.out;
  // Nothing active: nothing reported, only the service byte is reset.
  EXPECT_EQ(value(r.out, "idle"), "null") << r.out;
  EXPECT_EQ(value(r.out, "idle.svc"), "0") << r.out;
  EXPECT_EQ(value(r.out, "idle.seq"), "1") << r.out;
  const std::vector<Event> want = {{"SR", id, "00000"}, {"ES", id, "00001"}};
  EXPECT_EQ(events(), want);
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
}

TEST_F(QelJvm, ActionMarkAloneHandsTheRecordOut) {
  const RunResult r = run("action");
  const std::string id = value(r.out, "active.digits");
  EXPECT_EQ(value(r.out, "active.hop"), "false") << r.out;
  EXPECT_EQ(value(r.out, "got"), value(r.out, "handed.hex")) << r.out;
  EXPECT_EQ(value(r.out, "handed.flag"), "1") << r.out;
  EXPECT_EQ(value(r.out, "action"), "1") << r.out;
  const std::vector<Event> want = {{"SR", id, "00000"}, {"CS", id, "00001"}};
  EXPECT_EQ(events(), want);
}

TEST_F(QelJvm, RecordWithoutTransactionEndsTheThreadsOwn) {
  const RunResult r = run("inactive");
  const std::string id = value(r.out, "active.digits");
  EXPECT_EQ(value(r.out, "ended.flag"), "0") << r.out;
  EXPECT_EQ(value(r.out, "ended.digits"), id) << r.out;  // the record was not taken
  EXPECT_EQ(value(r.out, "ended.seq"), "0") << r.out;
  EXPECT_EQ(value(r.out, "ended.hop"), "false") << r.out;
  const std::vector<Event> want = {{"SR", id, "00000"}};
  EXPECT_EQ(events(), want);
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
}

TEST_F(QelJvm, TakenRecordGetsTheMarker) {
  const RunResult r = run("marker");
  EXPECT_EQ(value(r.out, "taken.marker"), "020a240f") << r.out;
  EXPECT_EQ(value(r.out, "taken.flag"), "1") << r.out;
  EXPECT_EQ(value(r.out, "taken.digits"), "2323232323232323232323") << r.out;
  EXPECT_EQ(value(r.out, "taken.seq"), "1") << r.out;
  const std::vector<Event> want = {{"CR", "2323232323232323232323", "00001"}};
  EXPECT_EQ(events(), want);
}

TEST_F(QelJvm, TypeTwoStartsOnlyWhenNoneIsActive) {
  const RunResult r = run("start");
  const std::string id = value(r.out, "first.digits");
  EXPECT_EQ(value(r.out, "first.flag"), "1") << r.out;
  EXPECT_NE(id, "0000000000000000000000") << r.out;
  EXPECT_EQ(value(r.out, "second.hex"), value(r.out, "first.hex")) << r.out;
  EXPECT_EQ(value(r.out, "puts"), "1") << r.out;
  const std::vector<Event> want = {{"SR", id, "00000"}};
  EXPECT_EQ(events(), want);
}

// A null array, 191 characters, an empty array, a non-hexadecimal last
// character, other types and an excluded thread: nothing changes, nothing is
// thrown, nothing is reported.
TEST_F(QelJvm, BadValuesOtherTypesAndExcludedThreadsChangeNothing) {
  const RunResult r = run("ignored");
  const std::string before = value(r.out, "before.hex");
  ASSERT_EQ(before.size(), 192u) << r.out;
  EXPECT_EQ(value(r.out, "after.hex"), before) << r.out;
  EXPECT_EQ(value(r.out, "excluded.hex"), before) << r.out;
  for (const char* key : {"get0", "get1", "get2", "get4", "excludedGet"})
    EXPECT_EQ(value(r.out, key), "null") << key << "\n" << r.out;
  EXPECT_EQ(value(r.out, "puts"), "1") << r.out;
  const std::vector<Event> want = {{"SR", value(r.out, "before.digits"), "00000"}};
  EXPECT_EQ(events(), want);
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. bad value (-1)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. bad value (191)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. bad value (0)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. bad value (192) not hexadecimal"), 1u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.setValue. bad value (192) not a record"), 1u) << log;
  EXPECT_EQ(occurrences(log, "tav_gtuid_unhexa."), 0u) << log;
  EXPECT_EQ(occurrences(log, "no thread record"), 2u) << log;
  EXPECT_EQ(occurrences(log, "QELInterface.setValue : start"),
            occurrences(log, "QELInterface.setValue : end"))
      << log;
}

}  // namespace
