// Tmax build: the functions through which Tmax programs read the current transaction.
#include "servers/tmax/tav_tmax_api.h"

#include <cstdio>
#include <cstring>

#include "base/tav_digits.h"
#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"

namespace {

constexpr size_t kTextField = 32;  // trcode, srname, svname as handed out

// The caller's record when it may be read for transaction work, else null.
mthr* usable_record() {
  if (!tav::prologue()) return nullptr;
  mthr* m = tav_thrinfo();
  return m && tav::thread_usable(m) ? m : nullptr;
}

void gtuid_text_of(const gtuid_t& g, char* out) {
  char digits[2 * tav::kGtuidBytes + 1];
  tav::gtuid_digits(g.gtuid, digits);
  memcpy(out, digits, 2 * tav::kGtuidBytes);
}

}  // namespace

extern "C" {

TAV_EXPORT int tav_GTUID_getGTUID(void* out) {
  tav::ErrnoKeeper keep;
  mthr* m = usable_record();
  if (!m) return -1;
  if (!out) {
    TAV_LOG_E("M", "getGTUID. null buffer\n");
    return -1;
  }
  if (!tav::gtuid_active(m)) return -1;
  memcpy(out, &m->gtuid, sizeof m->gtuid);
  TAV_LOG_H("M", &m->gtuid, static_cast<int>(sizeof m->gtuid), "getGTUID");
  return 0;
}

TAV_EXPORT int tav_GTUID_getGTUID_INFO(char* gtuid_text, char* ip_text, char* trcode) {
  tav::ErrnoKeeper keep;
  mthr* m = usable_record();
  if (!m) return -1;
  if (!gtuid_text || !ip_text || !trcode) {
    TAV_LOG_E("M", "getGTUID_INFO. null buffer\n");
    return -1;
  }
  if (!tav::gtuid_active(m)) return -1;
  const gtuid_t& g = m->gtuid;
  gtuid_text_of(g, gtuid_text);
  char ip[16] = {};
  snprintf(ip, sizeof ip, "%d.%d.%d.%d", g.ip[0], g.ip[1], g.ip[2], g.ip[3]);
  memcpy(ip_text, ip, 15);
  memcpy(trcode, g.trcode, kTextField);
  return 0;
}

TAV_EXPORT int tav_GTUID_getGTUID_INFO2(char* gtuid_text, char* seq_text, char* trcode,
                                        char* srname, char* svname) {
  tav::ErrnoKeeper keep;
  mthr* m = usable_record();
  if (!m) return -1;
  if (!gtuid_text || !seq_text || !trcode || !srname || !svname) {
    TAV_LOG_E("M", "getGTUID_INFO2. null buffer\n");
    return -1;
  }
  if (!tav::gtuid_active(m)) return -1;
  const gtuid_t& g = m->gtuid;
  gtuid_text_of(g, gtuid_text);
  char seq[8];
  snprintf(seq, sizeof seq, "%05u", static_cast<unsigned>(g.seq.get()));
  memcpy(seq_text, seq, 5);
  memcpy(trcode, g.trcode, kTextField);
  memcpy(srname, m->mzp1.srname, kTextField);
  memcpy(svname, m->mzp1.svname, kTextField);
  return 0;
}

TAV_EXPORT int tav_GTUID_gtuidADDR(unsigned char** gflag, unsigned char** gtuid, void** seq,
                                   char** trcode, unsigned char** ip, char** srname,
                                   char** svname) {
  tav::ErrnoKeeper keep;
  mthr* m = usable_record();
  if (!m) return -1;
  gtuid_t& g = m->gtuid;
  if (gflag) *gflag = &g.gflag;
  if (gtuid) *gtuid = g.gtuid;
  if (seq) *seq = &g.seq;
  if (trcode) *trcode = g.trcode;
  if (ip) *ip = g.ip;
  if (srname) *srname = m->mzp1.srname;
  if (svname) *svname = m->mzp1.svname;
  TAV_LOG_D("M", "gtuidADDR. (0x%p)\n", static_cast<void*>(&g));
  return 0;
}

TAV_EXPORT int tav_GTUID_setBL(void) {
  tav::ErrnoKeeper keep;
  if (!tav::prologue()) return -1;
  mthr* m = tav_thrinfo();
  // The shared overflow record would exclude every thread that uses it.
  if (!m || m == tav::overflow_record()) return -1;
  m->bl = 1;
  TAV_LOG_D("M", "setBL\n");
  return 0;
}

}  // extern "C"
