// What the data-transfer overrides share: the entry test, the protocol
// constants they recognise and the database accounting of a write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/tav_dbms.h"
#include "core/tav_load.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"

namespace tav {

// The records an override works on. `own` is false for a thread that shares
// the overflow record: such a thread keeps the framing of its messages intact
// but takes part in no transaction.
struct IoCtx {
  mfd* r;
  mthr* m;
  bool own;
};

// The prologue and the entry test: false sends the call straight to libc
// (library not started, number outside the table, untracked descriptor,
// excluded thread).
inline bool io_enter(int fd, IoCtx& c) {
  if (!prologue()) return false;
  c.r = fd_record(fd);
  if (!c.r || c.r->info == 0) return false;
  c.m = tav_thrinfo();
  if (c.m->bl) return false;
  c.own = c.m != overflow_record();
  return true;
}

// Message heads of the JEUS protocol (and of the Tmax and WebtoB servers'):
// a four-byte magic, and the message type at bytes 16..19 in the magic's
// byte order.
inline constexpr uint8_t kMessageMagics[3][4] = {
    {0x90, 0x35, 0x20, 0x82}, {0x82, 0x20, 0x35, 0x90}, {0x00, 0x00, 0x27, 0x0F}};

inline bool jeus_magic(const uint8_t* p, size_t n) {
  if (n < 4) return false;
  for (const auto& k : kMessageMagics)
    if (memcmp(p, k, 4) == 0) return true;
  return false;
}

// A 4-byte integer of a peer's message in this host's byte order, at any
// alignment.
inline int32_t host_int32(const void* p) {
  int32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The first k bytes (at most 4 are looked at) agree with one of the magics:
// a message head may be coming.
inline bool magic_prefix(const void* p, size_t k) {
  for (const auto& m : kMessageMagics)
    if (memcmp(p, m, k < 4 ? k : 4) == 0) return true;
  return false;
}

// The type of a JEUS message of at least 20 bytes, 0 when unknown.
inline uint32_t jeus_type(const uint8_t* p, size_t n) {
  if (n < 20 || !jeus_magic(p, n)) return 0;
  const uint8_t* t = p + 16;
  if (p[0] == 0x82)  // the little-endian magic
    return t[0] | (t[1] << 8) | (t[2] << 16) | (static_cast<uint32_t>(t[3]) << 24);
  return (static_cast<uint32_t>(t[0]) << 24) | (t[1] << 16) | (t[2] << 8) | t[3];
}

// A read of exactly one JEUS magic, which starts no transaction on its own.
inline bool jeus_magic_alone(const void* p, ssize_t n) {
  return n == 4 && jeus_magic(static_cast<const uint8_t*>(p), 4);
}

// The database accounting of a write on a database descriptor while the
// thread's transaction is active: a new call, a call of another kind that
// completes the previous one, or a further write of the same call.
inline void database_write(mthr* m, int info, bool mark_svc) {
  const char k = dbms_class(info);
  if (m->dbmsf == 0) {
    tav_mzp1_dbms_send(m);
    if (mark_svc) m->gtuid.svc = 1;
  } else if (m->dbmsf != k) {
    tav_mzp1_dbms_recv(m);
    tav_mzp1_dbms_send(m);
  } else {
    tav_mzp1_dbms_conti_send(m);
  }
}

// Ends the thread's transaction with the reply event.
void end_transaction(mthr* m);

}  // namespace tav
