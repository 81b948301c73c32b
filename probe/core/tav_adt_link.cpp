#include "core/tav_adt_link.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/tav_errno.h"
#include "base/tav_log.h"
#include "base/tav_master_proto.h"
#include "base/tav_real.h"
#include "base/tav_util.h"

extern "C" {
int en_gtuid_sock = -1;
int en_was_sock = -1;
int en_gtuid_sock_connected;
int en_was_sock_connected;
int en_master_reconnect = -1;
}

namespace tav::adt {
namespace {

struct LinkState {
  pthread_mutex_t lock;
  int* fd;
  int* connected;
  int lost;     // the master closed the link or a write fell short
  int cancel;   // a Java thread is changing the link
  unsigned gen; // changes whenever the link changes hands
};

LinkState g_links[2] = {
    {PTHREAD_MUTEX_INITIALIZER, &en_gtuid_sock, &en_gtuid_sock_connected, 0, 0, 0},
    {PTHREAD_MUTEX_INITIALIZER, &en_was_sock, &en_was_sock_connected, 0, 0, 0},
};

// Holds a link for a Java thread that changes it: a sender waiting on the
// master gives the link up within one wait step.
class Change {
 public:
  explicit Change(LinkState& s) : s_(s) {
    __atomic_add_fetch(&s_.cancel, 1, __ATOMIC_ACQ_REL);
    pthread_mutex_lock(&s_.lock);
    __atomic_sub_fetch(&s_.cancel, 1, __ATOMIC_ACQ_REL);
    ++s_.gen;
  }
  ~Change() { pthread_mutex_unlock(&s_.lock); }
  Change(const Change&) = delete;
  Change& operator=(const Change&) = delete;

 private:
  LinkState& s_;
};

// Sender side: holds the link's lock for one use.
class Use {
 public:
  explicit Use(LinkState& s) : s_(s) { pthread_mutex_lock(&s_.lock); }
  ~Use() { pthread_mutex_unlock(&s_.lock); }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  LinkState& s_;
};

bool usable_locked(const LinkState& s) {
  return *s.fd >= 0 && __atomic_load_n(s.connected, __ATOMIC_ACQUIRE) > 0 && !s.lost;
}

void set_reconnect(int v) { __atomic_store_n(&en_master_reconnect, v, __ATOMIC_RELEASE); }

void lose(LinkState& s) {
  s.lost = 1;
  set_reconnect(-1);
}

LinkState* by_type(int type) {
  if (type == 1) return &g_links[kGtuidLink];
  if (type == 2) return &g_links[kWasLink];
  return nullptr;
}

// Largest frame the master may send on an adapter link; a bigger length
// field means the bytes are not a frame.
constexpr uint32_t kMaxFrame = 65536;

// Reads and throws away n bytes of a frame; false when they do not come.
bool skip(LinkState& s, int sock, size_t n, int io_wait_ms) {
  char sink[4096];
  while (n > 0) {
    const size_t part = n < sizeof sink ? n : sizeof sink;
    if (recv_all(sock, sink, part, io_wait_ms, &s.cancel) != part) return false;
    n -= part;
  }
  return true;
}

// What the master sent on a readable link (see link_serve). Runs under the
// link's lock.
int tav_master_recv(LinkState& s, int sock, char* buf, int io_wait_ms) {
  namespace tm = tav::master;
  const ssize_t got = real::recv(sock, buf, 32, MSG_PEEK | MSG_DONTWAIT);
  TAV_LOG_D("A", "master recv. sock(%d) size(%d)\n", sock, static_cast<int>(got));
  if (got == 0) {
    lose(s);  // the master closed the link
    return -1;
  }
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) lose(s);
    return -1;
  }
  if (got < 32) return -1;  // the rest of the header is still on its way

  _tavMasterbuf len;
  _tavMasterhdr h;
  memcpy(&len, buf, sizeof len);
  memcpy(&h, buf + tm::kLenField, sizeof h);
  const uint32_t pksz = len.pksz;
  if (memcmp(h.id, "$TAV", 4) != 0 || pksz < tm::kHeader || pksz > kMaxFrame) {
    TAV_LOG_T("A", "master recv. sock(%d) not a frame: link lost.\n", sock);
    lose(s);
    return -1;
  }
  if (recv_all(sock, buf, 32, io_wait_ms, &s.cancel) != 32 ||
      !skip(s, sock, pksz + tm::kLenField - 32, io_wait_ms)) {
    lose(s);
    return -1;
  }
  if (!tm::is_code(h, tm::kPoll)) {
    TAV_LOG_D("A", "master recv. sock(%d) not polling. (%.10s %u bytes skipped)\n", sock, h.trcode,
              pksz + 4);
    return 0;
  }
  TAV_LOG_H("A", buf, 32, "master recv !");
  if (h.mtype[0] != '0') return 32;
  buf[tm::kLenField + offsetof(_tavMasterhdr, mtype)] = '1';
  const size_t w = send_all(sock, buf, 32, io_wait_ms, &s.cancel);
  TAV_LOG_D("A", "master poll send. sock(%d) size(%d)\n", sock, static_cast<int>(w));
  if (w != 32) {
    lose(s);
    return -1;
  }
  return 32;
}

}  // namespace

void link_register(Link link, int fd) {
  LinkState& s = g_links[link];
  Change c(s);
  __atomic_store_n(s.fd, fd, __ATOMIC_RELEASE);
  s.lost = 0;
}

// Declaring a link up changes no descriptor: a sender busy on the link is
// left to finish.
void master_connected(int type) {
  if (LinkState* s = by_type(type)) __atomic_store_n(s->connected, 1, __ATOMIC_RELEASE);
  set_reconnect(0);
}

void master_closed(int type) {
  if (LinkState* s = by_type(type)) {
    Change c(*s);
    __atomic_store_n(s->fd, -1, __ATOMIC_RELEASE);
    __atomic_store_n(s->connected, 0, __ATOMIC_RELEASE);
    s->lost = 0;
  }
  set_reconnect(-1);
}

void link_released(int fd) {
  for (LinkState& s : g_links) {
    if (__atomic_load_n(s.fd, __ATOMIC_ACQUIRE) != fd) continue;  // the usual case
    Change c(s);
    if (*s.fd != fd) continue;
    __atomic_store_n(s.fd, -1, __ATOMIC_RELEASE);
    s.lost = 0;
    set_reconnect(-1);
    TAV_LOG_T("A", "master link fd(%d) closed without closeMASTER.\n", fd);
  }
}

bool link_usable(Link link) {
  LinkState& s = g_links[link];
  Use u(s);
  return usable_locked(s);
}

int link_write(Link link, const void* buf, size_t n, int wait_ms) {
  LinkState& s = g_links[link];
  Use u(s);
  if (!usable_locked(s)) return -1;
  const size_t w = send_all(*s.fd, buf, n, wait_ms, &s.cancel);
  if (w == n) return 0;
  TAV_LOG_H("A", buf, static_cast<int>(n < 64 ? n : 64), "%s adt send error. (%zu/%zu)",
            link == kGtuidLink ? "gsend" : "wsend", w, n);
  lose(s);
  return -2;
}

int link_serve(Link link, int wait_ms, int io_wait_ms) {
  LinkState& s = g_links[link];
  int fd;
  unsigned gen;
  {
    Use u(s);
    if (!usable_locked(s)) return -1;
    fd = *s.fd;
    gen = s.gen;
  }
  // The wait itself runs without the lock: the Java side may close the link
  // meanwhile, which the generation check below notices.
  pollfd p{fd, POLLIN, 0};
  int rc = poll(&p, 1, wait_ms);
  if (rc == 0) return 0;
  if (rc < 0) return errno == EINTR ? 0 : -1;
  Use u(s);
  if (s.gen != gen || !usable_locked(s)) return -1;
  char buf[32];
  return tav_master_recv(s, fd, buf, io_wait_ms);
}

}  // namespace tav::adt
