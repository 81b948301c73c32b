// JEUS build: the header of a request read on a plain read path, and the
// entry that sets a transaction code from the server.
#pragma once

struct mthr;

extern "C" {
// Reads the header a request opens with into `buf` (96 bytes). A block with
// an active transaction is taken over by the thread (0); a block without one
// gives -1. Otherwise the number of header bytes read, or the failing read's
// result when none was read: the 4-byte JEUS header 00 00 27 0F marks the
// descriptor with form 3 and 92 bytes to come. `*flag` becomes 1 when a
// complete block was read. A block whose rest does not come within five
// waits of a second, or that is not a valid block, is not taken over.
int tav_tmrdp_recv(struct mthr* m, int fd, char* buf, int nbyte, int* flag);

// Sets the code of the thread's active transaction (at most 32 bytes) and
// reports it with a type-4 message. Always 0.
int TAV_GTUID_GET_TRCODE99(const char* trcode, int len);
}
