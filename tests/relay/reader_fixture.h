// A reader thread of the relay in the test's process: master sessions that
// are socket pairs, the frames the relay writes on them, a private queue.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "relay_test_support.h"
#include "rly_batch.h"
#include "rly_build.h"
#include "rly_master.h"
#include "rly_reader.h"
#include "rly_state.h"
#include "rly_thread.h"

namespace rlytest {

// Frames that the relay wrote on each session, collected by a thread.
class Collector {
 public:
  explicit Collector(std::vector<int> fds) : fds_(std::move(fds)), th_([this] { run(); }) {}
  ~Collector() {
    stop_ = true;
    th_.join();
  }
  // Waits until `records` records of `size` bytes have arrived.
  bool wait_records(int size, size_t records, int timeout_ms) {
    const long long end = rlytest::now_ms() + timeout_ms;
    while (rlytest::now_ms() < end) {
      if (count(size) >= records) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return count(size) >= records;
  }
  size_t count(int) {
    std::lock_guard<std::mutex> l(mu_);
    size_t n = 0;
    for (const auto& [s, f] : frames_) n += f.count();
    return n;
  }
  std::vector<std::pair<int, Frame>> frames() {
    std::lock_guard<std::mutex> l(mu_);
    return frames_;
  }
  // All records in arrival order.
  std::vector<std::string> records(int size) {
    std::vector<std::string> out;
    for (const auto& [s, f] : frames())
      for (uint32_t i = 0; i < f.count(); ++i) out.push_back(f.rec(size, i));
    return out;
  }
  void pause_reading(bool p) { paused_ = p; }

 private:
  void run() {
    while (!stop_) {
      if (paused_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      std::vector<pollfd> p;
      for (int fd : fds_) p.push_back(pollfd{fd, POLLIN, 0});
      if (poll(p.data(), p.size(), 50) <= 0) continue;
      for (size_t i = 0; i < p.size(); ++i) {
        if (!(p[i].revents & POLLIN)) continue;
        Frame f;
        if (rlytest::read_frame(fds_[i], &f, 5000) != rlytest::Got::kFrame) {
          fds_[i] = -1;
          continue;
        }
        std::lock_guard<std::mutex> l(mu_);
        frames_.emplace_back(static_cast<int>(i), std::move(f));
      }
    }
  }
  std::vector<int> fds_;
  std::mutex mu_;
  std::vector<std::pair<int, Frame>> frames_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::thread th_;
};

class RelayReader : public testing::Test {
 protected:
  void SetUp() override {
    rly_state_reset();
    rly_thread_reset();
    tav_set_signal();
    en_master_max_cnt = 2;
    en_master_ptime = 1;
    ASSERT_EQ(rly_sessions_alloc(), 0);
    for (int i = 0; i < 2; ++i) {
      ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp[i]), 0);
      en_master_fd[i] = sp[i][0];
    }
  }
  void TearDown() override {
    stop_reader();
    collector.reset();
    for (int i = 0; i < 2; ++i) {
      if (en_master_fd[i] > 0) close(en_master_fd[i]);
      close(sp[i][1]);
    }
    rly_sessions_free();
    rly_select_build(rly_build_lib);
  }
  void accept_sessions(int n) {
    // As the master thread does: the readers load it atomically.
    for (int i = 0; i < n; ++i) __atomic_store_n(&en_master_sock[i], en_master_fd[i], __ATOMIC_RELEASE);
  }
  void collect() { collector = std::make_unique<Collector>(std::vector<int>{sp[0][1], sp[1][1]}); }
  int queue(int qtype) {
    qid = rly_que_open(key, qtype);
    return qid;
  }
  // Starts one reader thread: a queue reader, or the ring reader of the key.
  void start_reader(int qtype, void (*run)(tav_thr*) = tav_adt_run) {
    en_thread = static_cast<tav_thr*>(calloc(1, sizeof(tav_thr)));
    tav_thr* t = &en_thread[0];
    t->signo_offset = 1;
    t->run = run;
    t->stop = run == tav_adt_run ? tav_adt_stop : nullptr;
    t->qtype = qtype;
    t->qkey = key;
    t->qid = qid;
    ASSERT_EQ(tav_thr_start(t), 0);
    en_thread_count = 1;
  }
  void stop_reader() {
    if (!en_thread) return;
    tav_thread_stop();
    free(en_thread);
    en_thread = nullptr;
    en_thread_count = 0;
  }
  size_t queued() {
    msqid_ds ds{};
    msgctl(qid, IPC_STAT, &ds);
    return ds.msg_qnum;
  }

  const key_t key = rlytest::test_key(0x10);
  rlytest::QueueKeys keys{{key}};
  int sp[2][2];
  int qid = -1;
  std::unique_ptr<Collector> collector;
};

}  // namespace rlytest
