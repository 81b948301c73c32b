// Transaction identifiers: creation, start stamp, hop timing and the
// path-pattern hash.
#include <sys/time.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/tav_digits.h"
#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "base/tav_lookup2.h"
#include "base/tav_time.h"
#include "core/tav_clock31.h"
#include "core/tav_gtuid.h"
#include "core/tav_tables.h"

namespace {

using tav::kMod31;

// Current time in microseconds since the epoch. Unless benchmark-time mode is
// on, the same reading also becomes the date-time text of the thread's
// type-1 message.
uint64_t now_usec(mthr* m) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  if (!en_bmt_mode) tav_date_cached(&m->date, &tv, m->mzp1.dtime);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

// Parses exactly four dot-separated decimal numbers of at most three digits
// and at most 255 each, and nothing else. `text` ends at a NUL or after `cap`
// bytes, whichever comes first.
bool parse_ipv4(const char* text, size_t cap, uint8_t (&out)[4]) {
  const size_t len = strnlen(text, cap);
  size_t at = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= len || text[at] != '.') return false;
      ++at;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (at < len && text[at] >= '0' && text[at] <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++at;
    }
    if (digits == 0 || value > 255) return false;
    out[part] = static_cast<uint8_t>(value);
  }
  return at == len;
}

}  // namespace

int tav_gtuid_create(mthr* m) {
  gtuid_t& g = m->gtuid;
  timespec ts{};
  tav_get_time(&m->mtime, &ts);
  g.gflag = 1;

  // The node id counts by its absolute value, so a negative id still gives
  // digits only. An id longer than three digits loses its last digits: only
  // the first 22 characters are packed.
  const long long nid = en_my_nid;
  const unsigned long long node = nid < 0 ? 0ULL - static_cast<unsigned long long>(nid)
                                          : static_cast<unsigned long long>(nid);
  // Seconds (10 digits at least), nanoseconds (9) and node (3 at least).
  char text[64];
  size_t have = tav::put_number(text, static_cast<uint64_t>(ts.tv_sec), 10);
  have += tav::put_number(text + have, static_cast<uint64_t>(ts.tv_nsec), 9);
  have += tav::put_number(text + have, node, 3);
  auto digit = [&](size_t i) -> uint8_t {
    return i < have && text[i] >= '0' && text[i] <= '9' ? static_cast<uint8_t>(text[i] - '0') : 0;
  };
  for (size_t i = 0; i < sizeof g.gtuid; ++i)
    g.gtuid[i] = static_cast<uint8_t>(digit(2 * i) * 10 + digit(2 * i + 1));

  auto* bytes = reinterpret_cast<uint8_t*>(&g);
  memset(bytes + offsetof(gtuid_t, seq), 0, sizeof(gtuid_t) - offsetof(gtuid_t, seq));

  if (const mfd* r = tav::fd_record(m->fildes)) {
    uint8_t ip[4];
    if (parse_ipv4(r->rip, sizeof r->rip, ip)) memcpy(g.ip, ip, sizeof g.ip);
  }

  TAV_LOG_G("M", &g, "create.\n");
  TAV_LOG_H("M", &g, static_cast<int>(sizeof g), "gtuid info(c)");
  return 0;
}

void tav_gtuid_time_init(mthr* m) {
  const uint64_t now = now_usec(m);
  m->gtuid.stime = now;
  m->gtuid.ctime = static_cast<uint32_t>(now % kMod31);
  m->mzp1.etime = 0;
  m->mzp1.rtime = 0;
}

void tav_gtuid_time(mthr* m) { tav::gtuid_time_at(m, now_usec(m)); }

namespace tav {

void gtuid_time_at(mthr* m, uint64_t now) {
  gtuid_t& g = m->gtuid;
  m->dbms_ltime = static_cast<long>(now);

  const uint64_t stime = g.stime;
  const uint64_t running = now > stime ? (now - stime) % kMod31 : 0;
  m->dbmsstime = static_cast<int>(running);
  m->mzp1.rtime = static_cast<uint32_t>(running);
  TAV_LOG_D("M", "1. ctime(%lld) ptime(%d) ltime(%d) value(%lld) gctime(%lld) gstime(%lld)\n",
            static_cast<long long>(now), m->dbmsptime, m->dbmsstime,
            static_cast<long long>(now - stime), static_cast<long long>(g.ctime.get()),
            static_cast<long long>(stime));

  // A stamp from a peer is taken modulo 2^31 like our own, so a malformed
  // one with the top bit set cannot push the arithmetic out of range.
  const uint64_t n = now % kMod31;
  const uint64_t p = g.ctime.get() % kMod31;
  const uint64_t hop = tav::elapsed31(n, p);
  // The pending database time is added as a signed amount; the sum is then
  // reduced to 0 .. 2^31 - 1.
  const uint64_t elapsed =
      static_cast<uint64_t>(static_cast<int64_t>(hop) + m->dbmsptime) & (kMod31 - 1);
  m->mzp1.etime = static_cast<uint32_t>(elapsed);
  g.ctime = static_cast<uint32_t>(n);
  TAV_LOG_D("M", "2. ctime(%lld) ptime(%d) ltime(%d) value(%lld) gctime(%lld)\n",
            static_cast<long long>(now), m->dbmsptime, static_cast<int>(hop),
            static_cast<long long>(elapsed), static_cast<long long>(n));
  m->dbmsptime = 0;
}

}  // namespace tav

uint32_t tav_pattern_value(const void* data, int len) { return tav_lookup2(data, len); }
