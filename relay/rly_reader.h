// Queue readers: each drains one System V message queue into its batch
// buffer and sends the batches on accepted master sessions, in turn.
#pragma once

#include <sys/types.h>

#include "rly_state.h"

extern "C" {
// Body of a reader thread (the record's run).
void tav_adt_run(tav_thr* thr);
// Stop notice of a reader (the record's stop): logs only.
void tav_adt_stop(int sig);
// Body of a ring reader: drains the record ring with the key of the
// record's queue (made or taken over at its start) into batches.
void rly_ring_run(tav_thr* thr);
// Sends a batch of n records whose length field is `length` on the next
// accepted session of the reader's rotation. Bytes written, or -1 when no
// session could take it (the batch is dropped either way).
int tav_adt_proc(tav_thr* thr, char* buf, int n, int length);

// msgget of key with flags, repeated while interrupted. The id, or -1.
int rly_que_create(key_t key, int flags);
// Removes a queue, repeated while interrupted. 0, or -1.
int rly_que_delete(int qid);
}

// Makes queue qid hold `records` messages of `record` bytes. 0 when it does
// (or already did), -1 when the system does not allow it; the refusal is
// logged the first time only.
int rly_que_raise(int qid, int records, int record);

// Creates (or opens) queue `key` and raises its byte limit for its family.
// The id, or -1.
int rly_que_open(key_t key, int qtype);
