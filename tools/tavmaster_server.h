// The development master's sessions: one listening socket and any number of
// relay or adapter links, all served by one thread through poll. Each link
// is cut into messages; openings and polls are answered, batches and other
// messages become JSON lines, and the master polls every link at the
// configured interval.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/tav_master_proto.h"
#include "tavmaster_frames.h"
#include "tavmaster_options.h"
#include "tavmaster_output.h"
#include "tavmaster_records.h"

namespace tavmaster {

using Clock = std::chrono::steady_clock;

struct Stats {
  uint64_t sessions = 0;
  uint64_t batches = 0;
  uint64_t records = 0;
  uint64_t dropped_batches = 0;  // malformed, or on a refused session
  uint64_t messages = 0;         // other messages (the adapter's packets)
  uint64_t polls_sent = 0;
  uint64_t polls_answered = 0;    // answers that matched the poll
  uint64_t polls_mismatched = 0;  // answers that did not
  uint64_t polls_unanswered = 0;  // no answer before the next poll was due
};

class Server {
 public:
  explicit Server(const Options& opt);
  ~Server();

  // Opens the output, binds and listens; on success the bound port is
  // known. Returns false (after a log line) when any of that fails.
  bool start();
  int port() const { return port_; }

  // Serves until stop is set. wait_mask is the signal mask to wait with, in
  // which the stop signals are open. Returns the exit status: 0 after a stop,
  // 1 when the output failed.
  int run(const volatile sig_atomic_t& stop, const sigset_t& wait_mask);

  const Stats& stats() const { return stats_; }

 private:
  enum class Opening { kNone, kAccepted, kRefused };

  struct Session {
    Session(uint64_t id, int fd, std::string peer, uint32_t max_message)
        : id(id), fd(fd), peer(std::move(peer)), reader(max_message) {}
    uint64_t id;
    int fd;
    std::string peer;  // "ADDR:PORT"
    FrameReader reader;
    std::string pending;  // reply bytes not yet written
    Opening opening = Opening::kNone;
    bool poll_out = false;      // a poll waits for its answer
    _tavMasterhdr poll_hdr{};   // the header of that poll
    Clock::time_point poll_at;  // when it was sent
    Clock::time_point next_poll;
    bool closed = false;
  };

  void accept_new();
  void read_session(Session& s);
  bool on_message(Session& s, const uint8_t* msg, size_t size);
  void on_opening(Session& s, const uint8_t* msg, size_t size);
  void on_poll_answer(Session& s, const _tavMasterhdr& hdr);
  bool on_batch(Session& s, const BatchKind& kind, const uint8_t* msg, size_t size);
  void send_polls(Clock::time_point now);
  // Queues a reply and writes what the socket takes now.
  void send(Session& s, const void* data, size_t size);
  void flush(Session& s);
  void close_session(Session& s, const char* why);
  int next_timeout_ms(Clock::time_point now) const;

  Options opt_;
  Output out_;
  int listen_fd_ = -1;
  int port_ = 0;
  uint64_t next_id_ = 1;
  std::vector<std::unique_ptr<Session>> sessions_;
  std::string lines_;  // JSON lines of the batch at hand
  std::vector<uint8_t> rbuf_;  // receive buffer shared by all sessions
  bool output_failed_ = false;
  bool accept_paused_ = false;  // out of descriptors: wait for a close
  const volatile sig_atomic_t* stop_ = nullptr;
  Stats stats_;
};

// A log line on standard error, "tavmaster: " and the text.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavmaster
