// Tmax build: the functions through which Tmax programs read the calling
// thread's current transaction. Each returns 0 on success and -1 when the
// library is not started (or is passing calls through), when the thread has
// no record of its own or is excluded, or when an output pointer is null.
// The caller's errno is kept.
#pragma once

#include "base/tav_export.h"

extern "C" {

// Copies the thread's 96-byte identifier record to `out` (96 bytes) when a
// transaction is active; otherwise -1 and `out` is not touched.
TAV_EXPORT int tav_GTUID_getGTUID(void* out);

// For an active transaction writes, without terminators:
//   gtuid_text: 22 bytes, the identifier as decimal digits;
//   ip_text:    15 bytes, the origin address as "a.b.c.d" (NUL-padded when
//               shorter);
//   trcode:     32 bytes, the transaction code.
// Otherwise -1 and nothing is written.
TAV_EXPORT int tav_GTUID_getGTUID_INFO(char* gtuid_text, char* ip_text, char* trcode);

// As tav_GTUID_getGTUID_INFO, with the hop sequence instead of the address:
//   gtuid_text: 22 bytes; seq_text: 5 bytes, zero-padded decimal;
//   trcode, srname, svname: 32 bytes each (server and service names of the
//   thread's type-1 message).
TAV_EXPORT int tav_GTUID_getGTUID_INFO2(char* gtuid_text, char* seq_text, char* trcode,
                                        char* srname, char* svname);

// Stores the addresses of the thread's own fields: the active flag, the 11
// identifier bytes, the big-endian sequence, the 32-byte code, the 4 address
// bytes, and the server and service names of its type-1 message. A null
// out-pointer is skipped. The program may write through them.
TAV_EXPORT int tav_GTUID_gtuidADDR(unsigned char** gflag, unsigned char** gtuid, void** seq,
                                   char** trcode, unsigned char** ip, char** srname,
                                   char** svname);

// Excludes the calling thread: from now on its calls pass through untouched.
TAV_EXPORT int tav_GTUID_setBL(void);

}
