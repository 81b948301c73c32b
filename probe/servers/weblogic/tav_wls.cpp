#include "servers/weblogic/tav_wls.h"

#include <algorithm>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "core/tav_frame.h"
#include "core/tav_gtuid.h"
#include "core/tav_io.h"
#include "core/tav_jcall.h"
#include "core/tav_mzp_send.h"

extern "C" {
gtuid_t* en_wls_gtuid;
int en_complete_read_jput = 1;
int en_jvm_msg_read = 1;
}

namespace tav::wls {
namespace {

// The smallest read that can hold a header, and the smallest message that
// counts as a request on an entry connection.
constexpr size_t kHeaderRead = 20;
// Length, command and letter; and the longest message taken for one.
constexpr int kHeaderLen = 6;
constexpr int kMessageMax = 64 << 20;
constexpr ssize_t kRequestMin = 97;

// The parked transaction becomes the thread's.
void hand_over(mthr* m, gtuid_t& parked) {
  m->gtuid = parked;
  parked.gflag = 0;
  java_put(m);
}

bool one_way(const Header& h) { return h.cmd == 4 || h.cmd == 8; }

}  // namespace

bool header(const void* buf, size_t n, Header& h) {
  const auto* p = static_cast<const uint8_t*>(buf);
  if (n < kHeaderRead || jeus_magic(p, n) || p[4] >= 12 || p[5] != 'e') return false;
  const int len = host_int32(p);
  // A length shorter than the header itself, or beyond any message, is not
  // a header: it would keep a transaction parked for good.
  if (len < kHeaderLen || len > kMessageMax) return false;
  h.len = len;
  h.cmd = p[4];
  return true;
}

void park_block(mthr* m, int fd, const gtuid_t& blk) {
  if (!m || blk.gflag != 1 || fd < 0 || fd >= en_fd_max) return;
  ErrnoKeeper keep;
  const gtuid_t own = m->gtuid;
  take_block(m, blk);
  tav_mzp1_proc(m, TAV_MZP_RC);
  en_wls_gtuid[fd] = m->gtuid;
  m->gtuid = own;
}

void after_service_read(mthr* m, int fd, mfd& r, const void* buf, size_t asked, ssize_t rc,
                        const char* what) {
  if (!m || rc <= 0 || fd < 0 || fd >= en_fd_max) return;
  ErrnoKeeper keep;
  gtuid_t& parked = en_wls_gtuid[fd];
  Header h{};
  bool started = false;
  if (en_jvm_msg_read && r.jsize == 0 && header(buf, static_cast<size_t>(rc), h)) {
    r.jsize = h.len;
    started = true;
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d) jsize(%d)\n", fd, r.info, r.rip,
              r.rport, what, static_cast<int>(rc), static_cast<int>(asked), r.jsize);
  }
  if (r.jsize > 0) {
    r.jsize = rc >= r.jsize ? 0 : r.jsize - static_cast<int>(rc);
    if (r.jsize == 0 && parked.gflag == 1) {
      // A one-way command read whole has no answer to carry the
      // transaction: it keeps waiting for the next message.
      if (started && asked >= kHeaderRead && asked == static_cast<size_t>(h.len) && one_way(h))
        TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s(oneway) cmd(%d). rc(%d) nbyte(%d)\n", fd, r.info,
                  r.rip, r.rport, what, h.cmd, static_cast<int>(rc), static_cast<int>(asked));
      else
        hand_over(m, parked);
    }
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d) jsize(%d)\n", fd, r.info, r.rip,
              r.rport, what, static_cast<int>(rc), static_cast<int>(asked), r.jsize);
    return;
  }
  if (parked.gflag == 1 && (!en_complete_read_jput || r.rsize <= 0)) hand_over(m, parked);
  TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d) jsize(%d) rsize(%d) complete_read_jput(%d)\n",
            fd, r.info, r.rip, r.rport, what, static_cast<int>(rc), static_cast<int>(asked), r.jsize,
            r.rsize, en_complete_read_jput);
}

void after_entry_read(mthr* m, int fd, mfd& r, const void* buf, size_t asked, ssize_t rc,
                      const char* what) {
  if (!m || rc <= 0) return;
  ErrnoKeeper keep;
  Header h{};
  const bool message = en_jvm_msg_read && rc >= kRequestMin && header(buf, static_cast<size_t>(rc), h);
  if (strcmp(what, "recv") == 0)
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) recv. rc(%d) header(%d) gtuid.svc(0x%02x)  createGTUID(%d)\n",
              fd, r.info, r.rip, r.rport, static_cast<int>(rc), message ? 1 : 0, m->gtuid.svc,
              m->createGTUID);
  else
    TAV_LOG_D("M",
              "fd(%04d 0x%08x %s:%d) read. rc(%d) header(%d) gtuid.svc(0x%02x) createGTUID(%d) "
              "en_gtuid_create_keep(%d)\n",
              fd, r.info, r.rip, r.rport, static_cast<int>(rc), message ? 1 : 0, m->gtuid.svc,
              m->createGTUID, en_gtuid_create_keep);
  if (!en_gtuid_create || (!message && rc < 2)) return;
  if (message)
    TAV_LOG_D("M", "fd(%04d 0x%08x %s:%d) %s. rc(%d) nbyte(%d) jmsg->cmd(%d) jmsg->qos(%d)\n", fd,
              r.info, r.rip, r.rport, what, static_cast<int>(rc), static_cast<int>(asked), h.cmd,
              static_cast<const uint8_t*>(buf)[6]);

  const bool active = gtuid_active(m);
  bool make;
  if (en_gtuid_create_keep) {
    // One transaction per request: a request on the connection that made
    // the thread's transaction (or, for other data, any active one) goes on.
    make = message ? !(active && m->gtuid_last_create_fd == fd) : !active;
  } else {
    make = m->createGTUID == 1 && !(active && m->gtuid.svc == 3);
  }
  if (make || !en_gtuid_create_keep) m->gtuid_last_create_fd = fd;
  if (!make) return;
  tav_gtuid_create(m);
  tav_gtuid_time_init(m);
  java_put(m);
}

}  // namespace tav::wls
