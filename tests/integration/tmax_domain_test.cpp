// Transactions through processes named like those of a TP-monitor domain,
// each with the Tmax build preloaded: a client handler ("clh01") that takes
// requests on its entry port and forwards them, a gateway ("tmgw01") that
// passes them on, and an application server ("appsvr") that answers. The
// client is not monitored. The records the processes put on the gtuid queue
// (read by the test, or by relayd for the development master) must tell
// each request's way hop by hop under one identifier.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_mzp.h"
#include "hops.h"
#include "master_run.h"
#include "probe_run.h"
#include "queue_drain.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// Lines of the probe's logs that show how messages were followed.
std::string log_excerpt(const std::string& logs) {
  static const char* const kWords[] = {"msg 0.", "msg 1.", "bcnt(", "clear.", "except.", "service set",
                                       "hform(", "handoff", "connect read", ") mzp1("};
  std::istringstream in(logs);
  std::string out;
  for (std::string line; std::getline(in, line);)
    for (const char* w : kWords)
      if (line.find(w) != std::string::npos) {
        out += line + "\n";
        break;
      }
  return out;
}

// `transactions` transactions, each with the hops expected.
void expect_transactions(const std::vector<Hop>& records, size_t transactions,
                         const std::vector<std::string>& hops, const Names& names, const std::string& logs) {
  qel::test::expect_transactions(records, transactions, numbered(hops), names, [&] { return log_excerpt(logs); });
}

// --- the domain ---------------------------------------------------------------------

enum class Link { kUnix, kTcp };

const char* link_name(Link l) { return l == Link::kUnix ? "unix" : "tcp"; }

// A sandbox for the Tmax build in FULL mode with trace logging; programs
// start under the names of the domain's processes. Monitored processes on
// this host find each other's TCP listeners in the check home; a local
// socket is a service socket through an entry for its path.
class Domain {
 public:
  Domain() {
    server_test_settings(box, relay.port);
    entry("127.0.0.1:" + std::to_string(clh_port) + ":START");
  }

  // An address for a listener of `name` over `link`.
  std::string address(Link link, const std::string& name) {
    if (link == Link::kTcp) return "tcp:" + std::to_string(free_port());
    const std::string path = box.path(name + ".sock");
    entry(path + ":0:SERVICE");
    return "unix:" + path;
  }
  std::string entry_address() const { return "tcp:" + std::to_string(clh_port); }

  // Starts tmax_peer as `name` with the probe; it listens on args[1].
  // Null (and a failure) when it does not say it is ready.
  Background* start(const std::string& name, const std::vector<std::string>& args) {
    const std::string program = box.path(name);
    std::filesystem::create_symlink(TMAX_PEER_BIN, program);
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    Background& b = box.start(argv);
    const std::string line = b.wait_first_line(20s);
    if (line != "ready " + args.at(1)) {
      ADD_FAILURE() << name << " did not start (" << line << "): " << b.err();
      return nullptr;
    }
    names[b.pid()] = name;
    return &b;
  }

  // An unmonitored client on the entry port; its answers must all be exact.
  void client(int count, const std::string& form, const std::string& service = "SVC1") {
    const RunResult r = box.run_plain(
        {TMAX_PEER_BIN, "client", entry_address(), std::to_string(count), form, "--service", service},
        {.timeout = 20s});
    EXPECT_TRUE(r.ok()) << r.describe() << "\n" << log_excerpt(probe_logs(box.log_dir()));
    EXPECT_EQ(r.out, "ok " + std::to_string(count) + "\n");
  }

  std::string logs() const { return probe_logs(box.log_dir()); }

  ProbeSandbox box{"tmax"};
  Bound relay{SOCK_DGRAM};  // the check port: nobody answers, all peers are local
  const int clh_port = free_port();
  Names names;

 private:
  void entry(const std::string& e) {
    entries_ += (entries_.empty() ? "" : ",") + e;
    box.add_setting("qel.ip.information", entries_);
  }
  std::string entries_;
};

// Reads the records on the sandbox's gtuid queue while the domain runs.
struct QueueReader {
  explicit QueueReader(const ProbeSandbox& box) : queue(box.key(1)), drain(queue.id()) {}
  // Waits for `n` records and a little longer for any beyond them.
  std::vector<Hop> collect(size_t n) {
    drain.wait_for(n, 5s);
    std::this_thread::sleep_for(200ms);
    std::vector<Hop> out;
    for (const Record& r : drain.finish()) {
      EXPECT_EQ(r.size, sizeof(mzp1_t) - sizeof(long)) << "not a type-1 record";
      out.push_back(hop_of(r));
    }
    return out;
  }
  OwnQueue queue;
  Drain drain;
};

const std::vector<std::string> kDirectHops = {"clh01 RS",  "clh01 SC", "appsvr RC",
                                              "appsvr SC", "clh01 RC", "clh01 SE"};

// --- client handler and application server -------------------------------------------

struct DirectCase {
  Link link;         // between client handler and server
  const char* form;  // header form of the client's messages
  bool greedy;       // how the client handler reads
};

std::string direct_name(const testing::TestParamInfo<DirectCase>& info) {
  const DirectCase& c = info.param;
  return std::string(link_name(c.link)) + "_" + c.form + (c.greedy ? "_greedy" : "_header");
}

void PrintTo(const DirectCase& c, std::ostream* os) {
  *os << link_name(c.link) << " " << c.form << (c.greedy ? " greedy" : " header");
}

// Every link with every header form, each reading style on both links.
const DirectCase kDirect[] = {
    {Link::kUnix, "4be", false}, {Link::kUnix, "4le", true}, {Link::kUnix, "3", false},
    {Link::kTcp, "4be", true},   {Link::kTcp, "4le", false}, {Link::kTcp, "3", true},
};

// Starts the server and the client handler in front of it.
bool start_direct(Domain& d, const DirectCase& c) {
  const std::string svr = d.address(c.link, "appsvr");
  std::vector<std::string> clh{"forward", d.entry_address(), svr};
  if (c.greedy) clh.push_back("--greedy");
  return d.start("appsvr", {"server", svr}) && d.start("clh01", clh);
}

class TmaxDirect : public testing::TestWithParam<DirectCase> {};

// Two requests on one connection: each is a transaction of its own that the
// client handler starts on reading it, hands to the server with its call,
// takes back with the answer and ends with its reply to the client.
TEST_P(TmaxDirect, EachRequestIsOneTransactionThroughBothProcesses) {
  Domain d;
  QueueReader reader(d.box);
  ASSERT_GE(reader.queue.id(), 0) << strerror(errno);
  ASSERT_TRUE(start_direct(d, GetParam()));
  d.client(2, GetParam().form);
  const std::vector<Hop> events = reader.collect(2 * kDirectHops.size());
  expect_transactions(events, 2, kDirectHops, d.names, d.logs());
}

INSTANTIATE_TEST_SUITE_P(Links, TmaxDirect, testing::ValuesIn(kDirect), direct_name);

// The application server logs the transaction-code sensor path once, at its
// first recv; the client handler, which is no application server, never.
TEST(TmaxServerStart, SensorPathIsLoggedOnceAtTheFirstReceive) {
  Domain d;
  const std::string sensor = d.box.path("trcodes");
  d.box.add_setting("QEL_TRCODE_SENSOR_PATH", sensor);
  QueueReader reader(d.box);
  const std::string svr = d.address(Link::kUnix, "appsvr");
  ASSERT_TRUE(d.start("appsvr", {"server", svr, "--recv"}));
  ASSERT_TRUE(d.start("clh01", {"forward", d.entry_address(), svr}));
  const std::string before = d.logs();
  d.client(3, "4be");
  const std::string logs = d.logs();
  const std::string line = "trcode load. (" + sensor + ")\n";
  EXPECT_EQ(before.find(line), std::string::npos) << "logged before the first receive";
  size_t count = 0;
  for (size_t at = logs.find(line); at != std::string::npos; at = logs.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 1u) << log_excerpt(logs);
}

// --- through a gateway ----------------------------------------------------------------

class TmaxGateway : public testing::TestWithParam<Link> {};

// Client handler to gateway over TCP, gateway to server over `link`: the
// gateway takes the transaction over on each way through it.
TEST_P(TmaxGateway, TransactionCrossesTheGatewayBothWays) {
  Domain d;
  QueueReader reader(d.box);
  ASSERT_GE(reader.queue.id(), 0) << strerror(errno);
  const std::string svr = d.address(GetParam(), "appsvr");
  const std::string gw = d.address(Link::kTcp, "tmgw01");
  ASSERT_TRUE(d.start("appsvr", {"server", svr}));
  ASSERT_TRUE(d.start("tmgw01", {"forward", gw, svr}));
  ASSERT_TRUE(d.start("clh01", {"forward", d.entry_address(), gw}));
  d.client(1, "4be");
  const std::vector<std::string> hops = {"clh01 RS",  "clh01 SC",  "tmgw01 RC", "tmgw01 SC", "appsvr RC",
                                         "appsvr SC", "tmgw01 RC", "tmgw01 SC", "clh01 RC",  "clh01 SE"};
  expect_transactions(reader.collect(hops.size()), 1, hops, d.names, d.logs());
}

INSTANTIATE_TEST_SUITE_P(Links, TmaxGateway, testing::Values(Link::kTcp, Link::kUnix),
                         [](const testing::TestParamInfo<Link>& info) { return link_name(info.param); });

// --- excluded services ------------------------------------------------------------------

// Services whose names begin with an excluded prefix start no transaction;
// the prefix must open the name. One client after the other, so that each
// one's records can be told apart.
TEST(TmaxExcluded, ServicesWithAnExcludedPrefixAreNotTraced) {
  Domain d;
  d.box.add_setting("QEL_GTUID_EXCEPT", "TOL,ADM");
  QueueReader reader(d.box);
  ASSERT_GE(reader.queue.id(), 0) << strerror(errno);
  ASSERT_TRUE(start_direct(d, {Link::kTcp, "4be", false}));
  struct Case {
    const char* service;
    bool traced;
  };
  const Case cases[] = {
      {"TOLQUERY", false}, {"SVC1", true}, {"ADMIN", false}, {"XTOL", true}, {"TOL", false},
  };
  size_t expected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.service);
    d.client(1, "4be", c.service);
    if (c.traced) expected += kDirectHops.size();
    reader.drain.wait_for(expected, 5s);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(reader.drain.occurrences(), expected) << log_excerpt(d.logs());
  }
  expect_transactions(reader.collect(expected), 2, kDirectHops, d.names, d.logs());
}

// --- through relayd to the master --------------------------------------------------------

// relayd reads the gtuid queue and sends the records to the master, which
// writes one JSON line for each.
TEST(TmaxToMaster, SixRecordsOfOneTransactionReachTheMaster) {
  Domain d;
  MasterAndRelay master(d.box, TAVMASTER_BIN, RELAYD_BIN, d.box.key(1), d.box.key(3), "03");
  ASSERT_TRUE(master.ok()) << master.story();

  ASSERT_TRUE(start_direct(d, {Link::kUnix, "4le", false}));
  d.client(1, "4le");
  master.wait_records(kDirectHops.size());
  EXPECT_TRUE(master.stop_relay().ok()) << master.story();
  EXPECT_TRUE(master.stop_master().ok()) << master.story();
  expect_transactions(hops_of(master.records()), 1, kDirectHops, master_names(d.names), d.logs());
}

}  // namespace
}  // namespace qel::test
