#include "rly_thread.h"

#include <pthread.h>
#include <sys/ipc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "rly_reader.h"
#include "rly_ring.h"
#include "rly_stop.h"
#include "rly_agent.h"
#include "rly_delete.h"

extern "C" {
struct sigaction en_act;
}

namespace {

// Guards the thread table between starting and stopping, which may run in
// different threads (librelay-jni's stop method).
std::mutex g_table_mu;
bool g_stopped = false;

constexpr int kRejoinMs = 100;

int stop_signo(const tav_thr* t) { return RLY_STOP_SIGNO_BASE + t->signo_offset; }

// The workers' stop signal only has to interrupt a blocking call.
void rly_stop_signal_wake(int) {}

void* thread_main(void* arg) {
  auto* t = static_cast<tav_thr*>(arg);
  // Read by the stopping thread for its log line.
  __atomic_store_n(&t->tid, pthread_self(), __ATOMIC_RELAXED);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, stop_signo(t));
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  // Running, unless a stop was requested before the thread got here.
  int expected = TAV_THR_CREATED;
  __atomic_compare_exchange_n(const_cast<int*>(&t->state), &expected, TAV_THR_RUNNING, false,
                              __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE);
  t->run(t);
  return nullptr;
}

bool scan_key(const char* text, unsigned* out) { return sscanf(text, "0x%x", out) == 1; }

// Opens `count` queues of one family from `base`; false on the first failure.
bool open_family(int qtype, unsigned base, int count, int* ids, int fail_code, int* rc) {
  const char* family = qtype == 0 ? "gtuid" : "tcode";
  for (int i = 0; i < count; ++i) {
    const unsigned key = base + static_cast<unsigned>(i);
    ids[i] = rly_que_open(static_cast<key_t>(key), qtype);
    if (ids[i] == -1) {
      RLY_LOG_T("%s queue key 0x%08x, %d init fail !\n", family, key, ids[i]);
      *rc = fail_code;
      return false;
    }
    RLY_LOG_T("%s queue key 0x%08x, %d init success !\n", family, key, ids[i]);
  }
  return true;
}

// Rings switched off: probes that find none write onto the queues.
void withdraw_rings(const char* family, unsigned base, int count) {
  for (int i = 0; i < count; ++i) {
    const unsigned key = base + static_cast<unsigned>(i);
    if (rly_ring_withdraw(static_cast<key_t>(key)))
      RLY_LOG_T("%s ring key 0x%08x removed: rings are off.\n", family, key);
  }
}

void tav_agent_run(tav_thr* t) { rly_agent_serve(en_check_port, en_check_home, &t->state); }
void tav_delete_run(tav_thr* t) { rly_delete_serve(en_check_home, &t->state); }

}  // namespace

extern "C" int tav_set_signal() {
  rly_wake_init();
  sigset_t set;
  sigemptyset(&set);
  for (int s = 1; s <= 37; ++s) {
    switch (s) {
      case SIGUSR1:
      // Faults are raised by the thread that makes them; blocked, they kill.
      case SIGILL:
      case SIGTRAP:
      case SIGABRT:
      case SIGBUS:
      case SIGFPE:
      case SIGSEGV:
      case SIGSYS:
        continue;
      default:
        sigaddset(&set, s);
    }
  }
  memset(&en_act, 0, sizeof en_act);
  en_act.sa_handler = rly_on_stop_signal;
  en_act.sa_mask = set;
  en_act.sa_flags = 0;
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  sigaction(SIGUSR1, &en_act, nullptr);

  // No SA_RESTART: the signal must end a blocking msgrcv, poll or sleep.
  struct sigaction wake;
  memset(&wake, 0, sizeof wake);
  wake.sa_handler = rly_stop_signal_wake;
  sigemptyset(&wake.sa_mask);
  sigaction(RLY_STOP_SIGNO_BASE + 1, &wake, nullptr);
  return 0;
}

extern "C" int tav_thr_start(tav_thr* t) {
  if (pthread_mutex_init(&t->mutex, nullptr) != 0) return -1;
  if (pthread_cond_init(&t->cond, nullptr) != 0) {
    pthread_mutex_destroy(&t->mutex);
    return -1;
  }
  sigaction(stop_signo(t), nullptr, &t->action);
  int rc = pthread_create(&t->handle, nullptr, thread_main, t);
  if (rc == 0) t->started = 1;
  return rc;
}

extern "C" int tav_thr_join(tav_thr* t) {
  if (!t->started) return -1;
  int rc = pthread_join(t->handle, nullptr);
  if (rc == 0) t->started = 0;
  return rc;
}

extern "C" int tav_thr_wait(tav_thr* t) {
  if (pthread_mutex_lock(&t->mutex) != 0) return -1;
  while (!t->signalled) pthread_cond_wait(&t->cond, &t->mutex);
  t->signalled = 0;
  pthread_mutex_unlock(&t->mutex);
  return 0;
}

extern "C" int tav_thr_signal(tav_thr* t) {
  if (pthread_mutex_lock(&t->mutex) != 0) return -1;
  t->signalled = 1;
  int rc = pthread_cond_signal(&t->cond);
  pthread_mutex_unlock(&t->mutex);
  return rc == 0 ? 0 : -1;
}

extern "C" int tav_thread_start() {
  std::lock_guard<std::mutex> lock(g_table_mu);
  if (g_stopped) return -731;
  unsigned gbase = 0, tbase = 0;
  int rc = 0;
  if (!scan_key(en_gtuid_queue_name, &gbase)) return -654;
  if (!open_family(0, gbase, en_gtuid_queue_count, en_gtuid_qid, -661, &rc)) return rc;
  // The tcode name is required even without tcode readers.
  if (!scan_key(en_tcode_queue_name, &tbase)) return -669;
  if (!open_family(1, tbase, en_tcode_queue_count, en_tcode_qid, -676, &rc)) return rc;

  // A ring beside every queue that has readers.
  const int gtuid_rings = en_ring_on && en_gtuid_thread_count > 0 ? en_gtuid_queue_count : 0;
  const int tcode_rings = en_ring_on && en_tcode_thread_count > 0 ? en_tcode_queue_count : 0;
  if (!en_ring_on) {
    withdraw_rings("gtuid", gbase, en_gtuid_queue_count);
    withdraw_rings("tcode", tbase, en_tcode_queue_count);
  }
  int count = en_gtuid_thread_count * en_gtuid_queue_count +
              en_tcode_thread_count * en_tcode_queue_count + gtuid_rings + tcode_rings;
  const bool helpers = en_check_port > 0;
  if (helpers) count += 2;
  en_thread = static_cast<tav_thr*>(calloc(count > 0 ? count : 1, sizeof(tav_thr)));
  if (!en_thread) return -700;
  en_thread_count = 0;

  auto start = [](void (*run)(tav_thr*), void (*stop)(int), int qtype, unsigned key, int qid) {
    tav_thr* t = &en_thread[en_thread_count];
    t->signo_offset = 1;
    t->run = run;
    t->stop = stop;
    t->qtype = qtype;
    t->qkey = static_cast<int>(key);
    t->qid = qid;
    if (tav_thr_start(t) != 0) return false;
    ++en_thread_count;
    return true;
  };
  for (int q = 0; q < en_gtuid_queue_count; ++q)
    for (int k = 0; k < en_gtuid_thread_count; ++k)
      if (!start(tav_adt_run, tav_adt_stop, 0, gbase + q, en_gtuid_qid[q])) return -731;
  for (int q = 0; q < en_tcode_queue_count; ++q)
    for (int k = 0; k < en_tcode_thread_count; ++k)
      if (!start(tav_adt_run, tav_adt_stop, 1, tbase + q, en_tcode_qid[q])) return -731;
  for (int q = 0; q < gtuid_rings; ++q)
    if (!start(rly_ring_run, nullptr, 0, gbase + q, en_gtuid_qid[q])) return -731;
  for (int q = 0; q < tcode_rings; ++q)
    if (!start(rly_ring_run, nullptr, 1, tbase + q, en_tcode_qid[q])) return -731;
  if (helpers) {
    if (!start(tav_agent_run, tav_agent_stop, 0, 0, -1)) return -764;
    if (!start(tav_delete_run, tav_delete_stop, 0, 0, -1)) return -774;
  }
  return 0;
}

extern "C" int tav_thread_stop() {
  // Every worker is asked first, so that they wind down together.
  for (int i = 0; i < en_thread_count; ++i)
    if (en_thread[i].started) __atomic_store_n(const_cast<int*>(&en_thread[i].state), TAV_THR_STOP,
                                               __ATOMIC_RELEASE);
  for (int i = 0; i < en_thread_count; ++i) {
    tav_thr* t = &en_thread[i];
    if (!t->started) continue;
    const int sig = stop_signo(t);
    if (t->stop) t->stop(sig);
    int rc = pthread_kill(t->handle, sig);
    RLY_LOG_T("thread(%d) stop signal (%d) send ! rc=(%d)\n", static_cast<int>(__atomic_load_n(&t->tid, __ATOMIC_RELAXED)), sig,
              rc);
    for (;;) {
      timespec until;
      clock_gettime(CLOCK_REALTIME, &until);
      until.tv_nsec += kRejoinMs * 1000000L;
      if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
      }
      int jr = pthread_timedjoin_np(t->handle, nullptr, &until);
      if (jr == 0) break;
      if (jr != ETIMEDOUT) break;
      // Still waiting: the signal came before its wait began.
      pthread_kill(t->handle, sig);
    }
    t->started = 0;
    pthread_cond_destroy(&t->cond);
    pthread_mutex_destroy(&t->mutex);
  }
  return 0;
}

void tav_stop_routine() {
  rly_request_stop();
  std::lock_guard<std::mutex> lock(g_table_mu);
  if (g_stopped) return;
  g_stopped = true;
  if (en_thread) {
    tav_thread_stop();
    free(en_thread);
    en_thread = nullptr;
    en_thread_count = 0;
  }
  en_run = 1;
  RLY_LOG_T("MZZP000001 stop !\n");
}

void rly_thread_reset() {
  std::lock_guard<std::mutex> lock(g_table_mu);
  g_stopped = false;
  en_run = 0;
  rly_stop_reset();
}
