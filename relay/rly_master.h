// Sessions to the masters: connecting, the opening request, answering polls,
// closing, and the supervision loop that keeps them up.
#pragma once

#include <cstddef>

extern "C" {
// Connects session i to the next master in the alternation and sends the
// opening request. Returns the session's descriptor (> 0 when connected).
int tav_master_connect(int i);
// Closes session i, or every session when i is negative.
int tav_master_close(int i);
// Sends the opening request on session i: 0 when all of it went out, else -1.
int tav_master_connsend(int i);
// Sends a poll header on session i (see rly_build_poll): 0 or -1.
int tav_master_pollsend(int i, char mtype);
// Reads one whole message of session i into en_data: its size with the
// length field, or -1 (peer closed, time-out, or a length out of bounds).
int tav_master_recv(int i);
}

// Allocates the session locks and descriptor arrays and en_data. 0, or the
// start function's code: -194 locks, -213 descriptors, -223 reader
// descriptors, -236 buffer.
int rly_sessions_alloc();
void rly_sessions_free();

// Reads one message of session i and acts on it. 0 when the session stays,
// -1 when it was closed.
int rly_master_service(int i);

// The supervision loop: runs until a stop is requested.
void rly_master_loop();

// Writes a whole frame on accepted session i under its lock, waiting at most
// the response time-out. Returns the bytes written, or -1 when the session is
// not accepted. A short write shuts the session down: it is no longer offered
// to writers, and the supervision loop closes it.
long rly_session_write(int i, const void* buf, size_t n);

// Milliseconds that one frame may take to go out or come in.
int rly_io_wait_ms();
