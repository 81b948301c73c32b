// The relay's stop request. The SIGUSR1 handler and the Java stop method
// only raise the request (safe in a signal handler: a flag and one byte on a
// pipe); the starting thread notices it in its waits, which poll the pipe,
// and runs the stop routine itself.
#pragma once

// Creates the wake pipe once. 0, or -1.
int rly_wake_init();
// Raises the stop request; async-signal-safe.
void rly_request_stop();
bool rly_stop_requested();
// Waits up to ms milliseconds; returns early, with true, when a stop is requested.
bool rly_wait_stop(int ms);
// Read end of the wake pipe, for the supervision loop's poll; -1 before init.
int rly_wake_fd();
// Empties the wake pipe.
void rly_wake_drain();
// Signal number that last raised the request through the handler, 0 if none.
int rly_stop_signal();
// Clears the request (a new run in the same process, tests).
void rly_stop_reset();

extern "C" {
// Handler of SIGUSR1: raises the stop request and nothing else.
void rly_on_stop_signal(int sig);
}
