// The development master and a relay in front of it, started inside a
// sandbox: the relay reads the sandbox's queues and forwards the records to
// the master, which writes one JSON line for each.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "probe_run.h"

namespace qel::test {

// What the master wrote of one record; the pid and thread as their eight
// digits.
struct MasterRecord {
  std::string pid, gtuid, seq, event, direction, tid;
};

// The text of `"key":"..."` in a JSON line, empty when absent.
std::string json_text(const std::string& line, const std::string& key);

// A System V key as the settings files write it: "0x" and eight hex digits.
std::string key_text(key_t k);

// The counters of the relay's record ring with `key`; `found` is false when
// there is none.
struct RingCounts {
  bool found = false;
  bool live = false;
  unsigned long long capacity = 0, head = 0, taken = 0, dropped = 0, skipped = 0, rejected = 0;
};
RingCounts ring_counts(key_t key);

// The relay logs (files "relay.*") in `dir`.
std::string relay_logs(const std::string& dir);

// Settings of a relay whose agent answers on UDP port `udp` from the
// sandbox's check home, logging into the sandbox's log directory; its
// master is a port nobody listens on.
std::string agent_relay_settings(const ProbeSandbox& box, int udp);

class MasterAndRelay {
 public:
  // Starts `master_program` on a port of its choice, then `relay_program`
  // with a settings file for the gtuid queue `gtuid_key` and the tcode queue
  // `tcode_key` (one each) and product code `product`, and waits until the
  // master has accepted the relay. ok() tells whether both came up.
  // `extra` settings are added to the relay's (e.g. TAV_RLY_RINGS = OFF).
  MasterAndRelay(ProbeSandbox& box, const std::string& master_program, const std::string& relay_program,
                 key_t gtuid_key, key_t tcode_key, const std::string& product = "01",
                 const std::vector<std::pair<std::string, std::string>>& extra = {});

  bool ok() const { return ok_; }
  // What the master and the relay have said, and the relay's log.
  std::string story() const;

  // The records written so far.
  std::vector<MasterRecord> records() const;
  // Waits up to `limit` until at least `n` records are written, then a
  // little longer for any beyond them; returns what is written by then.
  std::vector<MasterRecord> wait_records(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

  // The relay is stopped with SIGUSR1 (it sends what it holds first), the
  // master with SIGTERM.
  RunResult stop_relay();
  RunResult stop_master();
  // Starts the relay again with the same settings after a stop, and waits
  // until the master has accepted it again.
  bool restart_relay();
  Background* relay() const { return relay_; }

 private:
  ProbeSandbox& box_;
  Background* master_ = nullptr;
  Background* relay_ = nullptr;
  std::string relay_program_, relay_conf_;
  std::string out_;
  bool ok_ = false;
};

}  // namespace qel::test
