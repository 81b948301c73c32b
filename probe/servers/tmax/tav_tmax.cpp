// Tmax build: process classes, settings, message headers and exclusions.
#include "servers/tmax/tav_tmax.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "base/tav_errno.h"
#include "base/tav_globals.h"
#include "base/tav_items.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_util.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"

extern "C" {
int tav_tmax_proc = TAV_TMAX_SERVER;
int tav_gtuid_create_proc;
int tav_gtuid_keep_proc;
tavlist_t* en_gelist;
}

namespace tav::tmax {
namespace {

constexpr char kMagicText[4] = {'T', 'S', 'H', ' '};

// How long, and in which steps, the header check waits for the rest of the
// first bytes of a message.
constexpr int kHeadWaitMs = 1000;
constexpr int kHeadPollMs = 5;

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

// Adds prefix entries of `type` to the exclusion list.
void add_entries(const char* key, char type) {
  tav::each_setting_item(key, [&](std::string_view item) {
    char* copy = strndup(item.data(), item.size());
    if (copy && tav_list_add(en_gelist, type, copy, static_cast<int>(item.size())) != 0) free(copy);
    if (copy) TAV_LOG_D("M", "%s (%s)\n", key, copy);
  });
}

// A 4-byte kind, in either byte order.
bool kind_equals(const uint8_t* p, uint32_t kind) {
  const uint8_t big[4] = {static_cast<uint8_t>(kind >> 24), static_cast<uint8_t>(kind >> 16),
                          static_cast<uint8_t>(kind >> 8), static_cast<uint8_t>(kind)};
  const uint8_t little[4] = {big[3], big[2], big[1], big[0]};
  return memcmp(p, big, 4) == 0 || memcmp(p, little, 4) == 0;
}

}  // namespace

int process_class(const char* name) {
  const std::string_view n = name ? name : "";
  if (starts_with(n, "clh")) return TAV_TMAX_CLH;
  if (starts_with(n, "tmgw")) return TAV_TMAX_GW;
  if (starts_with(n, "jeusgw")) return TAV_TMAX_JEUSGW;
  if (starts_with(n, "cmapper")) return TAV_TMAX_MAPPER;
  for (const char* own : {"tmm", "tlm", "tms", "cll", "rqs", "cas", "tmadmin", "racd", "TIP",
                          "tms_ora", "tmboot", "tmdown"})
    if (starts_with(n, own)) return TAV_TMAX_SYSTEM;
  if (n.find("RDP") != std::string_view::npos) return TAV_TMAX_SYSTEM;
  return TAV_TMAX_SERVER;
}

bool header_form(const uint8_t* p, size_t n, Form& f) {
  if (!p || n < 4) return false;
  if (jeus_magic(p, n)) {
    // The long magic in either byte order, or the short header 00 00 27 0F.
    f = p[0] == 0 ? Form{3, 96, 84, 16} : Form{4, 136, 100, 32};
  } else if (memcmp(p, kMagicText, 4) == 0) {
    f.hform = 7;
  } else {
    return false;
  }
  return true;
}

bool kind_is(const void* buf, size_t n, uint32_t kind) {
  return buf && n >= kKindAt + 4 && kind_equals(static_cast<const uint8_t*>(buf) + kKindAt, kind);
}

ssize_t peek_head(int fd, uint8_t* buf, size_t want, int recv_flags) {
  ssize_t got = tav::real::recv(fd, buf, want, MSG_PEEK | MSG_DONTWAIT);
  // The first bytes of a message that came alone: a blocking host is about
  // to wait for the rest anyway, so the form is waited for, within a bound.
  auto started = [&] {
    const size_t k = static_cast<size_t>(got);
    if (want <= 4) return magic_prefix(buf, k);
    return tav::marker_prefix(buf, k) && (k <= tav::kBlock || magic_prefix(buf + tav::kBlock, k - tav::kBlock));
  };
  for (int waited = 0; got > 0 && static_cast<size_t>(got) < want && waited < kHeadWaitMs && started() &&
                       !tav::read_must_not_wait(fd, recv_flags);
       waited += kHeadPollMs) {
    tav::sleep_ms(kHeadPollMs);
    got = tav::real::recv(fd, buf, want, MSG_PEEK | MSG_DONTWAIT);
  }
  return got;
}

}  // namespace tav::tmax

extern "C" {

int tav_tmax_init(void) {
  tav_tmax_proc = tav::tmax::process_class(en_my_pname);
  const char* server = getenv("SVRNAME");
  if (!server || !getenv("TAV_CONFIG_FILE")) return 0;
  const std::string_view svr(server);
  tav::each_setting_item("QEL_THREAD_COUNT", [&](std::string_view item) {
    const size_t colon = item.find(':');
    if (colon == std::string_view::npos || item.substr(0, colon) != svr) return;
    const long count = strtol(std::string(item.substr(colon + 1)).c_str(), nullptr, 10);
    if (count > en_thread_max) en_thread_max = static_cast<int>(std::min<long>(count, tav::kTableCap));
  });
  tav::each_setting_item("QEL_GTUID_CREATE_SERVER", [&](std::string_view item) {
    if (tav::tmax::starts_with(svr, item)) tav_gtuid_create_proc = 1;
  });
  tav::each_setting_item("QEL_GTUID_KEEP_SERVER", [&](std::string_view item) {
    if (tav::tmax::starts_with(svr, item)) tav_gtuid_keep_proc = 1;
  });
  return 0;
}

int tav_tmax_geinfo(void) {
  if (en_gelist) return 0;  // built once
  en_gelist = tav_list_create();
  if (!en_gelist) return 0;
  if (tav_tmax_proc == TAV_TMAX_CLH) tav::tmax::add_entries("QEL_GTUID_EXCEPT", 0);
  if (tav_tmax_proc == TAV_TMAX_SERVER) tav::tmax::add_entries("QEL_GTUID_KEEP_SERVICE", 0);
  if (tav_gtuid_keep_proc == 1) tav::tmax::add_entries("QEL_GTUID_KEEP_TRCODE", 1);
  return 0;
}

int tav_tmax_hdr_check(int mode, int fd, const void* buf, size_t n) {
  return tav::tmax::header_check(mode, fd, buf, n, 0);
}

}  // extern "C"

int tav::tmax::header_check(int mode, int fd, const void* buf, size_t n, int recv_flags) {
  mfd* r = tav::fd_record(fd);
  if (!r) return 0;
  uint8_t peeked[100];
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  if (mode == 0) {
    tav::ErrnoKeeper keep;
    // On a framed connection the header follows the block.
    const size_t want = (r->info & MFD_SERVICE) ? sizeof peeked : 4;
    const ssize_t got = tav::tmax::peek_head(fd, peeked, want, recv_flags);
    if (got < static_cast<ssize_t>(want)) {
      TAV_LOG_D("M", "fd(%04d 0x%08x) recv check. rc(%d)\n", fd, r->info, static_cast<int>(got));
      return 0;
    }
    p = peeked;
    n = static_cast<size_t>(got);
    if (n >= tav::kBlock + 4 && memcmp(p, TAV_GTUID_INIT, 4) == 0) {
      p += tav::kBlock;
      n -= tav::kBlock;
    }
  }
  tav::tmax::Form f{r->hform, r->hsize, r->doffs, r->svcsz};
  if (!tav::tmax::header_form(p, n, f)) {
    if (mode == 0) return 0;  // the next read looks again
    TAV_LOG_D("M", "fd(%04d 0x%08x) hform(%d). unknown\n", fd, r->info, r->hform);
  } else {
    r->hform = f.hform;
    r->hsize = f.hsize;
    r->doffs = f.doffs;
    r->svcsz = f.svcsz;
  }
  r->info |= MFD_HFORM;
  TAV_LOG_D("M", "fd(%04d 0x%08x) hform(%d).\n", fd, r->info, r->hform);
  return r->hform;
}

extern "C" {

int tav_tmax_gexcept(mthr* m, int fd, const void* buf, size_t n) {
  mfd* r = tav::fd_record(fd);
  const auto* p = static_cast<const uint8_t*>(buf);
  if (!r || !p || r->svcsz <= 0) return 0;
  // The service name, and the fields below, only where the bytes are there.
  using tav::tmax::kServiceAt;
  const size_t svc_len = n > kServiceAt ? std::min(static_cast<size_t>(r->svcsz), n - kServiceAt) : 0;
  const char* svc = svc_len ? reinterpret_cast<const char*>(p) + kServiceAt : "";
  const std::string_view service(svc, strnlen(svc, svc_len));
  if (tav_tmax_proc == TAV_TMAX_CLH) {
    const bool has_body = r->doffs > 0 && n >= static_cast<size_t>(r->doffs) + 4;
    const int32_t body = has_body ? tav::host_int32(p + r->doffs) : 0;
    const bool control = tav::tmax::kind_is(p, n, 1) || tav::tmax::kind_is(p, n, 2);
    const bool own = tav::tmax::starts_with(service, "tavTM");
    if (control || (has_body && body < 2) || own) {
      TAV_LOG_D("M", "SVC(%.16s) except.\n", std::string(service).c_str());
      if (own) *r = mfd{};
      return 1;
    }
  }
  if (!en_gelist) return 0;
  const bool code_check = tav_gtuid_keep_proc == 1 && tav::tmax::kind_is(p, n, 4) && m;
  int excluded = 0;
  pthread_mutex_lock(&en_gelist->lock);
  for (tavlist* e = en_gelist->head; e && !excluded; e = e->next) {
    const std::string_view prefix(static_cast<const char*>(e->data), static_cast<size_t>(e->size));
    if (e->type == 0 && tav::tmax::starts_with(service, prefix)) {
      TAV_LOG_D("M", "SVC(%.*s) except. (%.16s)\n", e->size, prefix.data(), std::string(service).c_str());
      excluded = 1;
    } else if (e->type == 1 && code_check &&
               tav::tmax::starts_with(std::string_view(m->gtuid.trcode, strnlen(m->gtuid.trcode, 32)),
                                      prefix)) {
      TAV_LOG_D("M", "SVC(%.*s) except. (%.*s)\n", e->size, prefix.data(), 32, m->gtuid.trcode);
      excluded = 1;
    }
  }
  pthread_mutex_unlock(&en_gelist->lock);
  return excluded;
}

}  // extern "C"
