// Transactions through processes named like those of a TP-monitor domain,
// each with the Tmax build preloaded: a client handler ("clh01") that takes
// requests on its entry port and forwards them, a gateway ("tmgw01") that
// passes them on, and an application server ("appsvr") that answers. The
// client is not monitored. The records the processes put on the gtuid queue
// (read by the test, or by relayd for the development master) must tell
// each request's way hop by hop under one identifier.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_mzp.h"
#include "probe_run.h"
#include "queue_drain.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// --- records ----------------------------------------------------------------------

// One record as the checks see it, from the queue or from the master's output.
struct Event {
  long pid = 0;
  std::string gtuid, seq;
  char start = 0, send = 0;
};

std::string fixed_text(const char* f, size_t cap) { return std::string(f, strnlen(f, cap)); }

Event event_of(const Record& r) {
  return {r.type, fixed_text(r.z.gtuid, sizeof r.z.gtuid), fixed_text(r.z.seq, sizeof r.z.seq), r.z.start[0],
          r.z.send[0]};
}

// The name of an event from its start and send letters.
std::string event_name(char start, char send) {
  const std::string k{start, send};
  if (k == "SR") return "RS";
  if (k == "CS") return "SC";
  if (k == "CR") return "RC";
  if (k == "ES") return "SE";
  return "?" + k;
}

// "00003 appsvr SC": sequence, process and event of each record of one
// transaction, in the order of their sequence numbers.
std::vector<std::string> steps_of(std::vector<Event> events, const std::map<long, std::string>& names) {
  std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) { return a.seq < b.seq; });
  std::vector<std::string> out;
  for (const Event& e : events) {
    const auto it = names.find(e.pid);
    out.push_back(e.seq + " " + (it == names.end() ? "pid " + std::to_string(e.pid) : it->second) + " " +
                  event_name(e.start, e.send));
  }
  return out;
}

// What one transaction must leave: the hops, numbered from 00000.
std::vector<std::string> numbered(const std::vector<std::string>& hops) {
  std::vector<std::string> out;
  for (size_t i = 0; i < hops.size(); ++i) {
    char seq[24];
    snprintf(seq, sizeof seq, "%05zu", i);
    out.push_back(seq + (" " + hops[i]));
  }
  return out;
}

// The records grouped by identifier, in the order identifiers first appear.
std::vector<std::vector<Event>> by_transaction(const std::vector<Event>& events) {
  std::vector<std::string> order;
  std::map<std::string, std::vector<Event>> groups;
  for (const Event& e : events) {
    if (!groups.count(e.gtuid)) order.push_back(e.gtuid);
    groups[e.gtuid].push_back(e);
  }
  std::vector<std::vector<Event>> out;
  for (const std::string& id : order) out.push_back(groups[id]);
  return out;
}

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

// Each transaction has a well-formed identifier of its own and exactly the
// hops expected; `transactions` of them.
void expect_transactions(const std::vector<Event>& events, size_t transactions,
                         const std::vector<std::string>& hops, const std::map<long, std::string>& names,
                         const std::string& logs) {
  const std::vector<std::vector<Event>> groups = by_transaction(events);
  EXPECT_EQ(groups.size(), transactions) << events.size() << " records\n" << log_excerpt(logs);
  for (size_t t = 0; t < groups.size(); ++t) {
    const std::string& id = groups[t][0].gtuid;
    SCOPED_TRACE("transaction " + std::to_string(t) + " " + id);
    EXPECT_EQ(id.size(), 22u);
    EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(steps_of(groups[t], names), numbered(hops)) << log_excerpt(logs);
  }
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
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
    box.add_setting("qel.mode", "FULL");
    box.add_setting("qel.gtuid.queue.count", "1");
    box.add_setting("qel.check.mode", "ON");
    box.add_setting("qel.check.udp.port", std::to_string(relay.port));
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
  std::map<long, std::string> names;  // pid -> process name

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
  std::vector<Event> collect(size_t n) {
    drain.wait_for(n, 5s);
    std::this_thread::sleep_for(200ms);
    std::vector<Event> out;
    for (const Record& r : drain.finish()) {
      EXPECT_EQ(r.size, sizeof(mzp1_t) - sizeof(long)) << "not a type-1 record";
      out.push_back(event_of(r));
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
  const std::vector<Event> events = reader.collect(2 * kDirectHops.size());
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

std::string hex(key_t k) {
  char b[16];
  snprintf(b, sizeof b, "0x%x", static_cast<unsigned>(k));
  return b;
}

// The text of `"key":"..."` in a JSON line, empty when absent.
std::string json_text(const std::string& line, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = line.find(open);
  if (at == std::string::npos) return {};
  const size_t from = at + open.size();
  return line.substr(from, line.find('"', from) - from);
}

std::vector<Event> master_events(const std::string& path) {
  std::vector<Event> out;
  std::ifstream in(path);
  for (std::string l; std::getline(in, l);) {
    const std::string start = json_text(l, "event"), send = json_text(l, "direction");
    out.push_back({std::atol(json_text(l, "pid").c_str()), json_text(l, "gtuid"), json_text(l, "seq"),
                   start.empty() ? '\0' : start[0], send.empty() ? '\0' : send[0]});
  }
  return out;
}

// relayd reads the gtuid queue and sends the records to the master, which
// writes one JSON line for each.
TEST(TmaxToMaster, SixRecordsOfOneTransactionReachTheMaster) {
  Domain d;
  const std::string out = d.box.path("master.jsonl"), ready = d.box.path("master.addr");
  Background& master =
      d.box.start({TAVMASTER_BIN, "--port", "0", "--ready-file", ready, "--out", out}, {}, false);
  std::string addr;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       addr.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(20ms))
    addr = read_file(ready);
  ASSERT_NE(addr.find(':'), std::string::npos) << master.err();
  const std::string port = addr.substr(addr.rfind(':') + 1, addr.find('\n') - addr.rfind(':') - 1);

  const std::pair<const char*, std::string> relay_settings[] = {
      {"TAV_LOG_FLAG_RLY", "ON"},
      {"TAV_LOG_PATH", d.box.log_dir()},
      {"TAV_LOG_FILE_RLY", "relay"},
      {"TAV_RLY_AGENT_NAME", "tmax_"},
      {"TAV_RLY_AGENT_ALIAS", "domain"},
      {"TAV_NODE_DOMAIN_NAME", "tmax"},
      {"TAV_NODE_PRODUCT_CODE", "03"},
      {"TAV_RLY_GTUID_QUEUE_NAME", hex(d.box.key(1))},
      {"TAV_RLY_GTUID_QUEUE_COUNT", "1"},
      {"TAV_RLY_TCODE_QUEUE_NAME", hex(d.box.key(3))},
      {"TAV_RLY_TCODE_QUEUE_COUNT", "1"},
      {"TAV_MST_1ST_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_2ND_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_1ST_MASTER_PORT", port},
  };
  std::string conf;
  for (const auto& [k, v] : relay_settings) conf += std::string(k) + " = " + v + "\n";
  Background& relayd = d.box.start({RELAYD_BIN, d.box.write_file("relay.conf", conf)}, {}, false);
  for (int i = 0; i < 200 && master.err().find("accepted") == std::string::npos; ++i)
    std::this_thread::sleep_for(50ms);
  ASSERT_NE(master.err().find("accepted"), std::string::npos) << master.err() << relayd.err();

  ASSERT_TRUE(start_direct(d, {Link::kUnix, "4le", false}));
  d.client(1, "4le");
  std::vector<Event> events;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       events.size() < kDirectHops.size() && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(50ms))
    events = master_events(out);
  std::this_thread::sleep_for(200ms);
  EXPECT_TRUE(relayd.stop(SIGUSR1, 10s).ok()) << relayd.err();
  EXPECT_TRUE(master.stop(SIGTERM).ok()) << master.err();
  events = master_events(out);
  // The master writes the pid as eight digits.
  std::map<long, std::string> names;
  for (const auto& [pid, name] : d.names) names[pid % 100000000] = name;
  expect_transactions(events, 1, kDirectHops, names, d.logs());
}

}  // namespace
}  // namespace qel::test
