// Where a monitoring record leaves the process: into the ring that the relay
// made with the key of the chosen queue, else onto that queue.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct mthr;

namespace tav {

// The families of record queues: type 1, types 2 and 4, type 6.
enum class RecordFamily { kGtuid = 0, kTcode = 1, kTcod6 = 2 };

// A run of queues: keys key .. key + count - 1, their ids (-1: not open).
struct QueueRun {
  key_t key;
  int count;
  int* ids;
};
QueueRun queue_run(RecordFamily family);

// Start-up, once the queue families are read: one route per queue of each
// family, attached to the ring with its key where there is one. False when
// memory is short.
bool record_routes_init();
// Detaches the rings and frees the routes (tests).
void record_routes_reset();
// In a forked child: only the forking thread exists, and it is in no send.
void record_routes_after_fork();

// Sends the `size` record bytes that follow the 8-byte message type at `msg`
// by the route of queue `index` of `family`. `kind` is the record's type
// (1, 2, 4, 6), `name` names it in log lines. 0 when the record left, -1
// when it was dropped. Never waits. On the ring path no system call, but at
// most once a second one to see that the ring is still the key's.
int record_send(mthr* m, RecordFamily family, int index, uint32_t kind, const char* name,
                const void* msg, size_t size);

// The route of queue `index` of `family` (tests): the segment of its ring,
// -1 when it writes onto the queue.
int record_route_ring(RecordFamily family, int index);
// Makes the next send of every route look for its ring at once (tests).
void record_routes_look_now();

}  // namespace tav
