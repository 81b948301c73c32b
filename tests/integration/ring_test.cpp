// Preloaded servers and the relay's rings: a probe that starts before the
// relay, a relay restarted or killed under a running server, a full ring, a
// writer killed between reserve and publish, and many writing processes.
// Each request on the entry port is one transaction: its start and its end
// are two records.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "master_run.h"
#include "probe_run.h"
#include "sockaddrs.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

class RingPath : public testing::Test {
 protected:
  RingPath() : box("jeus"), gkey(box.key(4)), tkey(box.key(5)), port(free_port()) {
    box.add_setting("qel.gtuid.send.type", "QUEUE");
    box.add_setting("qel.gtuid.queue.name", key_text(gkey));
    box.add_setting("qel.gtuid.queue.count", "1");
    box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(port) + ":START");
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.mode", "FULL");  // the start is reported as well
  }
  void start_server() {
    server = &box.start({RR_PEER_BIN, "serve", std::to_string(port)});
    ASSERT_EQ(server->wait_first_line(20s), "ready " + std::to_string(port)) << server->err();
  }
  void start_relay(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    master = std::make_unique<MasterAndRelay>(box, TAVMASTER_BIN, RELAYD_BIN, gkey, tkey, "01", extra);
    ASSERT_TRUE(master->ok()) << master->story();
  }
  // One request on a connection of its own: one transaction.
  void request(int n = 1) {
    for (int i = 0; i < n; ++i) {
      const RunResult r = box.run_plain({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(port), "1", "100"});
      ASSERT_TRUE(r.ok()) << r.describe();
    }
  }
  size_t at_master(size_t n, std::chrono::milliseconds limit = 10s) {
    return master->wait_records(n, limit).size();
  }
  std::string story() { return master->story() + "\nprobe log:\n" + probe_logs(box.log_dir()); }

  ProbeSandbox box;
  const key_t gkey, tkey;
  const int port;
  Background* server = nullptr;
  std::unique_ptr<MasterAndRelay> master;
};

// Before the relay there is neither queue nor ring: those records have
// nowhere to go. Once it runs (and the probe's once-a-second looks have come
// round), every record reaches the master, through the ring.
TEST_F(RingPath, ProbeStartedBeforeTheRelayMovesToTheRing) {
  start_server();
  request();
  std::this_thread::sleep_for(1100ms);
  start_relay();
  for (int i = 0; i < 10; ++i) {
    request();
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(at_master(20), 20u) << story();
  EXPECT_GE(ring_counts(gkey).taken, 2u) << "the requests came through the ring\n" << story();
  const std::string log = probe_logs(box.log_dir());
  EXPECT_NE(log.find("not used: no ring"), std::string::npos) << log;
  EXPECT_NE(log.find("attach. shmid("), std::string::npos) << log;
}

TEST_F(RingPath, RelayRestartedUnderARunningServer) {
  start_relay();
  start_server();
  request(5);
  ASSERT_EQ(at_master(10), 10u) << story();
  ASSERT_TRUE(master->stop_relay().ok());
  const auto t0 = std::chrono::steady_clock::now();
  request(5);  // the ring keeps them while no relay runs
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s) << "the server never waits for the relay";
  ASSERT_TRUE(master->restart_relay()) << story();
  request(5);
  EXPECT_EQ(at_master(30), 30u) << story();
  EXPECT_TRUE(server->running());
}

TEST_F(RingPath, RelayKilledUnderARunningServer) {
  start_relay();
  start_server();
  request(3);
  ASSERT_EQ(at_master(6), 6u) << story();
  master->relay()->stop(SIGKILL);
  request(3);
  ASSERT_TRUE(server->running());
  ASSERT_TRUE(master->restart_relay()) << story();
  request(3);
  EXPECT_EQ(at_master(18), 18u) << story();
}

// A stopped relay and a ring of 64 slots: the server answers every request
// at once, what does not fit is counted as dropped, and nothing else is lost.
TEST_F(RingPath, FullRingDropsCountedAndTheServerUnaffected) {
  start_relay({{"TAV_RLY_RING_GTUID_SLOTS", "64"}});
  start_server();
  request();
  ASSERT_EQ(at_master(2), 2u) << story();
  kill(master->relay()->pid(), SIGSTOP);
  request(50);
  const RingCounts full = ring_counts(gkey);
  kill(master->relay()->pid(), SIGCONT);
  EXPECT_EQ(full.capacity, 64u);
  EXPECT_EQ(full.dropped, 100u - 64u) << story();
  const size_t got = at_master(2 + 64, 10s);
  EXPECT_EQ(got, 2u + 64u) << story();
}

TEST_F(RingPath, WriterKilledBetweenReserveAndPublishIsSkipped) {
  start_relay();
  start_server();
  request();
  ASSERT_EQ(at_master(2), 2u) << story();
  const RunResult stall = box.run_plain({RING_STALL_BIN, key_text(gkey)});
  ASSERT_EQ(stall.term_signal, SIGKILL) << stall.describe();
  request(3);
  EXPECT_EQ(at_master(8), 8u) << story();
  EXPECT_EQ(ring_counts(gkey).skipped, 1u);
}

// 8 processes of 4 threads each, as fast as they can: every record not
// counted as dropped arrives once, and each thread's in its order. (The
// ring here holds them all, so that none needs to be dropped however slowly
// the master writes; a full ring under many writers is a unit test.)
TEST_F(RingPath, ManyWritersEachInOrder) {
  constexpr int kProcesses = 8, kThreads = 4, kTransactions = 1500;
  start_relay({{"TAV_RLY_RING_GTUID_SLOTS", "131072"}});
  std::vector<Background*> writers;
  for (int p = 0; p < kProcesses; ++p)
    writers.push_back(&box.start({ALONE_BURST_BIN, std::to_string(kThreads), std::to_string(kTransactions)}));
  for (Background* w : writers) {
    const RunResult r = w->wait(60s);
    ASSERT_TRUE(r.ok()) << r.describe();
  }
  const size_t produced = size_t{kProcesses} * kThreads * kTransactions * 2;
  const RingCounts ring = ring_counts(gkey);
  const std::vector<MasterRecord> got = master->wait_records(produced - ring.dropped, 60s);
  EXPECT_EQ(got.size() + ring.dropped, produced) << "dropped " << ring.dropped;
  EXPECT_EQ(ring.dropped, 0u);
  EXPECT_EQ(ring.skipped, 0u);
  // Per thread (pid and thread digits), identifiers and sequence numbers only
  // go up, and no record comes twice.
  std::map<std::string, std::pair<std::string, std::string>> last;
  size_t backwards = 0;
  for (const MasterRecord& r : got) {
    const std::string thread = r.pid + "/" + r.tid;
    auto [it, fresh] = last.try_emplace(thread, r.gtuid, r.seq);
    if (!fresh) {
      if (std::make_pair(r.gtuid, r.seq) <= it->second) ++backwards;
      it->second = {r.gtuid, r.seq};
    }
  }
  EXPECT_EQ(backwards, 0u);
  EXPECT_EQ(last.size(), size_t{kProcesses} * kThreads) << "dropped " << ring.dropped << " of " << produced;
}

}  // namespace
}  // namespace qel::test
