// Registrations that count. Every file is opened without following a link and
// without blocking (a FIFO planted under a name is never waited on), and is
// looked at only after fstat says it is a plain file. Directories are listed
// with getdents64 into the stack, so that a check inside a host's connect or
// accept allocates nothing.
#include "base/tav_registration.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/tav_real.h"

namespace tav::reg {
namespace {

constexpr int kTcpListen = 10;        // TCP_LISTEN in the kernel's state numbering
constexpr int kMaxEntries = 64;       // registrations of one port looked at, at most
constexpr int kMaxDiagReads = 64;     // netlink reads of one dump, at most
constexpr size_t kStatText = 1024;    // /proc/pid/stat is well under this

struct TrustList {
  unsigned ids[kTrustMax];
  int count;
};
TrustList g_users;
TrustList g_groups;

// Decimal digits only, no leading zero (but "0"), into *out; the end.
const char* decimal(const char* p, const char* end, uint64_t* out) {
  if (p >= end || *p < '0' || *p > '9') return nullptr;
  if (*p == '0' && p + 1 < end && p[1] >= '0' && p[1] <= '9') return nullptr;
  uint64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (v > (UINT64_MAX - digit) / 10) return nullptr;
    v = v * 10 + digit;
  }
  *out = v;
  return p;
}

int set_list(TrustList& list, const char* text) {
  list.count = 0;
  if (!text) return 0;
  const char* p = text;
  const char* const end = text + strnlen(text, 1024);
  TrustList next{};
  while (p < end) {
    while (p < end && (*p == ' ' || *p == ',')) ++p;
    if (p == end) break;
    uint64_t id = 0;
    const char* q = decimal(p, end, &id);
    if (!q || id > 0xfffffffeu || (q < end && *q != ',' && *q != ' ') || next.count == kTrustMax)
      return -1;
    next.ids[next.count++] = static_cast<unsigned>(id);
    p = q;
  }
  list = next;
  return 0;
}

bool listed(const TrustList& list, unsigned id) {
  for (int i = 0; i < list.count && i < kTrustMax; ++i)
    if (list.ids[i] == id) return true;
  return false;
}

// Opens an existing plain file for reading; -1 for anything else.
int open_plain(int dirfd, const char* name, struct stat* st, bool* not_plain) {
  *not_plain = false;
  const int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *not_plain = errno == ELOOP || errno == ENXIO;
    return -1;
  }
  if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
    *not_plain = true;
    tav::real::close(fd);
    return -1;
  }
  return fd;
}

// The pid a registration is named by.
bool pid_name(const char* name, int* pid) {
  uint64_t v = 0;
  const char* end = name + strnlen(name, 16);
  const char* q = decimal(name, end, &v);
  if (!q || q != end || v == 0 || v > 0x7fffffff) return false;
  *pid = static_cast<int>(v);
  return true;
}

bool listens_family(int family, int port, uint64_t inode) {
  const int s = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (s < 0) return false;
  // The kernel answers a dump at once; the time-out only bounds a surprise.
  timeval tv{0, 200000};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct {
    nlmsghdr nh;
    inet_diag_req_v2 req;
  } msg{};
  msg.nh.nlmsg_len = sizeof msg;
  msg.nh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  msg.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  msg.req.sdiag_family = static_cast<uint8_t>(family);
  msg.req.sdiag_protocol = IPPROTO_TCP;
  msg.req.idiag_states = 1u << kTcpListen;
  msg.req.id.idiag_sport = htons(static_cast<uint16_t>(port));
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool found = false;
  if (tav::real::sendto(s, &msg, sizeof msg, 0, reinterpret_cast<sockaddr*>(&kernel),
                        sizeof kernel) == static_cast<ssize_t>(sizeof msg)) {
    alignas(nlmsghdr) char buf[8192];
    bool done = false;
    for (int reads = 0; reads < kMaxDiagReads && !done && !found; ++reads) {
      ssize_t n = tav::real::recv(s, buf, sizeof buf, 0);
      if (n <= 0) break;
      for (auto* nh = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(nh, static_cast<size_t>(n));
           nh = NLMSG_NEXT(nh, n)) {
        if (nh->nlmsg_type == NLMSG_DONE || nh->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        if (nh->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
        const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(nh));
        if (ntohs(m->id.idiag_sport) == port && m->idiag_state == kTcpListen &&
            m->idiag_inode == inode) {
          found = true;
          break;
        }
      }
    }
  }
  tav::real::close(s);
  return found;
}

}  // namespace

const char* verdict_name(Verdict v) {
  switch (v) {
    case Verdict::live: return "live";
    case Verdict::missing: return "missing";
    case Verdict::untrusted: return "untrusted";
    case Verdict::stale: return "stale";
    case Verdict::not_listening: return "not listening";
    case Verdict::malformed: return "malformed";
  }
  return "?";
}

size_t format_identity(const Identity& id, char* out, size_t n) {
  if (!out || id.pid <= 0) return 0;
  const int m = snprintf(out, n, "%d %llu %llu\n", id.pid, static_cast<unsigned long long>(id.start),
                         static_cast<unsigned long long>(id.inode));
  return m > 0 && static_cast<size_t>(m) < n ? static_cast<size_t>(m) : 0;
}

bool parse_identity(const char* text, size_t n, Identity* out) {
  if (!text || !out || n == 0 || n > kIdentityText) return false;
  const char* p = text;
  const char* const end = text + n;
  uint64_t v[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (p == end || *p != ' ') return false;
      ++p;
    }
    p = decimal(p, end, &v[i]);
    if (!p) return false;
  }
  if (p != end && !(*p == '\n' && p + 1 == end)) return false;
  if (v[0] == 0 || v[0] > 0x7fffffff || v[1] == 0) return false;
  out->pid = static_cast<int>(v[0]);
  out->start = v[1];
  out->inode = v[2];
  return true;
}

uint64_t process_start(int pid) {
  if (pid <= 0) return 0;
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", pid);
  const int fd = tav::real::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[kStatText];
  ssize_t n = tav::real::read(fd, text, sizeof text - 1);
  tav::real::close(fd);
  if (n <= 0) return 0;
  // The command name (field 2) may hold spaces and parentheses: the fields
  // after it start behind its last ')'.
  const char* p = static_cast<const char*>(memrchr(text, ')', static_cast<size_t>(n)));
  if (!p) return 0;
  const char* const end = text + n;
  ++p;
  // Fields 3 to 21 are skipped; field 22 is the start time.
  for (int field = 3; field <= 22; ++field) {
    while (p < end && *p == ' ') ++p;
    if (field == 22) {
      uint64_t start = 0;
      return decimal(p, end, &start) ? start : 0;
    }
    while (p < end && *p != ' ') ++p;
  }
  return 0;
}

uint64_t own_start() {
  // Kept with the pid it belongs to: a forked child reads its own.
  static std::atomic<uint64_t> cached_pid{0};
  static std::atomic<uint64_t> cached_start{0};
  const auto pid = static_cast<uint64_t>(getpid());
  if (cached_pid.load(std::memory_order_acquire) == pid) return cached_start.load(std::memory_order_relaxed);
  const uint64_t start = process_start(static_cast<int>(pid));
  cached_start.store(start, std::memory_order_relaxed);
  cached_pid.store(pid, std::memory_order_release);
  return start;
}

uint64_t socket_inode(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_ino);
}

bool listens(int port, uint64_t inode) {
  if (port < 1 || port > 65535 || inode == 0) return false;
  return listens_family(AF_INET, port, inode) || listens_family(AF_INET6, port, inode);
}

int set_trusted_users(const char* list) { return set_list(g_users, list); }
int set_trusted_groups(const char* list) { return set_list(g_groups, list); }

bool trusted(const struct stat& entry, const struct stat& home) {
  const uid_t uid = entry.st_uid;
  if (uid == 0 || uid == geteuid() || uid == home.st_uid) return true;
  if (listed(g_users, uid) || listed(g_groups, entry.st_gid)) return true;
  // A home closed to others is written by its group's members only.
  return (home.st_mode & S_IWOTH) == 0 && entry.st_gid == home.st_gid;
}

bool write_entry(int dirfd, const char* name, uint64_t inode) {
  char text[kIdentityText];
  const Identity id{static_cast<int>(getpid()), own_start(), inode};
  const size_t n = format_identity(id, text, sizeof text);
  if (n == 0 || id.start == 0) return false;
  int fd = openat(dirfd, name, O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    fchmod(fd, 0666);
  } else {
    if (errno != EEXIST) return false;
    // Ours from before (the same port listened on again): rewritten. Anyone
    // else's is left alone.
    fd = openat(dirfd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        ftruncate(fd, 0) != 0) {
      tav::real::close(fd);
      return false;
    }
  }
  const bool ok = pwrite(fd, text, n, 0) == static_cast<ssize_t>(n);
  tav::real::close(fd);
  return ok;
}

Verdict check_entry(int dirfd, const char* name, int port, const struct stat& home) {
  struct stat st;
  bool not_plain = false;
  const int fd = open_plain(dirfd, name, &st, &not_plain);
  if (fd < 0) return not_plain ? Verdict::malformed : Verdict::missing;
  if (!trusted(st, home)) {
    tav::real::close(fd);
    return Verdict::untrusted;
  }
  char text[kIdentityText + 1];
  const ssize_t n = pread(fd, text, sizeof text, 0);
  tav::real::close(fd);
  Identity id;
  if (n <= 0 || !parse_identity(text, static_cast<size_t>(n), &id)) return Verdict::malformed;
  int named = 0;
  if (port > 0 && (!pid_name(name, &named) || named != id.pid)) return Verdict::malformed;
  const uint64_t start = process_start(id.pid);
  if (start != id.start) {
    // Its writer is gone, or the pid is another process's now: nobody can
    // make this entry count again. A process that /proc hides from this user
    // (hidepid) cannot be checked: not taken, but not removed either.
    const bool gone = start != 0 || (kill(id.pid, 0) != 0 && errno == ESRCH);
    if (gone) unlinkat(dirfd, name, 0);
    return Verdict::stale;
  }
  if (port > 0 && !listens(port, id.inode)) return Verdict::not_listening;
  return Verdict::live;
}

namespace {
// How close an entry that does not count came to counting (checks in order).
int closeness(Verdict v) {
  switch (v) {
    case Verdict::not_listening: return 4;
    case Verdict::stale: return 3;
    case Verdict::untrusted: return 2;
    case Verdict::malformed: return 1;
    default: return 0;
  }
}
}  // namespace

bool port_served(int portfd, int port, const struct stat& home, Verdict* nearest) {
  Verdict last = Verdict::missing;
  bool served = false;
  char dirname[32];
  snprintf(dirname, sizeof dirname, "127.0.0.1.%d", port);
  const int dfd = openat(portfd, dirname, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd >= 0) {
    alignas(dirent64) char buf[4096];
    int looked = 0;
    while (!served && looked < kMaxEntries) {
      const long n = syscall(SYS_getdents64, dfd, buf, sizeof buf);
      if (n <= 0) break;
      for (long off = 0; off < n && looked < kMaxEntries;) {
        const auto* e = reinterpret_cast<const dirent64*>(buf + off);
        off += e->d_reclen;
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        ++looked;
        const Verdict v = check_entry(dfd, e->d_name, port, home);
        if (v == Verdict::live) {
          served = true;
          break;
        }
        if (closeness(v) > closeness(last)) last = v;
      }
    }
    tav::real::close(dfd);
  }
  if (nearest) *nearest = served ? Verdict::live : last;
  return served;
}

}  // namespace tav::reg
