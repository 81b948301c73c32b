// Worker threads of the relay, their stop signal, and the stop routine.
#pragma once

#include <signal.h>

#include "rly_state.h"

// Signal that interrupts a worker's blocking wait: 38 + signo_offset.
inline constexpr int RLY_STOP_SIGNO_BASE = 38;

extern "C" {
extern struct sigaction en_act;

// Blocks signals 1 to 37 except SIGUSR1 (and the fault signals, which must
// stay deliverable) in the calling thread, so that the threads it creates
// inherit the mask; installs the SIGUSR1 stop handler and the no-op handler
// of the workers' stop signal. Returns 0.
int tav_set_signal();

// Creates the queues and starts every worker. 0, or a negative code.
int tav_thread_start();
// Requests every started worker to stop and joins it. A worker that missed
// its signal (between its check and its wait) is signalled again until it
// has ended. Returns 0.
int tav_thread_stop();

// Initialises the record's mutex and condition variable and creates its
// thread. -1 when an initialisation fails, else pthread_create's result.
int tav_thr_start(tav_thr* thr);
int tav_thr_join(tav_thr* thr);
// Waits until the record is signalled (a signal given before the wait is
// not lost). 0, or -1.
int tav_thr_wait(tav_thr* thr);
int tav_thr_signal(tav_thr* thr);
}

// The stop routine: stops and joins the workers and releases the table,
// sets en_run. Idempotent: the SIGUSR1 path, the Java stop method and the
// start function may all call it; the first does the work, the others wait
// for it to be done.
void tav_stop_routine();
// Allows a new start in the same process (tests).
void rly_thread_reset();
