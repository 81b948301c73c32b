// WebLogic build: the messages of the server's own protocol on service and
// entry connections. A transaction that arrives in front of a message waits
// in the descriptor's record until the message has been read (for its own
// protocol's messages: the whole message, one-way commands excepted), and
// only then becomes the reading thread's.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "core/tav_tables.h"

#if defined(TAV_BUILD_WEBLOGIC)
extern "C" {
// Per descriptor: the transaction that came in front of the message being read.
extern gtuid_t* en_wls_gtuid;
// "qel.gtuid.complete.read.jput": hand a transaction over only once its
// framed message has been read completely (on unless "OFF").
extern int en_complete_read_jput;
// "qel.gtuid.jmsg.check": recognise the server's messages by their header.
extern int en_jvm_msg_read;
}

namespace tav::wls {

// Head of one of the server's messages: length (host byte order), command
// below 12 and the letter 'e'.
struct Header {
  int len;
  int cmd;
};
// The header at the start of `n` bytes read, when there is one (and the
// bytes do not start a JEUS message).
bool header(const void* buf, size_t n, Header& h);

// A block taken off a service connection: an active transaction is
// reported (RC) and parked in the descriptor's record; the thread keeps its
// own.
void park_block(mthr* m, int fd, const gtuid_t& blk);

// After a read of `rc` bytes (of `asked`) on a service connection: follows
// the server's messages and hands a parked transaction over when its
// message is read.
void after_service_read(mthr* m, int fd, mfd& r, const void* buf, size_t asked, ssize_t rc,
                        const char* what);

// After a read on an entry connection: makes a new transaction for the
// request where the settings ask for one (no event: the adapter reports the
// start).
void after_entry_read(mthr* m, int fd, mfd& r, const void* buf, size_t asked, ssize_t rc,
                      const char* what);

}  // namespace tav::wls
#endif
