// Process-wide state of the relay: its settings, the master sessions and the
// thread table. One relay per process.
#pragma once

#include <pthread.h>
#include <signal.h>

#include "rly_log.h"  // en_log, en_log_level, en_log_path, en_log_file, en_log_sz, en_agent

// Limits of the settings (values outside are clamped, see rly_settings.cpp).
inline constexpr int RLY_GTUID_QUEUES_MAX = 50;
inline constexpr int RLY_TCODE_QUEUES_MAX = 10;
inline constexpr int RLY_THREADS_PER_QUEUE_MAX = 64;
inline constexpr int RLY_SESSIONS_MAX = 16;
inline constexpr int RLY_RING_GTUID_SLOTS = 16384;  // about 5 s of a busy host's type-1 records
inline constexpr int RLY_RING_TCODE_SLOTS = 4096;
inline constexpr int RLY_RING_MODE = 0666;

// One worker thread: a queue reader, or the agent or delete thread.
struct tav_thr {
  pthread_t tid;            // pthread_self() of the thread, once it runs
  volatile int state;       // 0 created, 1 running, 4 stop requested
  pthread_t handle;         // from pthread_create, for joining
  pthread_mutex_t mutex;    // with cond: tav_thr_wait / tav_thr_signal
  pthread_cond_t cond;
  void (*run)(tav_thr*);    // the thread's body
  void (*stop)(int);        // stop notice, called by the stopping thread (never in a handler)
  int rr_index;             // round-robin position over the master sessions
  int qtype;                // 0 gtuid queue, 1 tcode queue
  int qkey;                 // System V key of the queue (and of its ring)
  int qid;                  // message-queue identifier
  int signo_offset;         // the stop signal is 38 + signo_offset
  struct sigaction action;  // the action installed for the stop signal
  int started;              // 1 once pthread_create succeeded and until joined
  int signalled;            // pending tav_thr_signal not yet consumed by tav_thr_wait
};

inline constexpr int TAV_THR_CREATED = 0;
inline constexpr int TAV_THR_RUNNING = 1;
inline constexpr int TAV_THR_STOP = 4;

extern "C" {
extern int en_check_port;
extern char en_check_home[64];
extern char en_agtalias[65];
extern char en_hostname[33];
extern char en_ipaddr[16];
extern char en_domainname[33];
extern char en_prodcode[3];
extern char en_starttime[15];

extern int en_gtuid_thread_count;
extern int en_gtuid_queue_count;
extern char en_gtuid_queue_name[256];
extern int en_gtuid_queue_maxmsg;
extern int en_tcode_thread_count;
extern int en_tcode_queue_count;
extern char en_tcode_queue_name[256];
extern int en_tcode_queue_maxmsg;
extern int en_gtuid_msend_count;
extern int en_tcode_msend_count;

// Record rings beside the queues: on or off, slots of a gtuid and of a
// tcode ring (powers of two), permission bits.
extern int en_ring_on;
extern int en_ring_gtuid_slots;
extern int en_ring_tcode_slots;
extern int en_ring_mode;

extern int en_master_max_cnt;
extern char en_master_ip[20];
extern char en_master_ip2[20];
extern int en_master_port;
extern int en_master_port2;
extern int en_master_ctime;
extern int en_master_ptime;
extern int en_master_conn;
extern pthread_mutex_t* en_lock;
extern int* en_master_fd;
extern int* en_master_sock;
extern char* en_data;
extern int en_data_sz;

extern tav_thr* en_thread;
extern int en_thread_count;
extern volatile int en_run;

// Queue identifiers, by family and index; -1 when not created.
extern int en_gtuid_qid[RLY_GTUID_QUEUES_MAX];
extern int en_tcode_qid[RLY_TCODE_QUEUES_MAX];
}

// Puts every setting back to its initial value (start of a run, tests).
void rly_state_reset();
