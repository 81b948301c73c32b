// The gtuid queue as the integration tests read it: a System V message queue
// the test creates and removes, and a thread that drains it while the
// monitored processes write their type-1 records.
#pragma once

#include <sys/ipc.h>
#include <sys/msg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/tav_mzp.h"

namespace qel::test {

// A message queue created for the test and removed at its end.
class OwnQueue {
 public:
  explicit OwnQueue(key_t key) : id_(msgget(key, IPC_CREAT | 0666)) {}
  ~OwnQueue() {
    if (id_ >= 0) msgctl(id_, IPC_RMID, nullptr);
  }
  OwnQueue(const OwnQueue&) = delete;
  OwnQueue& operator=(const OwnQueue&) = delete;
  int id() const { return id_; }

 private:
  int id_;
};

struct Record {
  long type = 0;
  size_t size = 0;  // bytes after the message type
  mzp1_t z{};
};

// Drains a queue in a thread while the processes run: a queue holds only
// about 56 type-1 records.
class Drain {
 public:
  explicit Drain(int id) : id_(id), thread_([this] { run(); }) {}
  ~Drain() { finish(); }
  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;

  size_t occurrences() {
    std::lock_guard lock(mu_);
    return records_.size();
  }
  // Waits until `n` records are in, at most `limit`.
  void wait_for(size_t n, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (occurrences() < n && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Stops the reader after a last pass and returns everything read.
  std::vector<Record> finish() {
    if (thread_.joinable()) {
      stop_ = true;
      thread_.join();
    }
    std::lock_guard lock(mu_);
    return records_;
  }

 private:
  void run() {
    for (;;) {
      const bool last = stop_.load();
      while (take()) {
      }
      if (last) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  bool take() {
    struct {
      long type;
      char text[4096];
    } buf;
    const ssize_t n = msgrcv(id_, &buf, sizeof buf.text, 0, IPC_NOWAIT);
    if (n < 0) return false;
    Record r;
    r.type = buf.type;
    r.size = static_cast<size_t>(n);
    memcpy(&r.z, &buf, std::min(sizeof r.z, sizeof buf.type + r.size));
    std::lock_guard lock(mu_);
    records_.push_back(r);
    return true;
  }

  int id_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::vector<Record> records_;
  std::thread thread_;
};

}  // namespace qel::test
