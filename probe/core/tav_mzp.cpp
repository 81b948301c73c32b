// Monitoring messages: the thread's type-1 events, the transaction-code
// messages, the per-thread choice of queue and the database call accounting.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/tav_digits.h"
#include "base/tav_errno.h"
#include "base/tav_globals.h"
#include "base/tav_list.h"
#include "base/tav_log.h"
#include "base/tav_mzp.h"
#include "base/tav_real.h"
#include "base/tav_time.h"
#include "core/tav_clock31.h"
#include "core/tav_dbms.h"
#include "core/tav_glist.h"
#include "core/tav_gtuid.h"
#include "core/tav_mzp_send.h"
#include "core/tav_io.h"
#include "core/tav_record_out.h"
#include "core/tav_tables.h"

namespace {

using tav::elapsed31;
using tav::kMod31;
constexpr int kKindF = MFD_FILE;  // descriptor kinds reported as "F"
constexpr int kKindX = 0x80000;   // and as "X"
constexpr size_t kUrlMax = 128;

using tav::ErrnoKeeper;

using tav::RecordFamily;

// The thread's next queue of a family of `count` queues, `rr` being its
// round-robin index: consecutive records rotate over the queues, starting
// at index 1 when there are several.
int next_queue(int& rr, int count) {
  int idx = rr + 1;
  if (idx >= count || idx < 0) idx = 0;
  rr = idx;
  return idx;
}

// Sends `size` payload bytes following the message type at `msg` by the
// thread's next route of `family`. Returns the send result; -1 when the
// record was dropped.
int record_out(mthr* m, RecordFamily family, int& rr, uint32_t kind, const char* name, const void* msg,
               size_t size) {
  const tav::QueueRun run = tav::queue_run(family);
  if (run.count <= 0 || !run.ids) return -1;
  return tav::record_send(m, family, next_queue(rr, run.count), kind, name, msg, size);
}

// The 22 digits of the identifier bytes, then NUL (23 bytes).
void gtuid_text(const gtuid_t& g, char* out) { tav::gtuid_digits(g.gtuid, out); }

// The sequence counter as five digits, then NUL (6 bytes).
void seq_text(const gtuid_t& g, char* out) {
  tav::put_digits(out, 5, g.seq.get());
  out[5] = 0;
}

// Two digits of a product code, then NUL (3 bytes).
void two_digits(int code, char* out) {
  const unsigned v = static_cast<unsigned>(code < 0 ? -code : code) % 100;
  out[0] = static_cast<char>('0' + v / 10);
  out[1] = static_cast<char>('0' + v % 10);
  out[2] = 0;
}

// The process's own system and product codes into a type-1 message.
void own_codes(mzp1_t& z) {
  z.scode[0] = en_my_scode;
  z.scode[1] = 0;
  two_digits(en_my_pcode, z.pcode);
}

// Up to 15 characters of `text` (ending at a NUL or after `cap` bytes) into a
// 16-byte address field, zero-filled.
void addr_field(char (&out)[16], const char* text, size_t cap) {
  memset(out, 0, sizeof out);
  memcpy(out, text, strnlen(text, cap < sizeof out - 1 ? cap : sizeof out - 1));
}

void origin_text(const gtuid_t& g, char (&out)[16]) {
  memset(out, 0, sizeof out);
  tav::ipv4_text(g.ip, out);
}

// The thread's date-time text of now.
void date_now(mthr* m, char* out) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tav_date_cached(&m->date, &tv, out);
}

uint64_t now_usec(timeval* keep) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  if (keep) *keep = tv;
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

int add31(int acc, uint64_t add) {
  return static_cast<int>((static_cast<uint64_t>(static_cast<uint32_t>(acc)) + add) % kMod31);
}

char io_kind(const mfd* r) {
  if (!r) return 'N';
  if (r->info & (MFD_INET | MFD_INET6)) return 'S';
  if (r->info & MFD_UNIX) return 'U';
  if (r->info & kKindF) return 'F';
  if (r->info & kKindX) return 'X';
  return 'N';
}

void next_seq(mthr* m) { m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq.get() + 1); }

void set_event(mzp1_t& z, char event, char dir) {
  z.start[0] = event;
  z.send[0] = dir;
}

// Sends the thread's message as event `start`/`send` at the current
// sequence number.
void send_event(mthr* m, char start, char send) {
  seq_text(m->gtuid, m->mzp1.seq);
  set_event(m->mzp1, start, send);
  tav_mzp1_send(m);
}

void dbms_detail(const mthr* m, uint64_t now) {
  TAV_LOG_D("M", "ctime[%lld] ptime(0x%x:%d) etime(0x%x:%d) stime(0x%x:%d)\n",
            static_cast<long long>(now), static_cast<unsigned>(m->dbmsptime), m->dbmsptime,
            static_cast<unsigned>(m->dbmsetime), m->dbmsetime,
            static_cast<unsigned>(m->dbmsstime), m->dbmsstime);
}

// The parts shared by the transaction-code messages (they agree up to the
// blocking byte).
template <typename Rec>
void fill_tcode(mthr* m, Rec& r) {
  memset(&r, 0, sizeof r);
  r.type = en_my_pid;
  gtuid_text(m->gtuid, r.gtuid);
  memcpy(r.trcode, m->gtuid.trcode, sizeof m->gtuid.trcode);
  seq_text(m->gtuid, r.seq);
  date_now(m, r.dtime);
  origin_text(m->gtuid, r.ipaddr);
  r.blocking[0] = m->gtuid.trblock;
}

template <typename Rec>
void fill_info(const mthr* m, Rec& r) {
  memcpy(r.custinfo, m->custinfo, sizeof m->custinfo);
  memcpy(r.userinfo, m->userinfo, sizeof m->userinfo);
}

template <typename Rec>
void tcode_send(mthr* m, const char* name, RecordFamily family, uint32_t kind, const Rec& r) {
  const size_t size = sizeof r - sizeof r.type;
  const int rc = record_out(m, family, m->tqsi, kind, name, &r, size);
  TAV_LOG_D("M", "gtuid(%.*s %.*s) trcode(%.*s) %s(%d).\n", 22, r.gtuid, 5, r.seq, 32, r.trcode,
            name, rc);
  TAV_LOG_H("M", &r.gtuid, static_cast<int>(size), "%s", name);
}

// The common part of a type-1 event once the clocks are set: sequence digits,
// the receive side's path pattern, identifier, code, event letters and the
// process's own codes. False in half mode on the receive side: no message.
bool event_head(mthr* m, char event, char dir) {
  gtuid_t& g = m->gtuid;
  mzp1_t& z = m->mzp1;
  seq_text(g, z.seq);

  if (dir == 'R') {
    char key[21];
    memcpy(key, en_my_pname, 16);
    memcpy(key + 16, z.seq, 5);
    g.gpat = g.gpat.get() ^ tav_pattern_value(key, static_cast<int>(sizeof key));
    if (!en_qel_full) return false;  // half mode reports only the send side
  }

  gtuid_text(g, z.gtuid);
  memcpy(z.trcode, g.trcode, sizeof g.trcode);
  z.trcode[sizeof g.trcode] = 0;
  z.start[0] = event;
  z.start[1] = 0;
  z.send[0] = dir;
  z.send[1] = 0;
  own_codes(z);
  return true;
}

// At most `cap` bytes of a text the adapter passed into a NUL-terminated field.
template <size_t N>
void text_field(char (&out)[N], const char* text, size_t cap) {
  memset(out, 0, N);
  if (text) memcpy(out, text, strnlen(text, cap < N - 1 ? cap : N - 1));
}

#if TAV_WITH_JAVA
// A transaction-code message without its message type, onto the list with
// kind 'T'. The blocking flag is one-shot: it is cleared once recorded.
template <typename Rec>
int tcode_append(mthr* m, const Rec& r) {
  const int rc = tav::glist_append(m, 'T', r.gtuid, sizeof r - sizeof r.type);
  m->gtuid.trblock = 0;
  TAV_LOG_D("M", "gtuid(%.*s %.*s) trcode(%.*s) tcode list(%d:%d).\n", 22, r.gtuid, 5, r.seq, 32,
            r.trcode, static_cast<int>(sizeof r - sizeof r.type), rc);
  return rc;
}
#endif

// The database call goes out: the hop is timed and reported as a call.
void dbms_call_out(mthr* m) {
  m->dbmsstime = 0;
  m->dbms_ltime = 0;
  m->dbmsetime = 0;
  tav_gtuid_time(m);
  if (en_qel_full) next_seq(m);
  tav_mzp1_proc(m, TAV_MZP_SC);
}

// In full mode the database side reports that the call reached it.
void dbms_side_reached(mthr* m) {
  mzp1_t& z = m->mzp1;
  if (en_qel_full) {
    next_seq(m);
    z.etime = 0;
    send_event(m, 'C', 'R');
  }
  m->ofildes = m->fildes;
}

// The database call comes back: the call's times on the database side, the
// optional wait event, and in full mode this process's side again, addressed
// by `back` (which sets ipaddr and port).
template <typename Back>
void dbms_call_back(mthr* m, Back back) {
  mzp1_t& z = m->mzp1;
  date_now(m, z.dtime);
  z.etime = static_cast<uint32_t>(m->dbmsetime);
  z.rtime = static_cast<uint32_t>(m->dbmsstime) + static_cast<uint32_t>(m->dbmsetime);

  next_seq(m);
  send_event(m, 'C', 'S');

  if (en_dbms_wait_gtuid && m->dbms_ltime >= 1) {
    next_seq(m);
    tav_gtuid_time(m);
    send_event(m, 'W', 'S');
  }
  next_seq(m);

  if (en_qel_full) {
    own_codes(z);
    z.etime = 0;
    back(z);
    send_event(m, 'C', 'R');
  }
  m->dbms_ltime = 0;
  m->ofildes = 0;
  m->dbmsf = 0;
  dbms_detail(m, now_usec(nullptr));
}

}  // namespace

void tav_mzp1_send(mthr* m) {
  if (!m) return;
  ErrnoKeeper keep;
  mzp1_t& z = m->mzp1;
  constexpr size_t size = sizeof(mzp1_t) - sizeof z.type;
#if TAV_WITH_JAVA
  if (!en_mzp_qsend) {
    tav::glist_append(m, 'G', z.gtuid, size);
    return;
  }
#endif
  const int rc = record_out(m, RecordFamily::kGtuid, m->gqsi, 1, "mzp1", &z, size);
  TAV_LOG_D("M", "gtuid(%.*s %.*s) (%.2s %.1s%.1s) mzp1(%d).\n", 22, z.gtuid, 5, z.seq, z.pcode,
            z.start, z.send, rc);
  TAV_LOG_H("M", z.gtuid, static_cast<int>(size), "mzp1");
}

void tav_mzp2_send(mthr* m) {
  if (!m || !en_mzp_qsend) return;
  ErrnoKeeper keep;
  mzp2_t r;
  fill_tcode(m, r);
  tcode_send(m, "mzp2", RecordFamily::kTcode, 2, r);
}

void tav_mzp4_send(mthr* m) {
  if (!m || !en_mzp_qsend) return;
  ErrnoKeeper keep;
  mzp4_t r;
  fill_tcode(m, r);
  fill_info(m, r);
  tcode_send(m, "mzp4", RecordFamily::kTcode, 4, r);
}

void tav_mzp6_send(mthr* m, const char* url, int len) {
  if (!m || !en_mzp_qsend) return;
  ErrnoKeeper keep;
  mzp6_t r;
  fill_tcode(m, r);
  fill_info(m, r);
  if (url && len > 0) memcpy(r.trcd_url, url, static_cast<size_t>(len) < kUrlMax ? len : kUrlMax);
  tcode_send(m, "mzp6", RecordFamily::kTcod6, 6, r);
}

void tav_mzp1_proc(mthr* m, int code) {
  if (!m) return;
  ErrnoKeeper keep;
  const char event = static_cast<char>(code & 0xff);
  const char dir = static_cast<char>((code >> 8) & 0xff);
  gtuid_t& g = m->gtuid;
  mzp1_t& z = m->mzp1;

  if (event == 'S') {
    tav_gtuid_time_init(m);  // stamps stime/ctime, dtime outside BMT mode
  } else if (event == 'E') {
    tav_gtuid_time(m);
  }
  if (!event_head(m, event, dir)) return;

  const mfd* r = tav::fd_record(m->fildes);
  char kind = io_kind(r);

#if TAV_WITH_JAVA
  const bool queue_name = m->mqname[0] != 0;
#else
  const bool queue_name = false;
#endif
  if (queue_name) {
#if TAV_WITH_JAVA
    kind = 'Q';
    addr_field(z.ipaddr, m->mqname, sizeof m->mqname);
    z.port = 0;
    memset(m->mqname, 0, sizeof m->mqname);
#endif
  } else if (!(event == 'S' && kind == 'N')) {
    if (r && r->rip[0])
      addr_field(z.ipaddr, r->rip, sizeof r->rip);
    else
      addr_field(z.ipaddr, "NONE", 5);
    z.port = static_cast<uint32_t>(r ? r->rport : 0);
  } else {
    kind = 'S';
    origin_text(g, z.ipaddr);
    z.port = 0;
  }
  z.iotype[0] = kind;
  z.iotype[1] = 0;

  memcpy(&z.iosize, &g.pck, sizeof z.iosize);
  memcpy(z.pattern, &g.gpat, sizeof z.pattern);
#if TAV_WITH_JAVA
  if (m->errflag == 1) memcpy(z.filler, m->errcode, sizeof z.filler);
#endif
  tav_mzp1_send(m);
}

void tav_mzp1_dbms_send(mthr* m) {
  if (!m) return;
  ErrnoKeeper keep;
  mzp1_t& z = m->mzp1;
  dbms_call_out(m);

  // The following messages of the exchange name the database side.
  const mfd* r = tav::fd_record(m->fildes);
  if (r && r->scode) {
    z.scode[0] = static_cast<char>(r->scode + '0');
    two_digits(r->pcode, z.pcode);
    m->dbmsf = '(';
  } else {
    z.scode[0] = en_my_dcode;
    m->dbmsf = tav::dbms_class(r ? r->info : 0);
    two_digits(static_cast<unsigned char>(m->dbmsf), z.pcode);
  }
  z.scode[1] = 0;

  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (m->fildes >= 0 && getsockname(m->fildes, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
    int port = -1;
    if (local.ss_family == AF_INET && len >= sizeof(sockaddr_in))
      port = ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    else if (local.ss_family == AF_INET6 && len >= sizeof(sockaddr_in6))
      port = ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    if (port >= 0) {
      addr_field(z.ipaddr, en_my_ip, sizeof en_my_ip);
      z.port = static_cast<uint32_t>(port);
    }
  }
  dbms_side_reached(m);
}

void tav_mzp1_dbms_conti_send(mthr* m) {
  if (!m) return;
  ErrnoKeeper keep;
  const uint64_t now = now_usec(nullptr);
  m->dbms_ltime = static_cast<long>(now);
  m->dbmsptime = add31(m->dbmsptime, elapsed31(now, m->gtuid.ctime.get()));
  m->gtuid.ctime = static_cast<uint32_t>(now % kMod31);
  dbms_detail(m, now);
}

void tav_mzp1_dbms_conti_recv(mthr* m) {
  if (!m) return;
  ErrnoKeeper keep;
  timeval tv{};
  const uint64_t now = now_usec(&tv);
  if (!en_bmt_mode) m->tv = tv;
  m->dbmsetime = add31(m->dbmsetime, elapsed31(now, m->gtuid.ctime.get()));
  m->gtuid.ctime = static_cast<uint32_t>(now % kMod31);
  dbms_detail(m, now);
  m->dbms_ltime = 0;
}

void tav_mzp1_dbms_recv(mthr* m) {
  if (!m) return;
  ErrnoKeeper keep;
  dbms_call_back(m, [m](mzp1_t& z) {
    const mfd* o = tav::fd_record(m->ofildes);
    if (o && o->rip[0]) {
      addr_field(z.ipaddr, o->rip, sizeof o->rip);
      z.port = static_cast<uint32_t>(o->rport);
    }
  });
}

int tav_mzp_tcode_append(mthr* m, int type, const char* url, int len) {
#if TAV_WITH_JAVA
  if (!m) return -1;
  ErrnoKeeper keep;
  switch (type) {
    case 2: {
      mzp2_t r;
      fill_tcode(m, r);
      return tcode_append(m, r);
    }
    case 4: {
      mzp4_t r;
      fill_tcode(m, r);
      fill_info(m, r);
      return tcode_append(m, r);
    }
    case 6: {
      mzp6_t r;
      fill_tcode(m, r);
      fill_info(m, r);
      if (url && len > 0)
        memcpy(r.trcd_url, url, static_cast<size_t>(len) < kUrlMax ? len : kUrlMax);
      return tcode_append(m, r);
    }
    default:
      return -1;
  }
#else
  (void)m, (void)type, (void)url, (void)len;
  return -1;
#endif
}

void tav_mzp1_proc2(mthr* m, int code, const char* svcname, int size) {
  if (!m) return;
  ErrnoKeeper keep;
  const int low = code & 0xff;
  const char dir = static_cast<char>((code >> 8) & 0xff);
  mzp1_t& z = m->mzp1;

  if ((low & 0x53) == 0x53) {
    tav_gtuid_time_init(m);  // also clears etime and rtime
  } else if ((low & 0x45) == 0x45) {
    tav_gtuid_time(m);
  }
  if (!event_head(m, static_cast<char>(low), dir)) return;

  if (svcname) {
    z.iotype[0] = 'S';
    text_field(z.ipaddr, svcname, 15);
  } else {
    z.iotype[0] = 'N';
    text_field(z.ipaddr, "NONE", 4);
  }
  z.iotype[1] = 0;
  z.port = static_cast<uint32_t>(size);
  memcpy(z.pattern, &m->gtuid.gpat, sizeof z.pattern);
  tav_mzp1_send(m);
}

void tav_mzp1_dbms_send2(mthr* m, const char* ip, int port, int scode, int pcode) {
  if (!m) return;
  ErrnoKeeper keep;
  mzp1_t& z = m->mzp1;
  dbms_call_out(m);

  if (scode) {
    z.scode[0] = static_cast<char>('0' + scode);
    two_digits(pcode, z.pcode);
    m->dbmsf = '(';
  } else {
    z.scode[0] = en_my_dcode;
    const mfd* r = tav::fd_record(m->fildes);
    const char kind = tav::dbms_class(r ? r->info : 0);
    if (kind) m->dbmsf = kind;
    two_digits(static_cast<unsigned char>(m->dbmsf), z.pcode);
  }
  z.scode[1] = 0;
  text_field(z.ipaddr, ip, 15);
  z.port = static_cast<uint32_t>(port);
  dbms_side_reached(m);
}

void tav_mzp1_dbms_recv2(mthr* m, const char*, int, int, int) {
  if (!m) return;
  ErrnoKeeper keep;
  dbms_call_back(m, [](mzp1_t& z) {
    addr_field(z.ipaddr, en_my_ip, sizeof en_my_ip);
    z.port = 0;
  });
}

namespace {

// The server's codes, service name and address that the adapter passed.
void server_fields(mzp1_t& z, const char* scode, const char* pcode, const char* svcname,
                   const char* ip) {
  z.scode[0] = scode[0];
  z.scode[1] = 0;
  z.pcode[0] = pcode[0];
  z.pcode[1] = pcode[0] ? pcode[1] : 0;
  z.pcode[2] = 0;
  text_field(z.svname, svcname, 32);
  text_field(z.ipaddr, ip, 15);
  z.port = 0;
}

}  // namespace

void tav_mzp1_server_send(mthr* m, const char* scode, const char* pcode, const char* svcname,
                          const char* ip) {
  if (!m || !scode || !pcode || !svcname || !ip) return;
  ErrnoKeeper keep;
  mzp1_t& z = m->mzp1;
  tav_gtuid_time(m);
  if (en_qel_full) next_seq(m);
  text_field(z.ipaddr, ip, 15);
  z.port = 0;
  tav_mzp1_proc(m, TAV_MZP_SC);
  server_fields(z, scode, pcode, svcname, ip);
  if (en_qel_full) {
    next_seq(m);
    z.etime = 0;
    send_event(m, 'C', 'R');
  }
}

void tav_mzp1_server_recv(mthr* m, const char* scode, const char* pcode, const char* svcname,
                          const char* ip) {
  if (!m || !scode || !pcode || !svcname || !ip) return;
  ErrnoKeeper keep;
  mzp1_t& z = m->mzp1;
  tav_gtuid_time(m);
  server_fields(z, scode, pcode, svcname, ip);

  next_seq(m);
  send_event(m, 'C', 'S');

  next_seq(m);
  if (en_qel_full) {
    own_codes(z);
    memset(z.svname, 0, sizeof z.svname);
    memcpy(z.svname, z.pid, 8);
    z.etime = 0;
    send_event(m, 'C', 'R');
  }
  m->dbms_ltime = 0;
  m->ofildes = 0;
  m->dbmsf = 0;
}

namespace tav {

void end_transaction(mthr* m) {
  ErrnoKeeper keep;
  if (en_qel_full) m->gtuid.seq = static_cast<uint16_t>(m->gtuid.seq.get() + 1);
  tav_mzp1_proc(m, TAV_MZP_SE);
  m->gtuid.gflag = 0;
  TAV_LOG_G("M", &m->gtuid, "clear.\n");
}

}  // namespace tav
