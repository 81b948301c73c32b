// Tmax build: what the read and write overrides add for Tmax messages.
//
// Client handlers and gateways follow each message read on their
// connections: the transaction that came with it waits in the descriptor's
// record while the header and then the body are read, and goes on with the
// message (through the hand-off) when the process writes it on. The header
// is collected across reads, so a message cut anywhere is followed as if it
// had come whole. On the write side the library's changes to a message (a
// greeting marker, the message's own bytes in place of a hand-off ticket)
// are made in a private copy and kept until all of their bytes are out.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/tav_tables.h"

#if defined(TAV_BUILD_TMAX)

// The transaction that came with the message being read on a descriptor,
// and how far that message has been read.
struct tmax_gtuid {
  gtuid_t gtuid;
  int rbyte;  // body bytes still to come plus 96; 0 between messages
  int gflag;  // 1: the transaction goes on with this message's body
  int hgot;   // header bytes read of a message that starts
  unsigned char head[136];  // those bytes
};

extern "C" {
// One record per descriptor in client handlers and gateways, else null.
extern tmax_gtuid* en_tmax_gtuid;
// Logs the transaction-code path setting; run by the first receive of an
// application server.
void tav_tmax_trinit(void);
// The client handler's framed send: the shared framed send, which keeps the
// tail of a block that went out short and sends it first on the next call.
int tav_gtuid_send2(struct mthr* m, int fd, const void* buf, int n);
}

namespace tav::tmax {

// Makes the per-descriptor records for the classes that follow messages.
// False when memory is short.
bool make_records();
// Forgets the message being read on a descriptor that is closed or starts
// afresh.
void forget(int fd);

// The first receive of an application server logs the code path setting.
void on_recv();

// Reads of this descriptor follow messages.
bool following(const mfd& r);
// Before a read of a following descriptor: the stored transaction becomes
// the thread's, and the length is capped so that a header is read on its
// own and a body no further than its end. Returns the length to read.
size_t before_read(mthr* m, int fd, const mfd& r, size_t n);

// Bytes a read should add so that the body's first 16 bytes, which the
// hand-off replaces, come in one read; 0 when it need not.
size_t body_start_missing(int fd, ssize_t rc, size_t cap);
// Waits at most the hand-off's bound for more bytes on a blocking
// descriptor; false when none came.
bool wait_body_bytes(int fd, int& waited_ms);

// Adds to a read of a following descriptor what the hand-off needs (see
// body_start_missing); `read_more(buf, n)` reads as the host's call did.
template <typename ReadMore>
ssize_t complete_body_start(int fd, void* buf, size_t cap, ssize_t rc, ReadMore read_more) {
  int waited = 0;
  for (size_t want; rc > 0 && (want = body_start_missing(fd, rc, cap)) > 0;) {
    if (!wait_body_bytes(fd, waited)) break;
    const ssize_t more = read_more(static_cast<char*>(buf) + rc, want);
    if (more <= 0) break;
    rc += more;
  }
  return rc;
}

// A whole header that a read brought in: in the record when it was collected
// across reads (`before` of its bytes came earlier), else in the host's
// buffer. `head` is null when the read completed no header.
struct Seen {
  const uint8_t* head = nullptr;
  size_t before = 0;
};
// Collects the header bytes of a following read; for other reads, the header
// at the start of the data when all of it is there.
Seen header_read(int fd, const mfd& r, bool follow, const void* buf, ssize_t rc);

// A read on an entry connection of a client handler starts a transaction
// only with a whole header of a message that is not excluded.
bool entry_starts(mthr* m, int fd, const Seen& seen);

// Greetings of monitored peers (client handlers) and gateways: such a
// connection becomes a service connection. May clear the greeting's last
// byte in the host's buffer.
void recognise(int fd, mfd& r, const Seen& seen, void* buf, ssize_t rc);

// After a read of an application server: the service name of the message
// goes into the thread's records.
void note_service(mthr* m, const mfd& r, const void* buf, ssize_t rc);

// After a read of a following descriptor: the thread's transaction goes
// back into the record, and the message is followed (header length, the
// hand-off or the end of the transaction at the body's first bytes).
void after_read(mthr* m, int fd, const mfd& r, const Seen& seen, void* buf, ssize_t rc);

// What a write sends: the host's bytes, or a private copy with the
// library's changes.
class Outbound {
 public:
  explicit Outbound(const void* host) : data_(host) {}
  ~Outbound();
  Outbound(const Outbound&) = delete;
  Outbound& operator=(const Outbound&) = delete;
  const void* data() const { return data_; }

 private:
  friend void prepare_write(mthr*, int, mfd&, const void*, size_t, bool, Outbound&);
  const void* data_;
  void* copy_ = nullptr;
};

// Before a write or send of `n` bytes: the header form of the descriptor,
// the greeting marker (`greet`: writes only), the hand-off taken back (the
// thread's transaction becomes the message's) and any change still owed.
void prepare_write(mthr* m, int fd, mfd& r, const void* buf, size_t n, bool greet, Outbound& out);
// After the write: `rc` host bytes went out.
void wrote(mfd& r, ssize_t rc);

// Before a framed write of a whole message: an application server starts a
// transaction for a one-way call of a server named to create them, and
// answers whether an excluded service suspends the thread's transaction for
// this write.
bool service_write(mthr* m, int fd, const mfd& r, const void* buf, size_t n, bool active);

}  // namespace tav::tmax

#endif
