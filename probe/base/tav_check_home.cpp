// Check home and agent exchange.
//
// The tree is shared with other processes and users, so: the process umask is
// never touched (it is process-wide and the host's threads create files
// meanwhile); files are created exclusively without following a symbolic link
// and get mode 0666 with fchmod, directories get 0777 only when this call
// created them; existing entries are left as they are. Only names built from
// validated address text and port numbers are ever created or removed.
#include "base/tav_check_home.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "base/tav_real.h"
#include "base/tav_registration.h"

char tav_agent_home[64] = "/tmp/.tav";
char tav_agent_addr[16];
except_port tav_except_port[128];
int tav_except_port_count;

namespace tav {
int agent_fixed_wait_ms;
}  // namespace tav

namespace {

constexpr int kExceptMax = static_cast<int>(sizeof tav_except_port / sizeof tav_except_port[0]);
constexpr size_t kPath = 192;   // root (at most 63) and at most 40 for the names below it
constexpr size_t kReply = 64;   // bytes of an agent reply that are read
constexpr int kDefaultWaitMs = 500;

// ---- names -----------------------------------------------------------------

// Dotted IPv4 text: four decimal numbers 0-255 of 1-3 digits without a
// leading zero (as inet_ntop writes them, and as the relay's agent accepts
// them), nothing else. This is what keeps slashes, "..", absolute and
// over-long text out of paths, and names out of the tree that no peer would
// ever look for.
bool valid_ipv4(const char* s) {
  if (!s) return false;
  if (strnlen(s, 16) > 15) return false;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*s != '.') return false;
      ++s;
    }
    int value = 0;
    int digits = 0;
    while (*s >= '0' && *s <= '9') {
      if (++digits > 3 || (digits == 2 && value == 0)) return false;
      value = value * 10 + (*s - '0');
      ++s;
    }
    if (digits == 0 || value > 255) return false;
  }
  return *s == 0;
}

bool valid_port(int port) { return port >= 1 && port <= 65535; }

bool is_loopback(const char* s) { return strncmp(s, "127.", 4) == 0; }

bool same_host(const char* a, const char* b) { return strncmp(a, b, 16) == 0; }

// Formats a path under the check home; false when the root is empty or not
// terminated, or when the result would be cut.
__attribute__((format(printf, 2, 3))) bool home_path(char (&out)[kPath], const char* fmt, ...) {
  const size_t root = strnlen(tav_agent_home, sizeof tav_agent_home);
  if (root == 0 || root >= sizeof tav_agent_home) return false;
  int n = snprintf(out, sizeof out, "%.*s", static_cast<int>(root), tav_agent_home);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out) return false;
  va_list ap;
  va_start(ap, fmt);
  const int m = vsnprintf(out + n, sizeof out - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  return m >= 0 && static_cast<size_t>(n) + static_cast<size_t>(m) < sizeof out;
}

// Path of a "host.port" entry in R/port; false for any name that is not
// dotted IPv4 text and a port 1-65535.
bool port_entry(char (&out)[kPath], const char* host, int port) {
  return valid_ipv4(host) && valid_port(port) && home_path(out, "/port/%s.%d", host, port);
}

pid_t own_pid() { return en_my_pid > 0 ? en_my_pid : getpid(); }

// ---- files -----------------------------------------------------------------

enum class Made { created, existed, failed };

// Creates an empty file with mode 0666 whatever the umask. A name that
// exists in any form, a symbolic link included, is left alone.
Made make_file(const char* path) {
  const int fd = tav::real::open(path, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) return errno == EEXIST ? Made::existed : Made::failed;
  fchmod(fd, 0666);
  tav::real::close(fd);
  return Made::created;
}

// Creates a directory with mode 0777 whatever the umask; the mode is set
// only on a directory this call created, through a descriptor so that a name
// swapped for a symbolic link meanwhile is not followed. The set-group-id bit
// it inherited stays: in a home kept for one group, entries keep that group.
Made make_dir(const char* path) {
  if (mkdir(path, 0777) != 0) return errno == EEXIST ? Made::existed : Made::failed;
  const int fd = tav::real::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    const mode_t keep = fstat(fd, &st) == 0 ? (st.st_mode & S_ISGID) : 0;
    fchmod(fd, 0777 | keep);
    tav::real::close(fd);
  }
  return Made::created;
}

// True when path is now a directory of its own: created, or already there
// and not a symbolic link (nothing is ever created through a link planted
// inside the tree).
bool dir_ready(const char* path) {
  if (make_dir(path) == Made::failed) return false;
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// R, R/port and R/proc. The relay creates them when it starts; a probe that
// finds them missing (relay not started yet, tree cleaned by hand) creates
// them itself with mode 0777 rather than lose its registrations. The root
// may be a link set up by the administrator; the root's parent is never
// created: a check home whose parent is missing, or that cannot be written,
// makes the caller fail at once.
bool ensure_root() {
  char path[kPath];
  if (!home_path(path, "%s", "")) return false;
  struct stat st;
  if (make_dir(path) == Made::failed || stat(path, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  return home_path(path, "/port") && dir_ready(path) && home_path(path, "/proc") && dir_ready(path);
}

// The first registration half: R/port/H.P, R/proc/pid, R/proc/pid/H.P.
// Entries that cannot be created are skipped. For the loopback address the
// name R/port/127.0.0.1.P is the port's registration directory, made when
// the socket listens: no file takes it first.
void register_bound(const char* host, int port, int pid) {
  char path[kPath];
  if (!same_host(host, "127.0.0.1") && port_entry(path, host, port)) make_file(path);
  if (home_path(path, "/proc/%d", pid) && dir_ready(path) &&
      home_path(path, "/proc/%d/%s.%d", pid, host, port))
    make_file(path);
}

// The check home's own stat and a descriptor of R/port, for the checks of
// registrations and markers.
struct PortDir {
  int fd = -1;
  struct stat home {};
  PortDir() {
    char path[kPath];
    if (!home_path(path, "%s", "") || stat(path, &home) != 0 || !S_ISDIR(home.st_mode)) return;
    if (home_path(path, "/port"))
      fd = tav::real::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  }
  ~PortDir() {
    if (fd >= 0) tav::real::close(fd);
  }
  PortDir(const PortDir&) = delete;
  PortDir& operator=(const PortDir&) = delete;
};

// Why an entry was not taken. An untrusted owner is logged once per process:
// whoever plants entries could otherwise fill the host's log.
void not_taken(const char* what, const char* name, tav::reg::Verdict v) {
  if (!en_log) return;
  if (v == tav::reg::Verdict::untrusted) {
    static std::atomic<bool> logged{false};
    if (logged.exchange(true)) return;
    TAV_LOG_E("A", "%s %s: owner not trusted, not taken (logged once)\n", what, name);
    return;
  }
  TAV_LOG_T("A", "%s %s: %s, not taken\n", what, name, tav::reg::verdict_name(v));
}

// ---- sockets ---------------------------------------------------------------

long long now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int reply_wait_ms() {
  if (tav::agent_fixed_wait_ms > 0) return tav::agent_fixed_wait_ms;
  return en_qel_check_time < 1 ? kDefaultWaitMs : en_qel_check_time;
}

// The socket's own address, described; an empty or any-address host becomes
// this node's address text when `node_for_any` is set.
bool own_info(int fd, sockinfo* info, bool node_for_any) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
  if (ss.ss_family != AF_INET && ss.ss_family != AF_INET6) return false;
  if (getsockinfo(fd, reinterpret_cast<const sockaddr*>(&ss), info) != 0) return false;
  if (info->in.host[0] == 0 || (node_for_any && same_host(info->in.host, "0.0.0.0")))
    snprintf(info->in.host, sizeof info->in.host, "%.*s",
             static_cast<int>(strnlen(tav_agent_addr, sizeof tav_agent_addr - 1)), tav_agent_addr);
  return true;
}

bool inet_family(const sockaddr* addr) {
  return addr && (addr->sa_family == AF_INET || addr->sa_family == AF_INET6);
}

// Scans " %d.%d.%d.%d " into an except_port; false for anything else or an
// octet outside 0-255 (which would otherwise alias another address).
bool except_key(const char* ip, int port, except_port* out) {
  if (!ip) return false;
  int a, b, c, d;
  if (sscanf(ip, " %d.%d.%d.%d ", &a, &b, &c, &d) != 4) return false;
  const int octets[] = {a, b, c, d};
  for (int v : octets)
    if (v < 0 || v > 255) return false;
  out->except = 0;
  out->p.a = static_cast<uint8_t>(a);
  out->p.b = static_cast<uint8_t>(b);
  out->p.c = static_cast<uint8_t>(c);
  out->p.d = static_cast<uint8_t>(d);
  out->p.port = static_cast<uint32_t>(port);
  return true;
}

}  // namespace

int tav_set_except_port(const char* ip, int port) {
  except_port e;
  if (tav_except_port_count < 0 || tav_except_port_count >= kExceptMax) return -1;
  if (!except_key(ip, port, &e)) return -1;
  tav_except_port[tav_except_port_count++] = e;
  return 0;
}

int tav_is_except_port(const char* ip, int port) {
  except_port e;
  if (!except_key(ip, port, &e)) return 0;
  const int n = tav_except_port_count < kExceptMax ? tav_except_port_count : kExceptMax;
  for (int i = 0; i < n; ++i)
    if (tav_except_port[i].except == e.except) return 1;
  return 0;
}

int tav_set_home(const char* home, const char* addr) {
  if (home) snprintf(tav_agent_home, sizeof tav_agent_home, "%s", home);
  if (addr) snprintf(tav_agent_addr, sizeof tav_agent_addr, "%s", addr);
  return 0;
}

int getsockinfo(int fd, const struct sockaddr* addr, sockinfo* info) {
  if (!addr || !info) return -1;
  info->type = -1;
  if (fd >= 0) {
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return -1;
    info->type = type;
  }
  info->family = addr->sa_family;
  memset(info->path, 0, sizeof info->path);
  switch (addr->sa_family) {
    case AF_INET: {
      const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
      info->in.port = ntohs(in->sin_port);
      if (!inet_ntop(AF_INET, &in->sin_addr, info->in.host, sizeof info->in.host)) return -1;
      return 0;
    }
    case AF_INET6: {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
      info->in.port = ntohs(in6->sin6_port);
      char text[INET6_ADDRSTRLEN];
      if (!inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return -1;
      const char* tail = strrchr(text, ':');
      tail = tail ? tail + 1 : text;
      snprintf(info->in.host, sizeof info->in.host, "%.15s", tail);
      return 0;
    }
    case AF_UNIX: {
      // A bound path fills sun_path without a terminator when it is 108
      // bytes long.
      const auto* un = reinterpret_cast<const sockaddr_un*>(addr);
      size_t n = strnlen(un->sun_path, sizeof un->sun_path);
      if (n > sizeof info->path - 1) n = sizeof info->path - 1;
      memcpy(info->path, un->sun_path, n);
      info->path[n] = 0;
      return 0;
    }
    default:
      return -1;
  }
}

int sendto_agent(const char* msg, const char* host, int port, int wait) {
  if (!msg || !valid_ipv4(host) || !valid_port(port)) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host, &to.sin_addr) != 1) return -1;

  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Connected, the socket receives datagrams from the agent only: nothing
  // another sender puts on its port can pass for the reply.
  if (tav::real::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    tav::real::close(fd);
    return -1;
  }
  const size_t len = strlen(msg);
  ssize_t sent = -1;
  for (int tries = 0; tries < 3; ++tries) {
    sent = tav::real::send(fd, msg, len, MSG_NOSIGNAL);
    if (sent >= 0 || errno != EINTR) break;
  }
  if (sent != static_cast<ssize_t>(len)) {
    tav::real::close(fd);
    return -1;
  }
  const int wait_ms = reply_wait_ms();
  if (tav::agent_fixed_wait_ms > 0) {
    TAV_LOG_T("A", "sendto (%s)\n", msg);
  } else {
    TAV_LOG_T("A", "sendto (%s) (%d)\n", msg, wait_ms);
  }
  if (!wait) {
    tav::real::close(fd);
    return 0;
  }

  int result = -1;
  const long long deadline = now_ms() + wait_ms;
  // Each pass either ends the wait or was cut short by a signal or a
  // spurious wake-up; the deadline bounds the total, the count the passes.
  for (int pass = 0; pass < 1000; ++pass) {
    const long long left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    char reply[kReply];
    const ssize_t n = tav::real::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    // An error here is the agent's host refusing the port: no agent, no reply.
    if (n < 0) break;
    TAV_LOG_T("A", "sendto (%s), recvfrom (%.*s)\n", msg, static_cast<int>(n), reply);
    result = (n >= 2 && reply[0] == 'O' && reply[1] == 'K') ? 0 : -1;
    break;
  }
  tav::real::close(fd);
  return result;
}

int tav_listen_port(int fd) {
  sockinfo own;
  if (!own_info(fd, &own, false)) return -1;
  const char* host = own.in.host;
  const int port = own.in.port;
  const int pid = static_cast<int>(own_pid());
  char path[kPath];
  if (!port_entry(path, host, port) || !ensure_root()) return -1;

  register_bound(host, port, pid);
  // The registration that counts: this process's identity and the socket.
  // An empty file of this user under the directory's name is an address
  // entry left by an earlier version: the directory takes its place.
  if (home_path(path, "/port/127.0.0.1.%d", port)) {
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 && st.st_uid == geteuid())
      unlink(path);
  }
  if (home_path(path, "/port/127.0.0.1.%d", port) && dir_ready(path)) {
    const int dfd = tav::real::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    char name[16];
    snprintf(name, sizeof name, "%d", pid);
    if (dfd < 0 || !tav::reg::write_entry(dfd, name, tav::reg::socket_inode(fd)))
      TAV_LOG_T("A", "listen(%d) registration %s/%s not written (%d)\n", fd, path, name, errno);
    if (dfd >= 0) tav::real::close(dfd);
  }
  if (home_path(path, "/proc/%d", pid) && dir_ready(path) &&
      home_path(path, "/proc/%d/127.0.0.1.%d", pid, port))
    make_file(path);
  TAV_LOG_T("A", "listen(%d:%d:%s.%d)\n", fd, own.type, host, port);
  return 0;
}

int tav_bind_port(int fd, const struct sockaddr* addr) {
  if (!inet_family(addr)) return -1;
  sockinfo info;
  if (getsockinfo(fd, addr, &info) != 0 || info.in.port == 0) return -1;
  if (info.in.host[0] == 0)
    snprintf(info.in.host, sizeof info.in.host, "%.*s",
             static_cast<int>(strnlen(tav_agent_addr, sizeof tav_agent_addr - 1)), tav_agent_addr);
  char path[kPath];
  if (!port_entry(path, info.in.host, info.in.port) || !ensure_root()) return -1;
  register_bound(info.in.host, info.in.port, static_cast<int>(own_pid()));
  TAV_LOG_T("A", "bind(%d:%d:%s.%d)\n", fd, info.type, info.in.host, info.in.port);
  return 0;
}

int tav_close_port(int) { return 0; }

int tav_bind_check(const char* la, int lp, const char* ra, int rp) {
  char marker[kPath];
  char path[kPath];
  if (!port_entry(marker, la, lp) || !port_entry(path, ra, rp)) return -1;
  if (!ensure_root()) return -1;

  const char* const serving[] = {ra, "0.0.0.0", "127.0.0.1"};
  bool named = false;
  for (const char* host : serving) {
    struct stat st;
    if (port_entry(path, host, rp) && lstat(path, &st) == 0) {
      named = true;
      break;
    }
  }
  if (!named) return -1;
  // A name proves nothing; a live registration of a listening socket does.
  PortDir dir;
  if (dir.fd < 0) return -1;
  tav::reg::Verdict why = tav::reg::Verdict::missing;
  if (!tav::reg::port_served(dir.fd, rp, dir.home, &why)) {
    char name[24];
    snprintf(name, sizeof name, "127.0.0.1.%d", rp);
    not_taken("registration", name, why);
    return -1;
  }
  // The marker names its writer, for the accepting probe to check.
  const char* leaf = strrchr(marker, '/');
  return leaf && tav::reg::write_entry(dir.fd, leaf + 1, 0) ? 0 : -1;
}

int tav_connect_port(int fd, const struct sockaddr* addr, int udp_port) {
  if (!inet_family(addr)) return -1;
  sockinfo dst;
  sockinfo own;
  if (getsockinfo(fd, addr, &dst) != 0) return -1;
  // A socket bound to the any-address is named after this node, so that a
  // marker carries a real address.
  if (!own_info(fd, &own, true)) return -1;
  // Markers are named after the own port: without one nobody could match it.
  if (!valid_port(own.in.port)) return -1;

  int result;
  if (!same_host(dst.in.host, own.in.host) && !same_host(dst.in.host, tav_agent_addr) &&
      !same_host(dst.in.host, "127.0.0.1")) {
    char request[160];
    const int n = snprintf(request, sizeof request, "fn=connect,sock=%d,tp=%d,la=%s,lp=%d,ra=%s,rp=%d",
                           fd, dst.type, own.in.host, own.in.port, dst.in.host, dst.in.port);
    if (n < 0 || static_cast<size_t>(n) >= sizeof request) return -1;
    result = sendto_agent(request, dst.in.host, udp_port, 1);
    TAV_LOG_T("A", "#1 connect(%d:%s:%s)\n", fd, result == 0 ? "OK" : "NK", request);
  } else {
    result = tav_bind_check(own.in.host, own.in.port, dst.in.host, dst.in.port);
    TAV_LOG_T("A", "connect check(local). la=%s,lp=%d,ra=%s,rp=%d. ret(%d)\n", own.in.host,
              own.in.port, dst.in.host, dst.in.port, result);
  }
  return result;
}

int tav_accept_port(int fd, const struct sockaddr* addr) {
  if (!inet_family(addr)) return -1;
  sockinfo own;
  if (!own_info(fd, &own, false)) return -1;
  TAV_LOG_T("A", "#1 accept(%d:%s.%d)\n", fd, own.in.host, own.in.port);
  sockinfo peer;
  if (getsockinfo(fd, addr, &peer) != 0) return -1;
  const char* ca = peer.in.host;
  const int q = peer.in.port;

  // The peer's own name first. A local client bound to the any-address has
  // named its marker after this node (tav_connect_port), while the peer seen
  // here is a loopback address: for such a peer that name comes next. The
  // loopback and any-address names are tried for local peers only: for a peer
  // of another host they could only be a listener's registration file that
  // happens to carry the peer's source port, which must not be consumed.
  const bool local_peer = is_loopback(ca) || same_host(ca, tav_agent_addr);
  const char* candidates[4];
  int count = 0;
  candidates[count++] = ca;
  if (is_loopback(ca) && valid_ipv4(tav_agent_addr) && !same_host(ca, tav_agent_addr))
    candidates[count++] = tav_agent_addr;
  if (local_peer) {
    candidates[count++] = "127.0.0.1";
    candidates[count++] = "0.0.0.0";
  }

  char path[kPath] = "";
  PortDir dir;
  if (dir.fd < 0) return -1;
  for (int i = 0; i < count; ++i) {
    if (!port_entry(path, candidates[i], q)) continue;
    const char* name = strrchr(path, '/') + 1;
    // Only a plain file of a trusted writer that still runs is a marker;
    // R/port/127.0.0.1.P is the directory of a port registration, and a link
    // or other node is nobody's marker.
    const tav::reg::Verdict v = tav::reg::check_entry(dir.fd, name, 0, dir.home);
    if (v != tav::reg::Verdict::live) {
      if (v != tav::reg::Verdict::missing) not_taken("marker", name, v);
      continue;
    }
    TAV_LOG_T("A", "#2 accept(%d:OK:%s.%d)\n", fd, ca, q);
    if (unlinkat(dir.fd, name, 0) != 0) {
      TAV_LOG_T("A", "accept unlink(%s) (%d)\n", path, errno);
      return -1;
    }
    return 0;
  }
  TAV_LOG_T("A", "#2 accept(%d:NK:%s.%d) (%s)\n", fd, ca, q, path);
  return -1;
}
