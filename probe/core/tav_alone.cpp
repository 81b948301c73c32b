// Plain exported functions with which a host program marks transaction
// boundaries and reports transaction codes itself, on the calling thread.
#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_export.h"
#include "base/tav_log.h"
#include "core/tav_gtuid.h"
#include "core/tav_load.h"
#include "core/tav_mzp_send.h"
#include "core/tav_tables.h"

namespace {

// The calling thread's record after the prologue, or null when there is no
// record to work on: the library is passing calls through, or the thread
// shares the overflow record, whose buffers nobody may write unlocked.
mthr* own_record() {
  if (!tav::prologue()) return nullptr;
  mthr* m = tav_thrinfo();
  return m == tav::overflow_record() ? nullptr : m;
}

bool active(const mthr* m) { return tav::gtuid_active(m); }

// A database kind character of an open call (see the DBMS accounting).
bool database_call_open(const mthr* m) { return m->dbmsf != 0; }

void end_log(const mthr* m, const char* title) {
  TAV_LOG_G("M", &m->gtuid, "clear.\n");
  TAV_LOG_H("M", &m->gtuid, sizeof m->gtuid, "%s", title);
}

// Sets the transaction code of the active transaction and reports it with
// `send`. Codes longer than the 32-byte field are cut to it.
template <typename Send>
int set_trcode(const char* code, int len, Send send) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (m) {
    TAV_LOG_D("M", "TAV_GTUID_GET_TRCODE ......... trcode (%d:%.*s)\n", len,
              code && len > 0 ? len : 0, code ? code : "");
    if (active(m) && code && len >= 1) {
      const size_t n = static_cast<size_t>(len) < sizeof m->gtuid.trcode ? static_cast<size_t>(len)
                                                                        : sizeof m->gtuid.trcode;
      memcpy(m->gtuid.trcode, code, n);
      m->gtuid.routing = 4;
      m->gtuid.trblock = '0';
      send(m);
    }
  }
  return 0;
}

}  // namespace

extern "C" {

TAV_EXPORT int TAV_GTUID_CREATE_ALONE(void) {
  tav::ErrnoKeeper keep;
  if (mthr* m = own_record()) {
    tav_gtuid_create(m);
    tav_mzp1_proc(m, TAV_MZP_RS);
  }
  return 0;
}

TAV_EXPORT int TAV_GTUID_END_ALONE(void) {
  tav::ErrnoKeeper keep;
  mthr* m = own_record();
  if (m) {
    m->fildes = 0;
    if (database_call_open(m) && active(m)) tav_mzp1_dbms_recv(m);
    if (active(m)) {
      if (en_qel_full) m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq + 1);
      tav_gtuid_time(m);
      tav_mzp1_proc(m, TAV_MZP_SE);
      m->gtuid.gflag = 0;
      end_log(m, "GTUID_END info(c)");
    }
  }
  return 0;
}

TAV_EXPORT int TAV_GTUID_CLEAR_ALONE(void) {
  tav::ErrnoKeeper keep;
  if (mthr* m = own_record()) {
    m->gtuid.gflag = 0;
    end_log(m, "CLEAR info(c)");
  }
  return 0;
}

TAV_EXPORT int TAV_GTUID_GET_TRCODE(const char* code, int len) {
  return set_trcode(code, len, [](mthr* m) { tav_mzp2_send(m); });
}

TAV_EXPORT int TAV_GTUID_GET_TRCODE2(const char* code, int len) {
  return set_trcode(code, len, [](mthr* m) { tav_mzp4_send(m); });
}

// The type-6 message carries a URL, which this call does not know: it is
// sent empty rather than with a made-up address.
TAV_EXPORT int TAV_GTUID_GET_TRCODE3(const char* code, int len) {
  return set_trcode(code, len, [](mthr* m) { tav_mzp6_send(m, "", 0); });
}

}  // extern "C"
