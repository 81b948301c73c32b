// Tmax build: message following, recognition of monitored peers and the
// library's changes to outbound messages.
#include "servers/tmax/tav_tmax_io.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_items.h"
#include "base/tav_log.h"
#include "base/tav_util.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_mzp_send.h"
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_handoff.h"

extern "C" {
tmax_gtuid* en_tmax_gtuid;
}

namespace tav::tmax {
namespace {

// What the record's `rbyte` adds to the body bytes still to come; the value
// itself means that the message is complete.
constexpr int kDone = 96;
// Body lengths beyond this cannot be counted in `rbyte`: such a header is
// not followed.
constexpr int32_t kBodyMax = INT_MAX - 512;
// How long a read on a blocking descriptor waits, at most, for the rest of
// the body's first 16 bytes.
constexpr int kBodyWaitMs = 1000;

// Message kinds whose transaction goes on with the message (calls and their
// replies).
constexpr uint32_t kHandedKinds[] = {3, 4, 9, 19, 29, 1003, 1004};

// Asked about a message whose kind is none of the above. Nothing defines it
// for this system; a message of unknown meaning does not carry the
// transaction on, so it ends in this process (with its SE event) rather than
// being attached to a message that may never be answered.
constexpr bool reply_tpacall2(const uint8_t*, size_t) { return false; }

bool marked(const void* p) { return marker_prefix(p, sizeof TAV_GTUID_INIT); }

bool handed_kind(const uint8_t* head, size_t n) {
  for (uint32_t k : kHandedKinds)
    if (kind_is(head, n, k)) return true;
  return false;
}

// Client handlers and gateways pass the messages they read on to another
// connection: they follow messages and hand transactions on.
bool passes_messages_on() {
  return tav_tmax_proc == TAV_TMAX_CLH || tav_tmax_proc == TAV_TMAX_GW || tav_tmax_proc == TAV_TMAX_JEUSGW;
}

// Ends the stored transaction, which the thread holds (inactive) once more.
void end_stored(mthr* m) {
  m->gtuid.gflag = 1;
  tav::end_transaction(m);
}

}  // namespace

bool make_records() {
  if (en_tmax_gtuid || !passes_messages_on()) return true;
  en_tmax_gtuid = marked_records<tmax_gtuid>();
  return en_tmax_gtuid != nullptr;
}

void forget(int fd) {
  if (!en_tmax_gtuid || !fd_record(fd)) return;
  tmax_gtuid& t = en_tmax_gtuid[fd];
  t.gtuid.gflag = 0;
  t.rbyte = t.gflag = t.hgot = 0;
}

void on_recv() {
  static std::atomic<bool> done{false};
  // Every later receive costs a plain load, not a locked exchange.
  if (tav_tmax_proc != TAV_TMAX_SERVER || done.load(std::memory_order_relaxed)) return;
  if (!done.exchange(true)) tav_tmax_trinit();
}

bool following(const mfd& r) {
  if (!en_tmax_gtuid) return false;
  if (tav_tmax_proc == TAV_TMAX_CLH) return r.info & (MFD_SERVICE | MFD_START);
  return r.info & MFD_SERVICE;  // the gateways
}

size_t before_read(mthr* m, int fd, const mfd& r, size_t n) {
  tmax_gtuid& t = en_tmax_gtuid[fd];
  TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) read. nbyte(%d) rsize(%d) rbyte(%d)\n", fd, r.info, r.rip,
            r.rport, static_cast<int>(n), r.rsize, t.rbyte);
  m->gtuid = t.gtuid;
  if (t.rbyte != 0) {
    if (t.rbyte - kDone > 0) n = std::min(n, static_cast<size_t>(t.rbyte - kDone));
  } else if (r.hsize > 0 && r.hsize <= static_cast<int>(kHeaderMax)) {
    // A new message is read header first, its header collected across reads.
    n = std::min(n, static_cast<size_t>(r.hsize - t.hgot));
  }
  return n;
}

size_t body_start_missing(int fd, ssize_t rc, size_t cap) {
  const tmax_gtuid& t = en_tmax_gtuid[fd];
  if (t.rbyte == 0 || t.gflag != 1 || !gtuid_active(t.gtuid)) return 0;
  const size_t need = std::min({kHandoffBytes, cap, static_cast<size_t>(std::max(t.rbyte - kDone, 0))});
  return static_cast<size_t>(rc) < need ? need - static_cast<size_t>(rc) : 0;
}

bool wait_body_bytes(int fd, int& waited_ms) {
  ErrnoKeeper keep;
  // A non-blocking host takes only what is there already.
  if (tav::read_must_not_wait(fd, 0)) return tav::readable_within(fd, 0);
  const long start = tav::now_ms();
  const bool ready = waited_ms < kBodyWaitMs && tav::readable_within(fd, kBodyWaitMs - waited_ms);
  waited_ms += static_cast<int>(tav::now_ms() - start);
  return ready;
}

Seen header_read(int fd, const mfd& r, bool follow, const void* buf, ssize_t rc) {
  if (rc <= 0 || r.hsize <= 0 || r.hsize > static_cast<int>(kHeaderMax)) return {};
  const auto* p = static_cast<const uint8_t*>(buf);
  const size_t hs = static_cast<size_t>(r.hsize);
  if (!follow) return static_cast<size_t>(rc) >= hs && jeus_magic(p, hs) ? Seen{p, 0} : Seen{};
  tmax_gtuid& t = en_tmax_gtuid[fd];
  if (t.rbyte != 0) return {};  // a body
  const size_t before = static_cast<size_t>(t.hgot);
  const size_t take = std::min(static_cast<size_t>(rc), hs - before);
  memcpy(t.head + before, p, take);
  const size_t have = before + take;
  if (!magic_prefix(t.head, std::min<size_t>(have, 4))) {
    t.hgot = 0;  // not a message of this protocol: nothing to follow
    return {};
  }
  if (have < hs) {
    t.hgot = static_cast<int>(have);
    return {};
  }
  t.hgot = 0;
  return {t.head, before};
}

bool entry_starts(mthr* m, int fd, const Seen& seen) {
  const mfd* r = fd_record(fd);
  return seen.head && r && tav_tmax_gexcept(m, fd, seen.head, static_cast<size_t>(r->hsize)) == 0;
}

void recognise(int fd, mfd& r, const Seen& seen, void* buf, ssize_t rc) {
  if (!seen.head) return;
  const uint8_t* h = seen.head;
  const size_t hs = static_cast<size_t>(r.hsize);
  if (tav_tmax_proc == TAV_TMAX_CLH) {
    if (hs == kHeaderMax && kind_is(h, hs, 0xCE) && marked(h + 132)) {
      r.info |= MFD_SERVICE;
      // The greeting's last byte, which came with this read, is cleared.
      const size_t at = 135 - seen.before;
      if (at < static_cast<size_t>(rc)) static_cast<uint8_t*>(buf)[at] = 0;
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) clh connect read.\n", fd, r.info, r.rip, r.rport);
    } else if (hs == kHeaderMax && kind_is(h, hs, 0x4B6) && memcmp(h + 132, TAV_GTUID_INIT, 3) == 0 &&
               h[135] == 0) {
      r.info |= MFD_SERVICE;
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) clh connect read. (reply)\n", fd, r.info, r.rip, r.rport);
    } else if (hs >= 84 && kind_is(h, hs, 1) && marked(h + 80)) {
      r.info |= MFD_SERVICE;
      // The rest of this message comes without a block in front.
      const int32_t body = host_int32(h + r.doffs);
      const long read_so_far = static_cast<long>(seen.before) + rc;
      const long rest = body >= 0 && body <= kBodyMax ? body + static_cast<long>(hs) - read_so_far : 0;
      r.rsize = static_cast<int>(std::max(rest, 0L));
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) clh client read.\n", fd, r.info, r.rip, r.rport);
    }
  } else if (tav_tmax_proc == TAV_TMAX_GW) {
    if (hs >= 8 && kind_is(h, hs, 0xCB) && marked(h + hs - 8)) {
      r.info |= MFD_SERVICE;
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) gw connect read.\n", fd, r.info, r.rip, r.rport);
    }
  }
}

void note_service(mthr* m, const mfd& r, const void* buf, ssize_t rc) {
  if (tav_tmax_proc != TAV_TMAX_SERVER || r.hsize <= 0 || rc < r.hsize || !tav::gtuid_active(m)) return;
  const auto* p = static_cast<const uint8_t*>(buf);
  if (!jeus_magic(p, static_cast<size_t>(rc))) return;
  // Kinds up to 1000 in either byte order, compared as the bytes stand.
  static constexpr uint8_t kBig[4] = {0, 0, 0x03, 0xE8}, kLittle[4] = {0xE8, 0x03, 0, 0};
  if (memcmp(p + kKindAt, kBig, 4) > 0 || memcmp(p + kKindAt, kLittle, 4) > 0) return;
  const size_t len = std::min({static_cast<size_t>(r.svcsz), sizeof m->mzp1.svname - 1,
                               static_cast<size_t>(rc) - kServiceAt});
  memset(m->mzp1.svname, 0, sizeof m->mzp1.svname);
  memcpy(m->mzp1.svname, p + kServiceAt, len);
}

void after_read(mthr* m, int fd, const mfd& r, const Seen& seen, void* buf, ssize_t rc) {
  tmax_gtuid& t = en_tmax_gtuid[fd];
  if (r.info == 0) {
    // The library's own service: the descriptor is no longer tracked.
    m->gtuid.gflag = 0;
    forget(fd);
    return;
  }
  t.gtuid = m->gtuid;
  m->gtuid.gflag = 0;
  TAV_LOG_G("M", &m->gtuid, "clear.\n");
  if (rc > 0 && t.rbyte != 0) {
    // A body: the transaction goes on with its first 16 bytes, or ends here.
    if (t.rbyte > 0) t.rbyte -= static_cast<int>(rc);
    if (gtuid_active(t.gtuid)) {
      if (!(t.gflag == 1 && rc > 15 && handoff_out(t.gtuid, buf, static_cast<size_t>(rc))))
        end_stored(m);
      t.gflag = 0;
      t.gtuid.gflag = 0;
    }
  } else if (rc > 0 && seen.head) {
    const int32_t body = host_int32(seen.head + r.doffs);
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) msg 0. rc(%d) rsize(%d) rbyte(%d)\n", fd, r.info, r.rip,
              r.rport, static_cast<int>(rc), r.rsize, body);
    if (body <= 0 || body > kBodyMax) {
      // An empty message, or no length a message can have: nothing follows
      // the header, and the transaction that came with it ends here.
      if (gtuid_active(t.gtuid)) end_stored(m);
      t.gtuid.gflag = 0;
    } else {
      if (gtuid_active(t.gtuid) && body > 16 &&
          (handed_kind(seen.head, static_cast<size_t>(r.hsize)) ||
           reply_tpacall2(seen.head, static_cast<size_t>(r.hsize))))
        t.gflag = 1;
      // The header was read on its own; anything read past it is body.
      const long past = static_cast<long>(seen.before) + rc - r.hsize;
      t.rbyte = static_cast<int>(std::max<long>(body + kDone - past, kDone));
      TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) msg 1. rc(%d) rsize(%d) rbyte(%d)\n", fd, r.info, r.rip,
                r.rport, static_cast<int>(rc), r.rsize, t.rbyte);
    }
  }
  if (t.rbyte == kDone) {
    if (t.gflag == 1 && t.gtuid.gflag == 1) t.gflag = t.gtuid.gflag = 0;
    t.rbyte = 0;
  }
}

Outbound::~Outbound() { free(copy_); }

namespace {

// Records a change of `len` bytes at `at` of the message the host writes.
void plan_change(mfd& r, size_t at, const uint8_t* host, const void* wire, size_t len) {
  r.plen = static_cast<int>(len);
  r.pat = static_cast<int>(at);
  memcpy(r.phost, host + at, len);
  memcpy(r.pwire, wire, len);
}

// The bytes [from, to) of a write of n bytes that the pending change covers.
struct Span {
  size_t from, to;
};
Span change_span(const mfd& r, size_t n) {
  const size_t from = static_cast<size_t>(std::max(r.pat, 0));
  const size_t to = static_cast<size_t>(std::max(r.pat + r.plen, 0));
  return {std::min(from, n), std::min(to, n)};
}

// The host's bytes still carry what the change replaces: the host retries
// the message it wrote. Bytes of another message drop the change.
bool change_applies(const mfd& r, const uint8_t* p, size_t n) {
  const Span s = change_span(r, n);
  return memcmp(p + s.from, r.phost + (static_cast<long>(s.from) - r.pat), s.to - s.from) == 0;
}

void greeting_marker(int fd, mfd& r, const uint8_t* p, size_t n) {
  if (tav_tmax_proc == TAV_TMAX_CLH && n == kHeaderMax && p[0] != 0 && jeus_magic(p, n) &&
      kind_is(p, n, 0xCE)) {
    plan_change(r, kHeaderMax - 4, p, TAV_GTUID_INIT, 4);
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) clh connect write.\n", fd, r.info, r.rip, r.rport);
  } else if (tav_tmax_proc == TAV_TMAX_GW && r.hsize >= 8 && n == static_cast<size_t>(r.hsize) &&
             jeus_magic(p, n) && kind_is(p, n, 0xCB)) {
    plan_change(r, n - 8, p, TAV_GTUID_INIT, 4);
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) gw connect write.\n", fd, r.info, r.rip, r.rport);
  }
}

// A message passed on with a ticket of ours behind its header: the thread
// takes the transaction back and the message its own bytes.
void take_handoff(mthr* m, mfd& r, const uint8_t* p, size_t n) {
  if (!passes_messages_on()) return;
  Form f{};
  if (!header_form(p, n, f) || (f.hform != 3 && f.hform != 4)) return;
  const size_t at = static_cast<size_t>(f.hsize);
  if (n < at + kHandoffBytes || host_int32(p + at) != kHandoffMarker) return;
  gtuid_t g;
  unsigned char own[kHandoffBytes];
  if (!handoff_in(p + at, g, own)) return;
  m->gtuid = g;
  plan_change(r, at, p, own, kHandoffBytes);
}

}  // namespace

void prepare_write(mthr* m, int fd, mfd& r, const void* buf, size_t n, bool greet, Outbound& out) {
  const auto* p = static_cast<const uint8_t*>(buf);
  if (!(r.info & MFD_HFORM)) tav_tmax_hdr_check(1, fd, p, n);
  if (r.plen > 0 && !change_applies(r, p, n)) {
    TAV_LOG_D("M", "fd(%04d 0x%08x) change of (%d) bytes dropped: other bytes written\n", fd, r.info,
              r.plen);
    r.plen = 0;
  }
  if (r.plen == 0 && greet) greeting_marker(fd, r, p, n);
  if (r.plen == 0) take_handoff(m, r, p, n);
  if (r.plen == 0) return;
  const Span s = change_span(r, n);
  if (s.from == s.to) return;  // the change lies beyond this write
  // The change falls into this write: it goes out from a copy.
  auto* copy = static_cast<uint8_t*>(malloc(n));
  if (!copy) {
    // Without memory the change cannot be made; the host's bytes go out.
    r.plen = 0;
    return;
  }
  memcpy(copy, p, n);
  memcpy(copy + s.from, r.pwire + (static_cast<long>(s.from) - r.pat), s.to - s.from);
  out.copy_ = copy;
  out.data_ = copy;
}

void wrote(mfd& r, ssize_t rc) {
  if (r.plen <= 0 || rc <= 0) return;
  r.pat -= static_cast<int>(std::min<ssize_t>(rc, INT_MAX));
  if (r.pat + r.plen <= 0) r.plen = 0;
}

bool service_write(mthr* m, int fd, const mfd& r, const void* buf, size_t n, bool active) {
  const auto* p = static_cast<const uint8_t*>(buf);
  if (r.hsize <= 0 || n < static_cast<size_t>(r.hsize) || !jeus_magic(p, n)) return false;
  if (active) return tav_tmax_proc == TAV_TMAX_SERVER && tav_tmax_gexcept(m, fd, p, n) == 1;
  if (tav_gtuid_create_proc == 1 && (r.info & MFD_UNIX) && kind_is(p, n, 4)) {
    ErrnoKeeper keep;
    tav_gtuid_create(m);
    tav_mzp1_proc(m, TAV_MZP_RS);
  }
  return false;
}

}  // namespace tav::tmax

extern "C" {

void tav_tmax_trinit(void) {
  if (const tav::SettingText path = tav::setting_text("QEL_TRCODE_SENSOR_PATH"))
    TAV_LOG_D("M", "trcode load. (%s)\n", path.get());
}

int tav_gtuid_send2(mthr* m, int fd, const void* buf, int n) { return tav_gtuid_send(m, fd, buf, n); }

}  // extern "C"
