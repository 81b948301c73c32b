// The relay's socket helpers: connect with a time-out (the probe's own,
// compiled into the relay), and whole-buffer reads and writes whose waits are
// bounded, so that a peer that stops reading or writing never holds a relay
// thread.
#pragma once

#include <cstddef>

extern "C" {
// Connects a TCP socket to a dotted IPv4 address within timeout_us
// microseconds. The descriptor, or a negative code: -16 no socket, -22 flags
// unreadable, -28 cannot be made non-blocking, -44 flags not restored, -65 not
// connected within the time-out, -76 pending error unreadable, -82 refused or
// failed.
int tav_sck_connect(const char* ip, int port, int timeout_us);
}

// Monotonic clock in milliseconds.
long long rly_now_ms();

// Writes all n bytes, waiting for room at most timeout_ms in total. Returns
// the number of bytes written: n, or fewer after a time-out, a closed peer or
// an error. Interrupted calls are retried; no SIGPIPE is raised.
size_t rly_send_all(int fd, const void* buf, size_t n, int timeout_ms);

// Reads exactly n bytes, waiting at most timeout_ms in total. Returns the
// number read: n, or fewer after a time-out, the peer's end or an error.
size_t rly_recv_all(int fd, void* buf, size_t n, int timeout_ms);
