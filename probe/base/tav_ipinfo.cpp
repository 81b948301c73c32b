#include "base/tav_ipinfo.h"

#include <cstring>

#include "base/tav_log.h"

taviplist_t* en_mip;
taviplist_t* en_cip;

namespace {

// ---- text ----------------------------------------------------------------
// Plain ASCII rules throughout: the host's locale must not change how a
// setting reads.

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// True when `word` begins with `key`, letters compared without regard to case.
bool starts_with_nocase(const char* word, const char* key) {
  for (; *key; ++word, ++key)
    if (upper(*word) != *key) return false;  // also stops at the end of `word`
  return true;
}

// Reads an optionally signed decimal number the way "%d" does (leading white
// space skipped). Returns false when there is no digit or the value does not
// fit an int; *end is left behind the last digit.
bool read_int(const char* s, const char** end, int* out) {
  while (is_blank(*s)) ++s;
  const bool neg = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  if (!is_digit(*s)) return false;
  long long v = 0;
  bool fits = true;
  for (; is_digit(*s); ++s) {
    if (v <= 2147483648LL)
      v = v * 10 + (*s - '0');
    else
      fits = false;
  }
  if (neg) v = -v;
  if (!fits || v > 2147483647LL || v < -2147483648LL) return false;
  *end = s;
  *out = static_cast<int>(v);
  return true;
}

// Decimal value of the leading digits (0 when there are none); values beyond
// the int range are held at its ends.
int decimal(const char* s) {
  while (is_blank(*s)) ++s;
  const bool neg = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  long long v = 0;
  for (; is_digit(*s); ++s)
    if (v <= 2147483648LL) v = v * 10 + (*s - '0');
  if (neg) v = -v;
  if (v > 2147483647LL) return 2147483647;
  if (v < -2147483648LL) return -2147483647 - 1;
  return static_cast<int>(v);
}

// ---- the port field: "*", a range "a-b", or a single number -------------

struct PortField {
  int port;
  int from;
  int to;
};

// "*", "a-b" with 1 <= a <= b, or 1 to 6 digits; false for anything else.
bool parse_port(const char* s, PortField* p) {
  if (strcmp(s, "*") == 0) {
    *p = {0, 1, 65535};
    return true;
  }
  const char* end;
  int a, b;
  if (read_int(s, &end, &a) && *end == '-' && read_int(end + 1, &end, &b)) {
    if (a < 1 || a > b) return false;
    *p = {TAV_PORT_RANGE, a, b};
    return true;
  }
  const size_t n = strnlen(s, 7);
  if (n < 1 || n > 6) return false;
  for (size_t i = 0; i < n; ++i)
    if (!is_digit(s[i])) return false;
  *p = {decimal(s), 0, 0};
  return true;
}

// The port as the "mip:" and "cip:" lines show it.
int shown_port(int port) { return port == TAV_PORT_RANGE ? 0 : port; }

// ---- kinds ---------------------------------------------------------------

struct Keyword {
  const char* word;  // upper case
  int kind;
};

// Tried in this order, each over its own length: "ORACLE_MS" must come
// before "ORACLE".
constexpr Keyword kKeywords[] = {
    {"START", MFD_START},   {"SERVICE", MFD_SERVICE},   {"ORACLE_MS", MFD_ORACLE_MS},
    {"ORACLE", MFD_ORACLE}, {"SYBASE", MFD_SYBASE},     {"DB2", MFD_DB2},
    {"UDB", MFD_UDB},       {"ALTIBASE", MFD_ALTIBASE}, {"HTTP", MFD_HTTP},
    {"KEEP", MFD_KEEP},     {"JRMI", MFD_JRMI},
};

int kind_of(const char* word) {
  for (const Keyword& k : kKeywords)
    if (starts_with_nocase(word, k.word)) return k.kind;
  return 0;
}

// ---- value syntax --------------------------------------------------------

// The fields of one entry that the parsers use; later fields are ignored.
struct Fields {
  static constexpr int kMax = 4;
  char* f[kMax];
  int n;  // fields present (at most kMax)
};

// Next piece of the text at `*p` up to `sep`, cut in place; null at the end.
// Empty pieces are skipped.
char* next_piece(char** p, char sep) {
  char* s = *p;
  while (*s == sep) ++s;
  if (!*s) {
    *p = s;
    return nullptr;
  }
  char* start = s;
  while (*s && *s != sep) ++s;
  if (*s) *s++ = 0;
  *p = s;
  return start;
}

// Trims a piece in place (front by moving the start, back by cutting).
char* trim(char* s) {
  while (is_blank(*s)) ++s;
  char* e = s + strlen(s);
  while (e > s && is_blank(e[-1])) --e;
  *e = 0;
  return s;
}

void split_fields(char* entry, Fields* out) {
  out->n = 0;
  char* p = entry;
  while (out->n < Fields::kMax) {
    char* piece = next_piece(&p, ':');
    if (!piece) break;
    piece = trim(piece);
    if (*piece) out->f[out->n++] = piece;
  }
}

// Calls fn(fields) for every entry of the value; returns the number of
// entries seen.
template <class Fn>
int for_each_entry(char* text, Fn fn) {
  if (!text) return 0;
  int seen = 0;
  char* p = text;
  while (char* entry = next_piece(&p, ',')) {
    ++seen;
    Fields f;
    split_fields(entry, &f);
    fn(f);
  }
  return seen;
}

// ---- lists ---------------------------------------------------------------

taviplist_t* current(taviplist_t* const* slot) { return __atomic_load_n(slot, __ATOMIC_ACQUIRE); }

// The list in `slot`, created when missing. Two writers racing to create it
// end up with the same list.
taviplist_t* ensure_list(taviplist_t** slot) {
  taviplist_t* have = current(slot);
  if (have) return have;
  taviplist_t* made = tav_iplist_create();
  if (!made) return nullptr;
  if (__atomic_compare_exchange_n(slot, &have, made, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
    return made;
  tav_iplist_destroy(made);
  return have;
}

bool single_port(const taviplist* e) { return e->port != 0 && e->port != TAV_PORT_RANGE; }

// Single port equal, or for "*" and ranges from <= port <= to.
bool port_rule(const taviplist* e, int port) {
  if (single_port(e)) return e->port == port;
  return e->from <= port && port <= e->to;
}

// Adds a server-information or adapter entry; false when it is invalid.
bool add_coded(taviplist_t* list, const Fields& f, int kind, PortField* ps, int* rc) {
  if (f.n < 4 || !parse_port(f.f[1], ps)) return false;
  *rc = tav_iplist_add(list, f.f[0], ps->port, ps->from, ps->to, kind, decimal(f.f[2]),
                       decimal(f.f[3]));
  return true;
}

}  // namespace

int tav_ipinfo(char* text, int mode) {
  taviplist_t* list = ensure_list(&en_mip);
  if (!list) {
    TAV_LOG_E("M", "en_mip create error.\n");
    return -1;
  }
  return for_each_entry(text, [&](const Fields& f) {
    PortField ps;
    if (f.n < 2 || !parse_port(f.f[1], &ps)) return;
    const int kind = f.n >= 3 ? kind_of(f.f[2]) : static_cast<int>(MFD_SERVICE);
    const int rc = mode == 1 ? tav_iplist_add(list, f.f[0], ps.port, ps.from, ps.to, kind, 0, 0)
                             : tav_iplist_del(list, f.f[0], ps.port, ps.from, ps.to);
    TAV_LOG_T("M", "mip: %s:%d(%d:%d) (0x%08x) (%d). rc(%d)\n", f.f[0], shown_port(ps.port),
              ps.from, ps.to, static_cast<unsigned>(kind), mode, rc);
  });
}

int tav_sipinfo(char* text) {
  taviplist_t* list = current(&en_mip);
  if (!list) return -1;
  for_each_entry(text, [&](const Fields& f) {
    PortField ps;
    int rc;
    if (!add_coded(list, f, MFD_SERVER_INFO, &ps, &rc)) return;
    TAV_LOG_T("M", "msip: %s:%d (0x%08x) scode(%d) pcode(%d). rc(%d)\n", f.f[0], decimal(f.f[1]),
              static_cast<unsigned>(MFD_SERVER_INFO), decimal(f.f[2]), decimal(f.f[3]), rc);
  });
  return 0;
}

int tav_aipinfo(char* text) {
  taviplist_t* list = current(&en_mip);
  if (!list) return -1;
  for_each_entry(text, [&](const Fields& f) {
    PortField ps;
    int rc;
    if (!add_coded(list, f, MFD_ADAPTER, &ps, &rc)) return;
    TAV_LOG_T("M", "aip %s:%d\n", f.f[0], ps.port);
  });
  return 0;
}

int tav_eipinfo(int mode, char* text) {
  taviplist_t* list = ensure_list(&en_cip);
  if (!list) {
    TAV_LOG_E("M", "en_cip create error.\n");
    return -1;
  }
  const int m = mode == TAV_IP_INCLUDE ? TAV_IP_INCLUDE : TAV_IP_EXCLUDE;
  return for_each_entry(text, [&](const Fields& f) {
    PortField ps;
    if (f.n < 2 || !parse_port(f.f[1], &ps)) return;
    const int rc = tav_iplist_add(list, f.f[0], ps.port, ps.from, ps.to, m, 0, 0);
    TAV_LOG_T("M", "cip: %s:%d(%d:%d) (%d). rc(%d)\n", f.f[0], shown_port(ps.port), ps.from, ps.to,
              m, rc);
  });
}

namespace tav {

const taviplist* mip_lookup(const char* t, const char* b, int port, int dbmsp) {
  if (!t) return nullptr;
  const bool any_address = strcmp(t, "127.0.0.1") == 0 || strcmp(t, "0.0.0.0") == 0;
  const bool loopback = strcmp(t, "127.0.0.1") == 0;
  return iplist_first(current(&en_mip), [&](const taviplist* e) {
    if (!iplist_used(e)) return false;
    const bool same = strcmp(e->ip, t) == 0;
    if (iplist_mode(e) == MFD_JRMI) return same || loopback;
    if (!(same || any_address || (b && strcmp(e->ip, b) == 0))) return false;
    // A database that redirected its client names the new port in the hint
    // (1 only marks a redirect header still waiting for its port): the
    // connect to that port is classified by the database's single-port entry.
    if (single_port(e) && dbmsp > 1 && port == dbmsp) return true;
    return port_rule(e, port);
  });
}

const taviplist* mip_lookup_path(const char* path) {
  if (!path) return nullptr;
  return iplist_first(current(&en_mip), [&](const taviplist* e) {
    return iplist_used(e) && strcmp(e->ip, path) == 0;
  });
}

const taviplist* iplist_match(const taviplist_t* list, const char* ip, int port, int mode) {
  if (!ip) return nullptr;
  return iplist_first(list, [&](const taviplist* e) {
    return iplist_used(e) && (mode == -1 || iplist_mode(e) == mode) && strcmp(e->ip, ip) == 0 &&
           port_rule(e, port);
  });
}

}  // namespace tav
