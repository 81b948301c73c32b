#include "master_run.h"

#include "base/tav_ring.h"
#include "sockaddrs.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

namespace qel::test {

using namespace std::chrono_literals;

std::string key_text(key_t k) {
  char b[16];
  snprintf(b, sizeof b, "0x%08x", static_cast<unsigned>(k));
  return b;
}

std::string json_text(const std::string& line, const std::string& key) {
  const std::string open = "\"" + key + "\":\"";
  const size_t at = line.find(open);
  if (at == std::string::npos) return {};
  const size_t from = at + open.size();
  return line.substr(from, line.find('"', from) - from);
}

std::string relay_logs(const std::string& dir) {
  std::string text;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("relay.", 0) == 0) text += read_file(e.path());
  return text;
}

std::string agent_relay_settings(const ProbeSandbox& box, int udp) {
  return "TAV_LOG_FLAG_RLY = ON\nTAV_LOG_DEPTH = ERROR\nTAV_LOG_PATH = " + box.log_dir() +
         "\nTAV_LOG_FILE_RLY = relay\nQEL_CHECK_UDP_PORT = " + std::to_string(udp) +
         "\nQEL_CHECK_HOME = " + box.check_home() +
         "\nTAV_RLY_AGENT_NAME = test_\nTAV_RLY_AGENT_ALIAS = agent\nTAV_NODE_DOMAIN_NAME = test\n"
         "TAV_NODE_PRODUCT_CODE = 01\nTAV_RLY_GTUID_QUEUE_NAME = " + key_text(box.key(2)) +
         "\nTAV_RLY_TCODE_QUEUE_COUNT = 0\nTAV_RLY_TCODE_QUEUE_NAME = " + key_text(box.key(3)) +
         "\nTAV_MST_1ST_MASTER_IPADDR = 127.0.0.1\nTAV_MST_2ND_MASTER_IPADDR = 127.0.0.1\n"
         "TAV_MST_1ST_MASTER_PORT = " + std::to_string(free_port()) + "\n";
}

RingCounts ring_counts(key_t key) {
  RingCounts c;
  tav::ring::View v;
  if (tav::ring::open_existing(key, false, &v) != tav::ring::OpenResult::kOpened) return c;
  const tav::ring::Header& h = *v.h;
  c = {true, tav::ring::live(v), v.capacity(), h.head, h.taken, h.dropped, h.skipped, h.rejected};
  tav::ring::unmap(&v);
  return c;
}

MasterAndRelay::MasterAndRelay(ProbeSandbox& box, const std::string& master_program,
                               const std::string& relay_program, key_t gtuid_key, key_t tcode_key,
                               const std::string& product,
                               const std::vector<std::pair<std::string, std::string>>& extra)
    : box_(box), relay_program_(relay_program), out_(box.path("master.jsonl")) {
  const std::string ready = box.path("master.addr");
  master_ = &box.start({master_program, "--port", "0", "--ready-file", ready, "--out", out_}, {}, false);
  // The ready file holds "address:port" and a line end once the master listens.
  std::string addr;
  for (auto until = std::chrono::steady_clock::now() + 10s;
       addr.find('\n') == std::string::npos && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(20ms))
    addr = read_file(ready);
  const size_t colon = addr.rfind(':'), end = addr.find('\n');
  if (colon == std::string::npos || end == std::string::npos || end < colon) return;
  const std::string port = addr.substr(colon + 1, end - colon - 1);

  const std::pair<const char*, std::string> settings[] = {
      {"TAV_LOG_FLAG_RLY", "ON"},
      {"TAV_LOG_PATH", box.log_dir()},
      {"TAV_LOG_FILE_RLY", "relay"},
      {"TAV_RLY_AGENT_NAME", "test_"},
      {"TAV_RLY_AGENT_ALIAS", "sandbox"},
      {"TAV_NODE_DOMAIN_NAME", "test"},
      {"TAV_NODE_PRODUCT_CODE", product},
      {"TAV_RLY_GTUID_QUEUE_NAME", key_text(gtuid_key)},
      {"TAV_RLY_GTUID_QUEUE_COUNT", "1"},
      {"TAV_RLY_TCODE_QUEUE_NAME", key_text(tcode_key)},
      {"TAV_RLY_TCODE_QUEUE_COUNT", "1"},
      {"TAV_MST_1ST_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_2ND_MASTER_IPADDR", "127.0.0.1"},
      {"TAV_MST_1ST_MASTER_PORT", port},
  };
  std::string conf;
  for (const auto& [k, v] : settings) conf += std::string(k) + " = " + v + "\n";
  for (const auto& [k, v] : extra) conf += k + " = " + v + "\n";
  relay_conf_ = box.write_file("relay.conf", conf);
  relay_ = &box.start({relay_program, relay_conf_}, {}, false);
  for (int i = 0; i < 200 && master_->err().find("accepted") == std::string::npos; ++i)
    std::this_thread::sleep_for(50ms);
  ok_ = master_->err().find("accepted") != std::string::npos;
}

bool MasterAndRelay::restart_relay() {
  const size_t before = occurrences(master_->err(), "accepted");
  relay_ = &box_.start({relay_program_, relay_conf_}, {}, false);
  for (int i = 0; i < 200 && occurrences(master_->err(), "accepted") == before; ++i)
    std::this_thread::sleep_for(50ms);
  return occurrences(master_->err(), "accepted") > before;
}

std::string MasterAndRelay::story() const {
  std::string s = "master: " + master_->err();
  if (relay_) s += "\nrelay: " + relay_->err() + relay_->out();
  return s + "\nrelay log:\n" + relay_logs(box_.log_dir()) + "\nrecords:\n" + read_file(out_);
}

std::vector<MasterRecord> MasterAndRelay::records() const {
  std::vector<MasterRecord> out;
  std::istringstream in(read_file(out_));
  for (std::string l; std::getline(in, l);)
    out.push_back({json_text(l, "pid"), json_text(l, "gtuid"), json_text(l, "seq"), json_text(l, "event"),
                   json_text(l, "direction"), json_text(l, "tid")});
  return out;
}

std::vector<MasterRecord> MasterAndRelay::wait_records(size_t n, std::chrono::milliseconds limit) const {
  for (auto until = std::chrono::steady_clock::now() + limit;
       records().size() < n && std::chrono::steady_clock::now() < until;)
    std::this_thread::sleep_for(50ms);
  std::this_thread::sleep_for(300ms);
  return records();
}

RunResult MasterAndRelay::stop_relay() { return relay_ ? relay_->stop(SIGUSR1, 10s) : RunResult{}; }

RunResult MasterAndRelay::stop_master() { return master_->stop(SIGTERM); }

}  // namespace qel::test
