// The Java adapter's two links to the master. The adapter opens them as Java
// sockets on threads it marked with setBL; the connect override registers the
// descriptors here, connectMASTER and closeMASTER declare them up and down,
// and the library's sender threads write batches and answer polls on them.
//
// Every use of a link descriptor by a sender happens under the link's lock,
// after checking that the link is still registered, up and not lost, so no
// write reaches a descriptor after closeMASTER released it. A Java thread
// that changes a link first raises the link's cancel flag, which cuts a
// sender's wait short, so the change never waits for a stalled master.
#pragma once

#include <cstddef>

extern "C" {
// Link descriptors: -1 when none is registered.
extern int en_gtuid_sock;
extern int en_was_sock;
// 1 after connectMASTER for the link, 0 after closeMASTER.
extern int en_gtuid_sock_connected;
extern int en_was_sock_connected;
// 0 after connectMASTER; -1 initially, after closeMASTER, and after a
// sender found a link lost. putClass and wasMAKE hand it to Java.
extern int en_master_reconnect;
}

namespace tav::adt {

enum Link { kGtuidLink = 0, kWasLink = 1 };

// Longest wait for a master that does not take (or complete) our bytes.
inline constexpr int kIoWaitMs = 5000;

// The connect override: a descriptor a thread with setBL opened.
void link_register(Link link, int fd);
// connectMASTER and closeMASTER with the adapter's type (1 gtuid, 2 was);
// any other type changes only en_master_reconnect.
void master_connected(int type);
void master_closed(int type);

// The close override: a registered link whose descriptor the host closes
// without closeMASTER is unregistered first (and Java asked to reconnect),
// so that no sender writes on the number once it is reused.
void link_released(int fd);

// True when the link is registered, up and not lost.
bool link_usable(Link link);

// Writes n bytes on the link, whole or not at all as far as the library can
// tell: 0 when all went out, -1 when the link is not usable (nothing
// written), -2 when the write fell short; the link is then lost.
int link_write(Link link, const void* buf, size_t n, int wait_ms = kIoWaitMs);

// Waits up to wait_ms for the master to send on a usable link and handles
// what it sent (polls answered, other frames skipped). Returns a negative
// value when nothing usable was there or the link is not usable: the caller
// then pauses before the next try.
int link_serve(Link link, int wait_ms, int io_wait_ms = kIoWaitMs);

}  // namespace tav::adt
