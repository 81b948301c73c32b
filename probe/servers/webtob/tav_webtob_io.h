// WebtoB build: how the HTTP handler carries a request's transaction.
//
// The handler reads requests from HTTP clients on entry connections, passes
// them to service processes behind a 96-byte header, reads their framed
// answers and writes the answers back. The transaction goes with a header
// line added to the request ("Korvath-Elmira-Tracekey: <descriptor>"),
// which names the client's descriptor, whose record holds the transaction
// until the request is written to a service process; it comes back with the
// answer, behind which the library puts the transaction's block, and ends
// when the answer is written to the client.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "core/tav_tables.h"

#if defined(TAV_BUILD_WEBTOB)

// The transaction of the request or answer on a descriptor.
struct webtob_gtuid {
  gtuid_t gtuid;
  int rbyte;       // entry: 1 while a request waits to be passed on; service:
                   // answer bytes still to come plus 96, 0 between answers
  int gflag;       // service: 1 when the block goes out behind this answer
  char http[128];  // the header line added to the request
  // Entry: the block cut from the answer being written, kept while the host
  // retries a short write: `cutting` 1 once its transaction was taken, 2
  // once it ended with bytes of the answer.
  unsigned char cut[sizeof(gtuid_t)];
  int cutting;
  // Service: bytes of the answer's block still to give a reader whose buffer
  // was too small for it.
  int bpend;
  unsigned char block[sizeof(gtuid_t)];
  // Service: the header of an answer that came in pieces, so far.
  int hgot;
  unsigned char head[96];
  // Service: the next read brings the first bytes of the answer behind its
  // header (the only place for the header line).
  int astart;
};

extern "C" {
// One record per descriptor in HTTP handlers, else null.
extern webtob_gtuid* en_webtob_gtuid;
// 1 when the last answer written on an entry connection brought its block.
extern int tav_webtob_hth_gtuid;
}

namespace tav::webtob {

// The header line's name.
inline constexpr char kTraceKey[] = "Korvath-Elmira-Tracekey";

// Makes the records of an HTTP handler. False when memory is short.
bool make_records();
// Forgets what a descriptor that starts afresh carried.
void forget(int fd);
// This process follows requests and answers per descriptor.
bool handler();

// A request read on an entry connection (`n` the caller's buffer): starts
// its transaction and adds the header line when the buffer has room.
// Returns the bytes the host gets.
ssize_t request_read(mthr* m, int fd, const mfd& r, void* buf, size_t n, ssize_t rc);
// A request written to a service process: the transaction of the client
// descriptor its header line names becomes the thread's.
void request_write(mthr* m, const void* buf, size_t n);

// Before an answer read on a service connection: the stored transaction
// becomes the thread's, and the length is capped to the answer (and so that
// the block fits behind its end). Returns the length to read.
size_t answer_cap(mthr* m, int fd, const mfd& r, size_t n);
// Bytes of a block owed to the reader: given without reading (-1: none).
ssize_t answer_owed(int fd, void* buf, size_t n);
// After an answer read of `got` bytes from the connection into a buffer of
// `n`: follows the answer, and puts the header line or the block into the
// host's data. Returns the bytes the host gets.
ssize_t answer_read(mthr* m, int fd, const mfd& r, void* buf, size_t n, ssize_t got);

// An answer written on an entry connection: a block behind it is taken off
// (the host's buffer is not changed) and its transaction becomes the
// thread's. `len` is set to the bytes to write; the result is true when a
// block was found.
bool answer_write(mthr* m, int fd, const void* buf, size_t n, size_t& len);
// After that write: the host's count (a written answer counts its block).
ssize_t answer_written(int fd, size_t n, size_t len, ssize_t rc);

}  // namespace tav::webtob

#endif
