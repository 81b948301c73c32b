// The adapter's delivery to the master in a real JVM with the probe
// preloaded: the check class MasterCheck opens the links itself, Java
// threads produce records and packets, and the development master shows
// what arrived. Queue mode goes the other way round, through relayd.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jvm_check.h"
#include "probe_run.h"

namespace {

using namespace std::chrono_literals;
using qel::test::Background;
using qel::test::occurrences;
using qel::test::ProbeSandbox;
using qel::test::read_file;
using qel::test::RunResult;
namespace jvm = qel::test::jvm;

std::string json_text(const std::string& line, const std::string& name) {
  const std::regex re("\"" + name + "\":\"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(line, m, re) ? m[1].str() : std::string();
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// What a master received, sorted by kind.
struct Received {
  std::vector<std::string> events, tcode2, tcode4, packets, other;
  std::vector<std::string> trcodes;  // of the transaction-code records
  std::string sessions_of_events, sessions_of_packets;

  explicit Received(const std::string& path) {
    for (const std::string& l : lines_of(path)) {
      const std::string batch = json_text(l, "batch");
      if (batch == "MZZP000001") {
        events.push_back(json_text(l, "event") + json_text(l, "direction"));
      } else if (batch == "MZZP000002") {
        tcode2.push_back(json_text(l, "trcode"));
      } else if (batch == "MZZP000004") {
        tcode4.push_back(json_text(l, "trcode"));
      } else if (json_text(l, "message") == "WASP000001") {
        packets.push_back(json_text(l, "body"));
      } else {
        other.push_back(l);
      }
    }
  }
  size_t count(const std::vector<std::string>& v, const std::string& what) const {
    return static_cast<size_t>(std::count(v.begin(), v.end(), what));
  }
};

// Waits until `done` holds for what the master at `path` received.
Received wait_for(const std::string& path, const std::function<bool(const Received&)>& done,
                  std::chrono::seconds limit = 30s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    Received r(path);
    if (done(r) || std::chrono::steady_clock::now() > until) return r;
    std::this_thread::sleep_for(100ms);
  }
}

// A development master of the sandbox, polling every link. The adapter's
// senders serve their link at least once a second, so one poll at a time is
// out at this interval.
struct Master {
  Master(ProbeSandbox& box, const std::string& name)
      : out(box.path(name + ".jsonl")), ready(box.path(name + ".addr")),
        proc(&box.start({TAVMASTER_BIN, "--port", "0", "--poll-ms", "1500", "--verbose", "--out", out,
                         "--ready-file", ready},
                        {}, false)) {
    for (int i = 0; i < 200 && addr.empty(); ++i) {
      const std::string a = read_file(ready);
      if (!a.empty() && a.back() == '\n') addr = a.substr(0, a.size() - 1);
      else std::this_thread::sleep_for(50ms);
    }
  }
  std::string out, ready, addr;
  Background* proc;
};

bool wait_line(Background& b, const std::string& line, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (b.out().find(line) == std::string::npos) {
    if (std::chrono::steady_clock::now() > until || !b.running()) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

// Waits for a background program to end by itself, then collects it.
RunResult ended(Background& b, std::chrono::seconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (b.running() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(50ms);
  return b.stop(SIGKILL);
}

class AdapterMaster : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
    box.add_setting("qel.mode", "FULL");
    box.add_setting("qel.putclass", "ON");
  }
  // Start events of one worker: the WebLogic build also reports the start
  // at each transaction code set while the sequence is still 0.
  size_t starts() const { return GetParam() == "weblogic" ? 4 : 1; }
  ProbeSandbox box{GetParam()};
};

// Records and packets of Java threads reach the master over the links Java
// opened; polls are answered; the master's going away is seen by putClass,
// and after new links everything flows again, to the new master.
TEST_P(AdapterMaster, LinksCarryRecordsAndPacketsAcrossAReconnect) {
  Master first(box, "first");
  ASSERT_FALSE(first.addr.empty()) << first.proc->err();
  box.write_file("master1", first.addr + "\n");
  Background& j = box.start(jvm::check_argv(box, "MasterCheck", "links", {box.dir()}));

  ASSERT_TRUE(wait_line(j, "phase1=sent\n", 60s)) << j.out() << j.err();
  EXPECT_NE(j.out().find("put1=[0, 0, 0, 0]\n"), std::string::npos) << j.out();
  const size_t per_thread = starts() + 1;
  const Received a = wait_for(first.out, [&](const Received& r) {
    return r.events.size() >= 4 * per_thread && r.tcode2.size() >= 4 && r.tcode4.size() >= 4 &&
           r.packets.size() >= 4;
  });
  // Per thread: start and end, a code of each batched kind, one packet.
  EXPECT_EQ(a.count(a.events, "SR"), 4 * starts());
  EXPECT_EQ(a.count(a.events, "ES"), 4u);
  EXPECT_EQ(a.events.size(), 4 * per_thread);
  for (int i = 0; i < 4; ++i) {
    const std::string n = "a" + std::to_string(i);
    EXPECT_EQ(a.count(a.tcode2, "T2-" + n), 1u) << n;
    EXPECT_EQ(a.count(a.tcode4, "T4-" + n), 1u) << n;
    EXPECT_EQ(a.count(a.packets, "packet-" + n), 1u) << n;
  }
  EXPECT_TRUE(a.other.empty()) << a.other.front();
  // The links answer the master's polls.
  for (int i = 0; i < 100 && occurrences(first.proc->err(), "poll answered") < 2; ++i)
    std::this_thread::sleep_for(100ms);
  EXPECT_GE(occurrences(first.proc->err(), "poll answered"), 2u) << first.proc->err();
  EXPECT_EQ(occurrences(first.proc->err(), "mismatch"), 0u) << first.proc->err();
  EXPECT_EQ(occurrences(first.proc->err(), "not answered"), 0u) << first.proc->err();

  // The first master goes away; Java learns it from putClass and moves on.
  EXPECT_TRUE(first.proc->stop(SIGTERM).ok());
  Master second(box, "second");
  ASSERT_FALSE(second.addr.empty()) << second.proc->err();
  box.write_file("master2", second.addr + "\n");
  ASSERT_TRUE(wait_line(j, "phase2=sent\n", 60s)) << j.out() << j.err();
  EXPECT_NE(j.out().find("lost=-1\n"), std::string::npos) << j.out();
  EXPECT_NE(j.out().find("put2=[0, 0]\n"), std::string::npos) << j.out();
  const Received b = wait_for(second.out, [&](const Received& r) {
    return r.events.size() >= 2 * per_thread && r.tcode2.size() >= 2 && r.tcode4.size() >= 2 &&
           r.packets.size() >= 3;
  });
  EXPECT_EQ(b.events.size(), 2 * per_thread);
  EXPECT_EQ(b.count(b.tcode2, "T2-b0") + b.count(b.tcode2, "T2-b1"), 2u);
  EXPECT_EQ(b.count(b.packets, "packet-b0") + b.count(b.packets, "packet-b1"), 2u);
  // The packet that putClass answered with -1 waited for the new link.
  EXPECT_EQ(b.count(b.packets, "while-lost"), 1u);
  box.write_file("finish", "1\n");
  const RunResult r = ended(j, 60s);
  jvm::expect_clean(r);

  const std::string log = qel::test::probe_logs(box.log_dir());
  EXPECT_NE(log.find("gsend adt start !"), std::string::npos) << log;
  // Transaction codes with a URL have no batch on the link: dropped, said.
  EXPECT_EQ(occurrences(log, "gsend adt record(T:296) dropped"), 6u) << log;
  EXPECT_EQ(occurrences(log, "connectMASTER. type(1)"), 2u) << log;
  EXPECT_EQ(occurrences(log, "closeMASTER. type(2)"), 1u) << log;
  EXPECT_TRUE(second.proc->stop(SIGTERM).ok());
}

// Queue mode: the natives' messages go onto the queues and relayd carries
// them to the master.
TEST_P(AdapterMaster, QueueModeGoesThroughTheRelay) {
  Master master(box, "master");
  ASSERT_FALSE(master.addr.empty()) << master.proc->err();
  char gkey[16], tkey[16];
  snprintf(gkey, sizeof gkey, "0x%x", static_cast<unsigned>(box.key(2)));
  snprintf(tkey, sizeof tkey, "0x%x", static_cast<unsigned>(box.key(3)));
  const std::string port = master.addr.substr(master.addr.find(':') + 1);
  const std::string conf = box.write_file("relay.conf",
      "TAV_LOG_FLAG_RLY = ON\nTAV_LOG_PATH = " + box.log_dir() + "\nTAV_LOG_FILE_RLY = relay\n"
      "TAV_RLY_AGENT_NAME = test_\nTAV_RLY_AGENT_ALIAS = adapter\nTAV_NODE_DOMAIN_NAME = test\n"
      "TAV_NODE_PRODUCT_CODE = 01\nTAV_RLY_GTUID_QUEUE_NAME = " + std::string(gkey) + "\n"
      "TAV_RLY_GTUID_QUEUE_COUNT = 1\nTAV_RLY_TCODE_QUEUE_COUNT = 1\nTAV_RLY_TCODE_THREAD_COUNT = 1\n"
      "TAV_RLY_TCODE_QUEUE_NAME = " + std::string(tkey) + "\n"
      "TAV_MST_1ST_MASTER_IPADDR = 127.0.0.1\nTAV_MST_2ND_MASTER_IPADDR = 127.0.0.1\n"
      "TAV_MST_1ST_MASTER_PORT = " + port + "\n");
  Background& relay = box.start({RELAYD_BIN, conf}, {}, false);

  box.add_setting("qel.gtuid.send.type", "QUEUE");
  box.add_setting("qel.gtuid.queue.name", gkey);
  box.add_setting("qel.gtuid.queue.count", "1");
  box.add_setting("qel.tcode.queue.name", tkey);
  box.add_setting("qel.tcode.queue.count", "1");
  const RunResult r = box.run(jvm::check_argv(box, "MasterCheck", "queue"));
  jvm::expect_clean(r);
  // No link was opened: putClass asks Java to connect.
  jvm::expect_printed(r.out, {"put=[-1, -1, -1]"});

  const Received got = wait_for(master.out, [&](const Received& x) {
    return x.events.size() >= 3 * (starts() + 1) && x.tcode2.size() >= 3;
  });
  EXPECT_EQ(got.count(got.events, "SR"), 3 * starts());
  EXPECT_EQ(got.count(got.events, "ES"), 3u);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(got.count(got.tcode2, "T2-q" + std::to_string(i)), 1u)
        << i << qel::test::probe_logs(box.log_dir());
  // Nothing went to the adapter's links: there are none.
  EXPECT_TRUE(got.packets.empty());
  EXPECT_TRUE(relay.stop(SIGUSR1, 10s).ok());
  EXPECT_TRUE(master.proc->stop(SIGTERM).ok());
}

// putClass with "qel.putclass" ON, before and after initMID, with packets
// that misbehave: nothing leaks into Java, bad packets are dropped.
TEST_P(AdapterMaster, ImmediatePackets) {
  std::string log;
  const RunResult r = jvm::run_check(box, "MasterCheck", "immediate", log, {}, true);
  jvm::expect_clean(r);
  jvm::expect_printed(r.out, {"beforeInit=-1", "countBeforeInit=0", "afterInit=-1", "count=1",
                              "size=36", "countAfterBad=1", "getByteCalls=2", "capacity=40",
                              "wasMAKE=-1", "countAfterMake=2"});
  EXPECT_EQ(occurrences(log, "computeLength error !"), 3u) << log;
  EXPECT_EQ(occurrences(log, "wlist getByte error !"), 2u) << log;
  EXPECT_EQ(occurrences(log, "wlist add(0). len(36)"), 1u) << log;
}

// "qel.putclass" OFF: packets wait on their threads until wasMAKE.
TEST_P(AdapterMaster, DeferredPacketsWaitForWasMake) {
  box.add_setting("qel.putclass", "OFF");
  std::string log;
  const RunResult r = jvm::run_check(box, "MasterCheck", "deferred", log, {}, true);
  jvm::expect_clean(r);
  jvm::expect_printed(r.out, {"puts=[0, 0, 0, 0]", "countBeforeMake=0", "wasMAKE=-1",
                              "countAfterMake=4", "getByteCalls=4", "wasMAKEAgain=-1",
                              "countAfterAgain=4"});
}

TEST_P(AdapterMaster, ApiAndLinkNativesWithOddArguments) {
  std::string log;
  const RunResult r = jvm::run_check(box, "MasterCheck", "api", log, {}, true);
  jvm::expect_clean(r);
  jvm::expect_printed(r.out, {"get=0", "put=0", "end=0", "afterClose=-1", "afterConnect=0",
                              "afterTwoCloses=-1"});
  EXPECT_EQ(occurrences(log, "tavJNIGet (key : 7)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "tavJNIPut ((null) : 8)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "tavJNIEnd"), 1u) << log;
}

INSTANTIATE_TEST_SUITE_P(Builds, AdapterMaster, testing::Values("jeus", "weblogic"),
                         [](const testing::TestParamInfo<std::string>& p) { return p.param; });

}  // namespace
