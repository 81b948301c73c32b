#include "rly_agent.h"
#include "rly_fd.h"

#include "base/tav_registration.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kStopState = 4;
// The wait for a request wakes this often to look at the state, so a stop
// signal that arrives before the wait begins costs at most this long.
constexpr int kWakeMs = 1000;
constexpr int kRcvBuf = 1048576;

volatile sig_atomic_t g_stop_signal;

// ---- request text ----------------------------------------------------------

bool digits_only(const char* s, size_t len) {
  if (len == 0) return false;
  for (size_t i = 0; i < len; ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Decimal 0-255 of 1-3 digits, no leading zero.
bool octet(const char* s, size_t len) {
  if (len < 1 || len > 3 || !digits_only(s, len)) return false;
  if (len > 1 && s[0] == '0') return false;
  int v = 0;
  for (size_t i = 0; i < len; ++i) v = v * 10 + (s[i] - '0');
  return v <= 255;
}

// A port 1-65535 in decimal without leading zero; -1 otherwise.
int port_value(const char* s, size_t len) {
  if (len < 1 || len > 5 || !digits_only(s, len) || s[0] == '0') return -1;
  int v = 0;
  for (size_t i = 0; i < len; ++i) v = v * 10 + (s[i] - '0');
  return v <= 65535 ? v : -1;
}

// A decimal int with an optional minus sign.
bool int_value(const char* s, size_t len, int* out) {
  bool neg = false;
  if (len > 0 && s[0] == '-') {
    neg = true;
    ++s;
    --len;
  }
  if (len < 1 || len > 10 || !digits_only(s, len)) return false;
  long long v = 0;
  for (size_t i = 0; i < len; ++i) v = v * 10 + (s[i] - '0');
  if (neg) v = -v;
  if (v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

bool letters_only(const char* s, size_t len) {
  if (len == 0) return false;
  for (size_t i = 0; i < len; ++i) {
    const char c = s[i];
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
  }
  return true;
}

void copy_text(char* out, size_t cap, const char* s, size_t len) {
  const size_t n = len < cap - 1 ? len : cap - 1;
  memcpy(out, s, n);
  out[n] = 0;
}

enum Field { kFn, kSock, kTp, kLa, kLp, kRa, kRp, kFieldCount, kOther = -1 };

Field field_of(const char* key, size_t len) {
  static const char* const names[kFieldCount] = {"fn", "sock", "tp", "la", "lp", "ra", "rp"};
  for (int i = 0; i < kFieldCount; ++i)
    if (strlen(names[i]) == len && memcmp(names[i], key, len) == 0) return static_cast<Field>(i);
  return kOther;
}

// The datagram as log text: bytes that are not printable become '.', so a
// request cannot break or forge log lines.
void log_text(char (&out)[RLY_AGENT_MSG_MAX + 1], const char* msg, int len) {
  int n = 0;
  if (msg && len > 0) {
    n = len < RLY_AGENT_MSG_MAX ? len : RLY_AGENT_MSG_MAX;
    for (int i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(msg[i]);
      out[i] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
  }
  out[n] = 0;
}

// ---- check home ------------------------------------------------------------

using rly::Fd;

int g_home_gid = -1;  // the tree's group and mode when the relay keeps it for one group
int g_home_mode;

// Creates a directory with mode 0777 whatever the umask. The mode is set only
// on a directory this call created, through a descriptor opened without
// following a link, in case the name was swapped meanwhile.
void make_dir(int dirfd, const char* name) {
  if (mkdirat(dirfd, name, 0777) != 0) return;
  Fd fd(openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd.ok()) fchmod(fd.get(), 0777);
}

// True when the name exists in R/port in any form. Nothing is followed: a
// planted link counts as an entry, as a plain file planted there would.
bool entry_exists(int portfd, const char* host, int port) {
  char name[32];
  snprintf(name, sizeof name, "%s.%d", host, port);
  struct stat st;
  return fstatat(portfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Leaves the marker R/port/host.port, holding the relay's identity for the
// accepting probe to check: created exclusively and never through a link, or
// rewritten when the relay left it before. Anyone else's entry under that
// name is not the relay's marker.
bool leave_marker(int portfd, const char* host, int port) {
  char name[32];
  snprintf(name, sizeof name, "%s.%d", host, port);
  return tav::reg::write_entry(portfd, name, 0);
}

// ---- socket ----------------------------------------------------------------

// Sends the reply from the address the request was sent to (`local`, when
// known): on a host with several addresses, and on loopback, the caller's
// socket is connected to that address and takes no datagram from another.
void send_reply(int fd, const sockaddr_in& to, const in_pktinfo* local, const char* word) {
  iovec iov{const_cast<char*>(word), 2};
  msghdr mh{};
  mh.msg_name = const_cast<sockaddr_in*>(&to);
  mh.msg_namelen = sizeof to;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  if (local) {
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    cmsghdr* cm = CMSG_FIRSTHDR(&mh);
    cm->cmsg_level = IPPROTO_IP;
    cm->cmsg_type = IP_PKTINFO;
    cm->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_spec_dst = local->ipi_spec_dst;
    memcpy(CMSG_DATA(cm), &pi, sizeof pi);
  }
  sendmsg(fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void log_rcvbuf(int fd) {
  int size = 0;
  socklen_t len = sizeof size;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0) return;
  AGT_LOG_T("UDP socket SO_RCVBUF (%d)\n", size);
  const int want = kRcvBuf;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  len = sizeof size;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) == 0)
    AGT_LOG_T("UDP socket SO_RCVBUF (%d)\n", size);
}

// Receives and answers one datagram.
void serve_one(int fd, const char* check_home) {
  char buf[RLY_AGENT_MSG_MAX];
  sockaddr_in from{};
  iovec iov{buf, sizeof buf};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr mh{};
  mh.msg_name = &from;
  mh.msg_namelen = sizeof from;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      AGT_LOG_D("agent thread recvfrom (%d:%s) error.\n", errno, strerror(errno));
    return;
  }
  char text[RLY_AGENT_MSG_MAX + 1];
  log_text(text, buf, static_cast<int>(n));
  AGT_LOG_D("agent recvfrom[%.*s]. ret(%d)\n", static_cast<int>(n), text, static_cast<int>(n));
  // A datagram longer than the buffer was cut: refused whole.
  if (mh.msg_flags & MSG_TRUNC) return;
  if (mh.msg_namelen < sizeof from || from.sin_family != AF_INET) return;

  const in_pktinfo* local = nullptr;
  for (cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm))
    if (cm->cmsg_level == IPPROTO_IP && cm->cmsg_type == IP_PKTINFO)
      local = reinterpret_cast<const in_pktinfo*>(CMSG_DATA(cm));
  in_pktinfo local_copy{};
  if (local) memcpy(&local_copy, local, sizeof local_copy);

  char sender[INET_ADDRSTRLEN];
  if (!inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender)) return;
  char reply[3];
  if (rly_agent_request(check_home, buf, static_cast<int>(n), sender, reply) != 1) return;
  send_reply(fd, from, local ? &local_copy : nullptr, reply);
  AGT_LOG_D("agent sendto. %s\n", reply);
}

}  // namespace

namespace rly {

bool ipv4_text(const char* s, size_t len) {
  if (!s || len < 7 || len > 15) return false;
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = start;
    while (end < len && s[end] != '.') ++end;
    if ((part < 3) != (end < len)) return false;  // exactly three dots
    if (!octet(s + start, end - start)) return false;
    start = end + 1;
  }
  return true;
}

bool port_name(const char* name) {
  if (!name) return false;
  const size_t len = strnlen(name, 32);
  if (len >= 32) return false;
  const char* dot = static_cast<const char*>(memrchr(name, '.', len));
  if (!dot) return false;
  const size_t host_len = static_cast<size_t>(dot - name);
  return ipv4_text(name, host_len) && port_value(dot + 1, len - host_len - 1) > 0;
}

int home_open(const char* check_home) {
  if (!check_home || !*check_home || strnlen(check_home, PATH_MAX) >= PATH_MAX) return -1;
  struct stat st;
  if (lstat(check_home, &st) != 0) return -1;
  if (S_ISLNK(st.st_mode) && st.st_uid != 0 && st.st_uid != geteuid()) return -1;
  return open(check_home, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int home_subdir(int dirfd, const char* name) {
  if (dirfd < 0) return -1;
  return openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

void set_home_access(int gid, int mode) {
  g_home_gid = gid;
  g_home_mode = mode;
}

void home_prepare(const char* check_home) {
  if (!check_home || !*check_home) return;
  make_dir(AT_FDCWD, check_home);
  Fd root(home_open(check_home));
  if (!root.ok()) return;
  make_dir(root.get(), "port");
  make_dir(root.get(), "proc");
  if (g_home_gid < 0) return;
  Fd port(home_subdir(root.get(), "port"));
  Fd proc(home_subdir(root.get(), "proc"));
  const int dirs[] = {root.get(), port.get(), proc.get()};
  for (int fd : dirs) {
    if (fd < 0) continue;
    if (fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(g_home_gid)) != 0 ||
        (g_home_mode && fchmod(fd, static_cast<mode_t>(g_home_mode)) != 0))
      AGT_LOG_P("check home %s: group %d mode %04o not set (%d:%s).\n", check_home, g_home_gid,
                g_home_mode, errno, strerror(errno));
  }
}

}  // namespace rly

int rly_agent_parse(const char* msg, int len, rly_agent_req* req) {
  if (!msg || !req || len < 1 || len > RLY_AGENT_MSG_MAX) return RLY_REQ_MALFORMED;
  for (int i = 0; i < len; ++i)
    if (msg[i] < 0x21 || msg[i] > 0x7e) return RLY_REQ_MALFORMED;

  memset(req, 0, sizeof *req);
  bool seen[kFieldCount] = {};
  const char* p = msg;
  const char* const end = msg + len;
  while (p <= end) {
    const char* comma = static_cast<const char*>(memchr(p, ',', static_cast<size_t>(end - p)));
    const char* item_end = comma ? comma : end;
    const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(item_end - p)));
    if (!eq || eq == p) return RLY_REQ_MALFORMED;
    const Field f = field_of(p, static_cast<size_t>(eq - p));
    const char* v = eq + 1;
    const size_t vlen = static_cast<size_t>(item_end - v);
    if (f != kOther) {
      if (seen[f]) return RLY_REQ_MALFORMED;
      seen[f] = true;
    }
    int number = 0;
    switch (f) {
      case kFn:
        if (vlen >= sizeof req->fn || !letters_only(v, vlen)) return RLY_REQ_MALFORMED;
        copy_text(req->fn, sizeof req->fn, v, vlen);
        break;
      case kSock:
        if (!int_value(v, vlen, &number)) return RLY_REQ_MALFORMED;
        break;
      case kTp:
        if (!int_value(v, vlen, &req->tp)) return RLY_REQ_MALFORMED;
        break;
      case kLa:
      case kRa:
        if (!rly::ipv4_text(v, vlen)) return RLY_REQ_MALFORMED;
        copy_text(f == kLa ? req->la : req->ra, sizeof req->la, v, vlen);
        break;
      case kLp:
      case kRp:
        number = port_value(v, vlen);
        if (number < 0) return RLY_REQ_MALFORMED;
        (f == kLp ? req->lp : req->rp) = number;
        break;
      default:
        break;
    }
    if (!comma) break;
    p = comma + 1;
  }

  if (!seen[kFn]) return RLY_REQ_NO_FN;
  if (!seen[kLa] || !seen[kLp]) return RLY_REQ_NO_LOCAL;
  if (req->fn[0] != 'C' && req->fn[0] != 'c') return RLY_REQ_BAD_FN;
  if (!seen[kRa] || !seen[kRp] || !seen[kTp]) return RLY_REQ_NO_REMOTE;
  return RLY_REQ_OK;
}

int rly_agent_request(const char* check_home, const char* msg, int len, const char* sender,
                      char reply[3]) {
  if (!reply) return 0;
  rly_agent_req req;
  const int rc = rly_agent_parse(msg, len, &req);
  if (rc == RLY_REQ_NO_FN || rc == RLY_REQ_BAD_FN) {
    char text[RLY_AGENT_MSG_MAX + 1];
    log_text(text, msg, len);
    if (rc == RLY_REQ_NO_FN) {
      AGT_LOG_T("agent thread unknown type(%s).\n", text);
    } else {
      AGT_LOG_T("agent thread unknown command(%s).\n", text);
    }
  }
  if (rc != RLY_REQ_OK) return 0;
  if (!sender || !rly::ipv4_text(sender, strnlen(sender, 16))) return 0;

  bool ok = false;
  Fd root(rly::home_open(check_home));
  Fd port(rly::home_subdir(root.get(), "port"));
  struct stat home;
  if (port.ok() && fstat(root.get(), &home) == 0) {
    const bool named = entry_exists(port.get(), req.ra, req.rp) ||
                       entry_exists(port.get(), "0.0.0.0", req.rp) ||
                       entry_exists(port.get(), "127.0.0.1", req.rp);
    // A name proves nothing: the port counts as served only while a trusted
    // registration's process lives and its socket listens.
    tav::reg::Verdict why = tav::reg::Verdict::missing;
    const bool served = named && tav::reg::port_served(port.get(), req.rp, home, &why);
    if (named && !served)
      AGT_LOG_T("agent check port(%d): registration %s, NK.\n", req.rp, tav::reg::verdict_name(why));
    // The marker carries the address the request came from, not la: that is
    // the peer address the accepting probe sees.
    ok = served && leave_marker(port.get(), sender, req.lp);
  }
  memcpy(reply, ok ? "OK" : "NK", 3);
  return 1;
}

// Called by the stopping thread: an atomic store, seen by this thread.
void tav_agent_stop(int) { __atomic_store_n(&g_stop_signal, 1, __ATOMIC_RELEASE); }

int rly_agent_serve(int udp_port, const char* check_home, const volatile int* state) {
  AGT_LOG_T("agent thread start.\n");
  Fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.ok()) {
    AGT_LOG_P("agent thread socket (%d:%s) error.\n", errno, strerror(errno));
    AGT_LOG_T("agent thread stop.\n");
    return -1;
  }
  log_rcvbuf(sock.get());
  const int on = 1;
  setsockopt(sock.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  rly::home_prepare(check_home);

  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  int bound = -1;
  if (udp_port >= 1 && udp_port <= 65535) {
    any.sin_port = htons(static_cast<uint16_t>(udp_port));
    bound = bind(sock.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any);
  } else {
    errno = EINVAL;
  }
  if (bound != 0) {
    const int e = errno;
    AGT_LOG_P("agent thread bind (%d:%s) error. udp port(%d)\n", e, strerror(e), udp_port);
    AGT_LOG_T("agent thread stop.\n");
    return -1;
  }
  AGT_LOG_T("agent thread bind. udp port(%d)\n", udp_port);

  while (__atomic_load_n(state, __ATOMIC_ACQUIRE) != kStopState) {
    pollfd p{sock.get(), POLLIN, 0};
    const int rc = poll(&p, 1, kWakeMs);
    if (rc < 0) {
      const int e = errno;
      if (e == EINTR && __atomic_load_n(state, __ATOMIC_ACQUIRE) != kStopState) continue;
      AGT_LOG_D("agent thread select (%d:%s) error.\n", e, strerror(e));
      break;
    }
    if (rc > 0) serve_one(sock.get(), check_home);
  }
  if (__atomic_exchange_n(&g_stop_signal, 0, __ATOMIC_ACQ_REL)) {
    AGT_LOG_T("agent thread stop signal receved.\n");
  }
  AGT_LOG_T("agent thread stop.\n");
  return 0;
}
