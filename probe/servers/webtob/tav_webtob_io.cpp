// WebtoB build: requests and answers through the HTTP handler.
#include "servers/webtob/tav_webtob_io.h"

#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_io.h"
#include "core/tav_mzp_send.h"
#include "servers/webtob/tav_webtob.h"

extern "C" {
webtob_gtuid* en_webtob_gtuid;
int tav_webtob_hth_gtuid;
}

namespace tav::webtob {
namespace {

// What `rbyte` adds to the answer bytes still to come; the value itself
// means that the answer is complete.
constexpr int kDone = 96;
// The framed answer's header: its size and where it keeps the length.
constexpr size_t kHead = 96;
constexpr size_t kLengthAt = 84;
// Answer lengths beyond this cannot be counted in `rbyte`.
constexpr int32_t kLengthMax = INT_MAX - 512;
// The request line and the line end are looked for within this many bytes.
constexpr size_t kRequestWindow = 256;
// The line put into an answer: name, ": ", four digits, blanks, CR LF.
constexpr int kAnswerLine = 96;

// Ends the transaction stored in `w`, which the thread holds (inactive).
void end_stored(mthr* m, webtob_gtuid& w) {
  m->gtuid = w.gtuid;
  m->gtuid.gflag = 1;
  tav::end_transaction(m);
  w.gtuid.gflag = 0;
}

// Puts `line` (`len` bytes) after the first CR LF of the `rc` bytes at `p`,
// moving the rest back; the caller has made sure the buffer has room.
bool insert_line(char* p, size_t rc, size_t window, const char* line, size_t len) {
  const auto* crlf = static_cast<const char*>(memmem(p, std::min(rc, window), "\r\n", 2));
  if (!crlf) return false;
  const size_t at = static_cast<size_t>(crlf - p) + 2;
  memmove(p + at + len, p + at, rc - at);
  memcpy(p + at, line, len);
  return true;
}

void msg_line(int fd, const mfd& r, ssize_t rc, const webtob_gtuid& w, const void* p) {
  if (!en_log) return;
  ErrnoKeeper keep;
  TAV_LOG_D("W", "fd(%04d 0x%08x %s:%d) msg. rc(%d) rsize(%d) rbyte(%d)\n", fd, r.info, r.rip, r.rport,
            static_cast<int>(rc), r.rsize, w.rbyte);
  if (rc > 0) TAV_LOG_H("W", p, static_cast<int>(rc), "msg data");
}

}  // namespace

bool make_records() {
  if (en_webtob_gtuid || tav_webtob_proc != TAV_WEBTOB_HTH) return true;
  en_webtob_gtuid = marked_records<webtob_gtuid>();
  return en_webtob_gtuid != nullptr;
}

void forget(int fd) {
  if (!en_webtob_gtuid || !fd_record(fd)) return;
  webtob_gtuid& w = en_webtob_gtuid[fd];
  w.gtuid.gflag = 0;
  w.rbyte = w.gflag = w.cutting = w.bpend = w.hgot = w.astart = 0;
}

bool handler() { return en_webtob_gtuid != nullptr; }

ssize_t request_read(mthr* m, int fd, const mfd& r, void* buf, size_t n, ssize_t rc) {
  if (!handler() || rc <= 0) return rc;
  webtob_gtuid& w = en_webtob_gtuid[fd];
  if (w.rbyte != 0) return rc;
  auto* p = static_cast<char*>(buf);
  const size_t got = static_cast<size_t>(rc);
  const size_t window = std::min(got, kRequestWindow);
  // A request (not an answer) whose line end has come, in a buffer with room
  // for the header line, for a URL that is traced.
  if (!memmem(p, window, "HTTP", 4) || (got >= 4 && memcmp(p, "HTTP", 4) == 0) || got + kHead > n ||
      !memmem(p, window, "\r\n", 2) || tav_gtuid_url_expect(p, got))
    return rc;
  const int len = snprintf(w.http, sizeof w.http, "%s: %04d\r\n", kTraceKey, fd);
  if (len <= 0 || static_cast<size_t>(len) >= sizeof w.http) return rc;
  if (!gtuid_active(m)) {
    ErrnoKeeper keep;
    tav_gtuid_create(m);
    tav_mzp1_proc(m, TAV_MZP_RS);
  }
  if (insert_line(p, got, window, w.http, static_cast<size_t>(len))) rc += len;
  w.rbyte = 1;
  w.gtuid = m->gtuid;
  m->gtuid.gflag = 0;
  TAV_LOG_G("W", &m->gtuid, "clear.\n");
  msg_line(fd, r, rc, w, p);
  return rc;
}

void request_write(mthr* m, const void* buf, size_t n) {
  if (!handler() || n <= kHead) return;
  const auto* p = static_cast<const char*>(buf);
  const size_t name = sizeof kTraceKey - 1;
  // The line is ours only where the request read put it, right after the
  // request line: a line of that name that the client sent elsewhere names
  // nothing of this process.
  const auto* crlf = static_cast<const char*>(memmem(p + kHead, n - kHead, "\r\n", 2));
  const char* at = crlf ? crlf + 2 : nullptr;
  if (!at || static_cast<size_t>(p + n - at) < name || memcmp(at, kTraceKey, name) != 0) return;
  // The descriptor number behind ": ", digits up to the first non-digit.
  const char* end = p + n;
  const char* d = at + name;
  if (end - d < 3 || d[0] != ':' || d[1] != ' ') return;
  d += 2;
  long fd = 0;
  int digits = 0;
  for (; d < end && *d >= '0' && *d <= '9' && digits < 10; ++d, ++digits) fd = fd * 10 + (*d - '0');
  // Only a descriptor of this process whose request waits for it.
  if (digits == 0 || digits > 9 || fd >= en_fd_max || en_webtob_gtuid[fd].rbyte != 1) {
    TAV_LOG_D("W", "trace key names no waiting request (%ld)\n", digits ? fd : -1L);
    return;
  }
  webtob_gtuid& w = en_webtob_gtuid[fd];
  m->gtuid = w.gtuid;
  w.gtuid.gflag = 0;
  w.rbyte = 0;
  TAV_LOG_G("W", &m->gtuid, "recreate.\n");
  TAV_LOG_H("W", p, static_cast<int>(std::min<size_t>(n, INT_MAX)), "recreate");
}

size_t answer_cap(mthr* m, int fd, const mfd& r, size_t n) {
  webtob_gtuid& w = en_webtob_gtuid[fd];
  m->gtuid = w.gtuid;
  if (w.rbyte == 0 && w.hgot > 0) return std::min(n, kHead - static_cast<size_t>(w.hgot));
  if (w.rbyte == 0) {
    // A new answer: the read stops at the end of the framed message that
    // carries it, so that an answer queued behind it is not taken along
    // (its block would end up in the middle of the data).
    if (r.rsize >= 1 || r.rhave != 0 || n <= kHead) return n;
    ErrnoKeeper keep;
    gtuid_t b;
    if (tav::real::recv(fd, &b, sizeof b, MSG_PEEK | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof b) ||
        !block_valid(b))
      return n;
    return std::min(n, static_cast<size_t>(b.pck.get()) + kHead);
  }
  const int left = w.rbyte - kDone;
  if (left <= 0) return n;
  size_t cap = std::min(n, static_cast<size_t>(left));
  // The read that ends the answer leaves room for the block behind it.
  if (w.gflag == 1 && gtuid_active(w.gtuid) && cap == static_cast<size_t>(left) && cap + kHead > n && n > kHead)
    cap = n - kHead;
  return cap;
}

ssize_t answer_owed(int fd, void* buf, size_t n) {
  webtob_gtuid& w = en_webtob_gtuid[fd];
  if (w.bpend <= 0 || n == 0) return -1;
  const size_t k = std::min(n, static_cast<size_t>(w.bpend));
  memcpy(buf, w.block + kHead - static_cast<size_t>(w.bpend), k);
  w.bpend -= static_cast<int>(k);
  if (w.bpend == 0) w.rbyte = 0;
  return static_cast<ssize_t>(k);
}

ssize_t answer_read(mthr* m, int fd, const mfd& r, void* buf, size_t n, ssize_t got) {
  webtob_gtuid& w = en_webtob_gtuid[fd];
  w.gtuid = m->gtuid;
  m->gtuid.gflag = 0;
  TAV_LOG_G("W", &m->gtuid, "clear.\n");
  if (got <= 0) return got;
  auto* p = static_cast<char*>(buf);
  const size_t bytes = static_cast<size_t>(got);
  ssize_t rc = got;
  if (w.rbyte > 0) {
    // Inside an answer: an HTTP answer whose length was grown gets the
    // header line (and then no block), at its very start and where the
    // buffer has room for it. Later bytes are never changed.
    const bool start = w.astart;
    w.astart = 0;
    if (start && w.gflag == 1 && bytes >= 4 && memcmp(p, "HTTP", 4) == 0 && bytes + kAnswerLine <= n) {
      char line[kAnswerLine + 1];
      snprintf(line, sizeof line, "%s: %04u%*.*s\r\n", kTraceKey, static_cast<unsigned>(fd) % 10000u, 65, 65, "");
      if (insert_line(p, bytes, bytes, line, kAnswerLine)) {
        rc += kAnswerLine;
        w.gflag = 0;
        msg_line(fd, r, rc, w, p);
      }
    }
    w.rbyte -= static_cast<int>(std::min<size_t>(bytes, INT_MAX));
  } else if (w.hgot > 0 || magic_prefix(p, std::min<size_t>(bytes, 4))) {
    // The header of a new answer, in one read or collected across reads.
    const size_t before = static_cast<size_t>(w.hgot);
    const size_t take = std::min(bytes, kHead - before);
    memcpy(w.head + before, p, take);
    const size_t have = before + take;
    if (!magic_prefix(w.head, std::min<size_t>(have, 4))) {
      w.hgot = 0;  // no answer of the service's: not followed
    } else if (have < kHead) {
      w.hgot = static_cast<int>(have);
    } else {
      w.hgot = 0;
      const int32_t len = host_int32(w.head + kLengthAt);
      if (len <= 0 || len > kLengthMax) {
        // An empty answer, or no length an answer can have: nothing follows
        // the header, and the transaction that came with it ends here.
        if (gtuid_active(w.gtuid)) end_stored(m, w);
      } else {
        // The answer grows by the block that will follow it, where its
        // length field is in this read; else the transaction ends with it.
        if (gtuid_active(w.gtuid) && before <= kLengthAt) {
          const int32_t grown = len + kDone;
          memcpy(p + (kLengthAt - before), &grown, sizeof grown);
          w.gflag = 1;
        }
        const long left = static_cast<long>(len) + kDone - static_cast<long>(bytes - take);
        w.rbyte = static_cast<int>(std::max<long>(left, kDone));
        w.astart = bytes == take;  // the answer's first bytes are still to come
        msg_line(fd, r, rc, w, p);
      }
    }
  }
  if (w.rbyte == kDone) {
    // The answer is complete.
    if (gtuid_active(w.gtuid) && w.gflag == 1) {
      if (static_cast<size_t>(rc) + kHead <= n) {
        memcpy(p + rc, &w.gtuid, kHead);
        rc += kHead;
      } else {
        // No room left: the block goes to the next reads.
        memcpy(w.block, &w.gtuid, kHead);
        w.bpend = kHead;
      }
      w.gtuid.gflag = 0;
      msg_line(fd, r, rc, w, p);
    } else if (gtuid_active(w.gtuid)) {
      // The header line went out with the answer: nothing carries the
      // transaction further, so it ends here.
      end_stored(m, w);
    }
    w.gflag = 0;
    if (w.bpend == 0) w.rbyte = 0;
  }
  return rc;
}

bool answer_write(mthr* m, int fd, const void* buf, size_t n, size_t& len) {
  len = n;
  if (!handler()) return false;
  tav_webtob_hth_gtuid = 0;
  webtob_gtuid& w = en_webtob_gtuid[fd];
  w.rbyte = 0;
  gtuid_t b{};
  if (n >= kHead) memcpy(&b, static_cast<const char*>(buf) + n - kHead, kHead);
  if (n < kHead || !block_valid(b) || b.gflag != 1) {
    w.cutting = 0;
    return false;
  }
  len = n - kHead;
  // A retry of a short write carries the same block: its transaction ended
  // with the bytes that went out already.
  if (w.cutting == 2 && memcmp(w.cut, &b, kHead) == 0) return true;
  memcpy(w.cut, &b, kHead);
  w.cutting = 1;
  m->gtuid = b;
  tav_webtob_hth_gtuid = 1;
  return true;
}

ssize_t answer_written(int fd, size_t n, size_t len, ssize_t rc) {
  if (len == n || rc < 0) return rc;
  webtob_gtuid& w = en_webtob_gtuid[fd];
  if (static_cast<size_t>(rc) < len) {
    w.cutting = 2;  // bytes went out: the transaction ends with them
    return rc;
  }
  w.cutting = 0;
  return static_cast<ssize_t>(n);  // the answer is out: its block counts as written
}

}  // namespace tav::webtob
