// The processes of one probe build under soak: a preloaded back server, a
// preloaded front server forwarding to it, the relay in front of their ring
// and queue, and the development master on a port that stays the same
// across its restarts. Each piece can be killed and started again.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "master_run.h"
#include "probe_run.h"

namespace qel::test {

// One record as the master wrote it; two lines with the same key are the
// same record delivered twice.
using RecordKey = std::tuple<std::string, std::string, std::string, std::string, std::string, std::string>;

class SoakStack {
 public:
  // Slots of the relay's gtuid ring: small, so that a burst fills it.
  static constexpr int kRingSlots = 128;

  explicit SoakStack(const std::string& build);

  const std::string& build() const { return box_.build(); }
  ProbeSandbox& box() { return box_; }
  key_t gtuid_key() const { return box_.key(4); }
  key_t log_key() const { return box_.key(2); }
  int front_port() const { return front_port_; }
  int back_port() const { return back_port_; }
  Background* front() const { return front_; }
  Background* back() const { return back_; }
  // Every process the stack started, for the check of what they left.
  const std::vector<pid_t>& pids() const { return pids_; }

  // Starts the servers (preloaded) once the master and the relay run.
  bool start_servers(std::string* why);

  bool start_master(std::string* why);
  void kill_master();
  // With the master up, waits until it has accepted the new relay.
  bool start_relay(std::string* why);
  void kill_relay();
  // The orderly end: the relay (SIGUSR1, it sends what it holds) and the master.
  RunResult stop_relay();
  RunResult stop_master();
  // Waits until the running master has accepted a relay.
  bool wait_accepted(std::chrono::milliseconds limit);

  // Every record the masters have written so far, and how many lines.
  std::set<RecordKey> delivered(size_t* lines = nullptr) const;
  // Waits until the masters hold every record the ring has taken or not
  // given up; true when they do within `limit`.
  bool wait_caught_up(std::chrono::milliseconds limit) const;

  // What the processes said, for failure messages.
  std::string story() const;

  // Starting programs and running clients share the sandbox's bookkeeping.
  std::mutex& lock() { return mu_; }

 private:
  ProbeSandbox box_;
  std::mutex mu_;
  int master_port_ = 0, front_port_ = 0, back_port_ = 0;
  int master_runs_ = 0;
  std::vector<std::string> outs_;
  std::string relay_conf_;
  Background* master_ = nullptr;
  Background* relay_ = nullptr;
  Background* front_ = nullptr;
  Background* back_ = nullptr;
  std::vector<pid_t> pids_;
};

// Records the ring accounts for: every position reserved, less those given
// up (skipped) or refused (rejected).
unsigned long long ring_owed(const RingCounts& c);

}  // namespace qel::test
