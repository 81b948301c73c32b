// Worker threads and the stop path: a worker that missed its stop signal is
// signalled again until it ends; the stop routine runs once whoever calls
// it; the SIGUSR1 handler only raises the request.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "rly_state.h"
#include "rly_stop.h"
#include "rly_thread.h"

namespace {

std::atomic<int> g_ended{0};

// Waits in pause() until the stop state is seen.
void waiting_worker(tav_thr* t) {
  while (__atomic_load_n(&t->state, __ATOMIC_ACQUIRE) != TAV_THR_STOP) pause();
  g_ended.fetch_add(1);
}

// Checks the state, and before its wait begins takes the stop signal in and
// loses it: exactly the window between a worker's check and its wait.
void missing_worker(tav_thr* t) {
  const int sig = RLY_STOP_SIGNO_BASE + t->signo_offset;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  while (__atomic_load_n(&t->state, __ATOMIC_ACQUIRE) != TAV_THR_STOP) {
    // Checked: still running. Now the first signal comes and is lost.
    sigset_t pending;
    do {
      sigpending(&pending);
    } while (!sigismember(&pending, sig));
    timespec zero{0, 0};
    sigtimedwait(&set, nullptr, &zero);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    pause();  // only a second signal ends this
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
  }
  g_ended.fetch_add(1);
}

class RelayThreads : public testing::Test {
 protected:
  void SetUp() override {
    rly_state_reset();
    rly_thread_reset();
    tav_set_signal();
    g_ended = 0;
  }
  void TearDown() override {
    if (en_thread) {
      tav_thread_stop();
      free(en_thread);
      en_thread = nullptr;
      en_thread_count = 0;
    }
  }
  void start(std::vector<void (*)(tav_thr*)> runs) {
    en_thread = static_cast<tav_thr*>(calloc(runs.size(), sizeof(tav_thr)));
    for (size_t i = 0; i < runs.size(); ++i) {
      en_thread[i].signo_offset = 1;
      en_thread[i].run = runs[i];
      ASSERT_EQ(tav_thr_start(&en_thread[i]), 0);
      en_thread_count = static_cast<int>(i + 1);
    }
    // Let them reach their waits.
    for (int i = 0; i < en_thread_count; ++i)
      while (__atomic_load_n(&en_thread[i].state, __ATOMIC_ACQUIRE) != TAV_THR_RUNNING) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
};

TEST_F(RelayThreads, WorkerThatMissedItsSignalIsSignalledAgain) {
  start({waiting_worker, missing_worker, waiting_worker});
  auto done = std::async(std::launch::async, [] { return tav_thread_stop(); });
  if (done.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "tav_thread_stop hangs on a worker that missed its signal";
    std::_Exit(1);
  }
  EXPECT_EQ(done.get(), 0);
  EXPECT_EQ(g_ended.load(), 3);
  for (int i = 0; i < en_thread_count; ++i) EXPECT_EQ(en_thread[i].started, 0);
}

TEST_F(RelayThreads, SignalHandlerOnlyRaisesTheStopRequest) {
  start({waiting_worker});
  EXPECT_FALSE(rly_stop_requested());
  ASSERT_EQ(raise(SIGUSR1), 0);
  EXPECT_TRUE(rly_stop_requested());
  EXPECT_EQ(rly_stop_signal(), SIGUSR1);
  // Nothing was stopped from inside the handler.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(en_run, 0);
  EXPECT_EQ(g_ended.load(), 0);
  EXPECT_NE(en_thread, nullptr);
  // A wait for the request returns at once.
  EXPECT_TRUE(rly_wait_stop(5000));
}

TEST_F(RelayThreads, StopRoutineRunsOnceWhoeverCallsIt) {
  start({waiting_worker, waiting_worker, waiting_worker});
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) callers.emplace_back(tav_stop_routine);
  raise(SIGUSR1);
  for (auto& c : callers) c.join();
  tav_stop_routine();
  EXPECT_EQ(g_ended.load(), 3);
  EXPECT_EQ(en_run, 1);
  EXPECT_EQ(en_thread, nullptr);
  EXPECT_EQ(en_thread_count, 0);
  EXPECT_TRUE(rly_stop_requested());
}

TEST_F(RelayThreads, SignalGivenBeforeTheWaitIsNotLost) {
  tav_thr t{};
  t.signo_offset = 1;
  t.run = [](tav_thr* self) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tav_thr_wait(self);
  };
  ASSERT_EQ(tav_thr_start(&t), 0);
  ASSERT_EQ(tav_thr_signal(&t), 0);  // before the thread waits
  auto joined = std::async(std::launch::async, [&] { return tav_thr_join(&t); });
  ASSERT_EQ(joined.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(joined.get(), 0);
}

}  // namespace
