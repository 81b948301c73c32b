#include "soak_stack.h"

#include <csignal>
#include <sstream>
#include <thread>

#include "sockaddrs.h"

namespace qel::test {

using namespace std::chrono_literals;

unsigned long long ring_owed(const RingCounts& c) { return c.head - c.skipped - c.rejected; }

SoakStack::SoakStack(const std::string& build) : box_(build) {
  master_port_ = free_port();
  front_port_ = free_port();
  back_port_ = free_port();
  const std::pair<const char*, std::string> settings[] = {
      {"TAV_LOG_FLAG_RLY", "ON"},
      {"TAV_LOG_PATH", box_.log_dir()},
      {"TAV_LOG_FILE_RLY", "relay"},
      {"TAV_RLY_AGENT_NAME", "soak_"},
      {"TAV_RLY_AGENT_ALIAS", "soak"},
      {"TAV_NODE_DOMAIN_NAME", "test"},
      {"TAV_NODE_PRODUCT_CODE", "01"},
      {"TAV_RLY_GTUID_QUEUE_NAME", key_text(box_.key(4))},
      {"TAV_RLY_GTUID_QUEUE_COUNT", "1"},
      {"TAV_RLY_TCODE_QUEUE_NAME", key_text(box_.key(5))},
      {"TAV_RLY_TCODE_QUEUE_COUNT", "1"},
      {"TAV_RLY_RING_GTUID_SLOTS", std::to_string(kRingSlots)},
      {"TAV_MST_1ST_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_2ND_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_1ST_MASTER_PORT", std::to_string(master_port_)},
  };
  std::string conf;
  for (const auto& [k, v] : settings) conf += std::string(k) + " = " + v + "\n";
  relay_conf_ = box_.write_file("relay.conf", conf);

  box_.add_setting("qel.mode", "FULL");
  box_.add_setting("qel.gtuid.send.type", "QUEUE");
  box_.add_setting("qel.gtuid.queue.name", key_text(box_.key(4)));
  box_.add_setting("qel.gtuid.queue.count", "1");
  box_.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(front_port_) + ":START");
  box_.add_setting("qel.check.mode", "ON");
  box_.add_setting("qel.check.udp.port", "9");  // both servers are local: no datagram
}

bool SoakStack::start_master(std::string* why) {
  std::lock_guard<std::mutex> g(mu_);
  const int run = ++master_runs_;
  const std::string out = box_.path("master." + std::to_string(run) + ".jsonl");
  const std::string ready = box_.path("master." + std::to_string(run) + ".addr");
  // The port of a master just killed may take a moment to be free again.
  for (int attempt = 0; attempt < 50; ++attempt) {
    Background& m = box_.start({TAVMASTER_BIN, "--port", std::to_string(master_port_), "--bind", "127.0.0.1",
                                "--ready-file", ready, "--out", out},
                               {}, false);
    for (auto until = std::chrono::steady_clock::now() + 5s;
         read_file(ready).find('\n') == std::string::npos && m.running() && std::chrono::steady_clock::now() < until;)
      std::this_thread::sleep_for(10ms);
    if (read_file(ready).find('\n') != std::string::npos) {
      master_ = &m;
      outs_.push_back(out);
      pids_.push_back(m.pid());
      return true;
    }
    m.stop(SIGKILL);
    std::this_thread::sleep_for(100ms);
  }
  *why = "the master did not listen on port " + std::to_string(master_port_);
  return false;
}

void SoakStack::kill_master() {
  std::lock_guard<std::mutex> g(mu_);
  if (master_) master_->stop(SIGKILL);
  master_ = nullptr;
}

bool SoakStack::start_relay(std::string* why) {
  std::lock_guard<std::mutex> g(mu_);
  const size_t before = master_ ? occurrences(master_->err(), "accepted") : 0;
  relay_ = &box_.start({RELAYD_BIN, relay_conf_}, {}, false);
  pids_.push_back(relay_->pid());
  if (!master_) return relay_->running();
  for (int i = 0; i < 200 && occurrences(master_->err(), "accepted") == before; ++i)
    std::this_thread::sleep_for(25ms);
  if (occurrences(master_->err(), "accepted") > before) return true;
  *why = "the master did not accept the relay: " + story();
  return false;
}

bool SoakStack::wait_accepted(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> g(mu_);
  if (!master_) return false;
  for (auto until = std::chrono::steady_clock::now() + limit;
       master_->err().find("accepted") == std::string::npos; std::this_thread::sleep_for(25ms))
    if (std::chrono::steady_clock::now() >= until) return false;
  return true;
}

void SoakStack::kill_relay() {
  std::lock_guard<std::mutex> g(mu_);
  if (relay_) relay_->stop(SIGKILL);
  relay_ = nullptr;
}

RunResult SoakStack::stop_relay() {
  std::lock_guard<std::mutex> g(mu_);
  RunResult r = relay_ ? relay_->stop(SIGUSR1, 10s) : RunResult{};
  relay_ = nullptr;
  return r;
}

RunResult SoakStack::stop_master() {
  std::lock_guard<std::mutex> g(mu_);
  RunResult r = master_ ? master_->stop(SIGTERM) : RunResult{};
  master_ = nullptr;
  return r;
}

bool SoakStack::start_servers(std::string* why) {
  std::lock_guard<std::mutex> g(mu_);
  back_ = &box_.start({RR_PEER_BIN, "serve", std::to_string(back_port_)});
  if (back_->wait_first_line(20s) != "ready " + std::to_string(back_port_)) {
    *why = "back: " + back_->err();
    return false;
  }
  front_ = &box_.start({RR_PEER_BIN, "serve", std::to_string(front_port_), "--forward",
                        "127.0.0.1:" + std::to_string(back_port_)});
  if (front_->wait_first_line(20s) != "ready " + std::to_string(front_port_)) {
    *why = "front: " + front_->err();
    return false;
  }
  pids_.push_back(back_->pid());
  pids_.push_back(front_->pid());
  return true;
}

std::set<RecordKey> SoakStack::delivered(size_t* lines) const {
  std::set<RecordKey> keys;
  size_t n = 0;
  for (const auto& out : outs_) {
    std::istringstream in(read_file(out));
    for (std::string l; std::getline(in, l);) {
      if (l.empty()) continue;
      ++n;
      keys.emplace(json_text(l, "pid"), json_text(l, "tid"), json_text(l, "gtuid"), json_text(l, "seq"),
                   json_text(l, "event"), json_text(l, "direction"));
    }
  }
  if (lines) *lines = n;
  return keys;
}

bool SoakStack::wait_caught_up(std::chrono::milliseconds limit) const {
  for (auto until = std::chrono::steady_clock::now() + limit;;) {
    const RingCounts c = ring_counts(gtuid_key());
    if (c.found && delivered().size() >= ring_owed(c)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(50ms);
  }
}

std::string SoakStack::story() const {
  std::string s = "[" + box_.build() + "]";
  if (master_) s += "\nmaster: " + master_->err();
  if (relay_) s += "\nrelay: " + relay_->err() + relay_->out();
  if (front_) s += "\nfront: " + front_->err();
  if (back_) s += "\nback: " + back_->err();
  std::string log = relay_logs(box_.log_dir());
  if (log.size() > 6000) log = "..." + log.substr(log.size() - 6000);
  return s + "\nrelay log (end):\n" + log;
}

}  // namespace qel::test
