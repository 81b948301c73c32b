// Classification of a descriptor from a socket address.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <cstring>

#include "base/tav_ipinfo.h"
#include "base/tav_log.h"
#include "core/tav_tables.h"

namespace {

// Copies at most 15 characters and a NUL into a 16-byte field.
void text16(char (&out)[16], const char* s) {
  size_t n = strnlen(s, sizeof out - 1);
  memcpy(out, s, n);
  out[n] = 0;
}

// Address text of an IPv4 or IPv6 socket address: the dotted form, or for
// IPv6 what follows the last colon of the printed form (which is the dotted
// form for IPv4-mapped addresses). Returns the port in host order.
int inet_text(const sockaddr* sa, char (&out)[16]) {
  char buf[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
    text16(out, buf);
    return ntohs(in->sin_port);
  }
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
  inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
  const char* colon = strrchr(buf, ':');
  text16(out, colon ? colon + 1 : buf);
  return ntohs(in6->sin6_port);
}

void classify_unix(int fd, mfd& r, const sockaddr_un* un) {
  const size_t len = strnlen(un->sun_path, sizeof un->sun_path);
  if (len == 0) return;  // unnamed or abstract: untracked
  char path[sizeof un->sun_path + 1];
  memcpy(path, un->sun_path, len);
  path[len] = 0;
  r.info = MFD_UNIX | MFD_LOCAL;
  if (strstr(path, "/wsmd") || strstr(path, "/htld")) r.info |= MFD_KEEP;
  const char* slash = strrchr(path, '/');
  text16(r.rip, slash ? slash + 1 : path);
  r.rport = fd;
  if (const taviplist* e = tav::mip_lookup_path(path)) r.info |= tav::iplist_mode(e);
  TAV_LOG_D("M", "fd(%04d 0x%08x) (%s) set.\n", fd, r.info, path);
}

// Local address and port of a socket, for the log lines.
int local_text(int fd, char (&out)[16]) {
  sockaddr_storage ss{};
  socklen_t n = sizeof ss;
  out[0] = 0;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &n) != 0) return 0;
  if (ss.ss_family != AF_INET && ss.ss_family != AF_INET6) return 0;
  return inet_text(reinterpret_cast<sockaddr*>(&ss), out);
}

// The service list applied to an IPv4/IPv6 socket: the first matching entry
// adds its kind; a known server also gives its codes.
void apply_service_list(mthr* m, int fd, mfd& r, const char* t, const char* b, int port, int how) {
  const taviplist* e = tav::mip_lookup(t, b, port, m ? m->dbmsp : 0);
  if (!e) return;
  const int mode = tav::iplist_mode(e);
  r.info |= mode;
  if (mode != MFD_JRMI) {
    if ((mode == MFD_SERVER_INFO && how == 2) || (how == 0 && en_qel_server_mode)) {
      r.scode = tav::iplist_scode(e);
      r.pcode = tav::iplist_pcode(e);
      TAV_LOG_T("M", "fd(%04d 0x%08x) (%s:%d) s(%d) p(%d) set.\n", fd, r.info, e->ip, port,
                r.scode, r.pcode);
    }
    if (m && m->dbmsp == port) m->dbmsp = 0;  // the redirect hint is used once
  }
  TAV_LOG_T("M", "fd(%04d 0x%08x) (%s:%d) set.\n", fd, r.info, e->ip, port);
}

void classify_inet(mthr* m, int fd, mfd& r, const sockaddr* sa, int how) {
  char text[16];
  const int port = inet_text(sa, text);
  if (port == 0) return;  // no port: untracked
  r.info = sa->sa_family == AF_INET ? MFD_INET : MFD_INET6;
  // The socket's own address: needed to match a bound socket, else only for
  // the log line.
  char local[16] = "";
  int lport = 0;
  if (how != 2 || (en_log && en_log_level >= 1)) lport = local_text(fd, local);
  if (how == 2) {
    tav::set_peer(r, sa);
    apply_service_list(m, fd, r, text, nullptr, port, how);
  } else {
    // A bound socket is tested as this node's address and as its own.
    apply_service_list(m, fd, r, en_my_ip, local, port, how);
  }
  if (!(en_log && en_log_level >= 1)) return;
  if (how != 2)
    tav_usrlog("M", __LINE__, 'D', "fd(%04d) (%s:%d) bind. (%s)\n", fd, en_my_ip, port, local);
  else if (sa->sa_family == AF_INET)
    tav_usrlog("M", __LINE__, 'D', "fd(%04d) (%s:%d %s:%d) connect.\n", fd, local, lport, text,
               port);
  else
    tav_usrlog("M", __LINE__, 'D', "fd(%04d) (%s) (%s:%d %s:%d) connect.\n", fd, "IPv6", local,
               lport, text, port);
}

}  // namespace

namespace tav {

void set_peer(mfd& r, const sockaddr* sa) {
  char text[16];
  const int port = inet_text(sa, text);
  r.info |= strcmp(text, en_my_ip) == 0 ? MFD_LOCAL : MFD_REMOTE;
  memcpy(r.rip, text, sizeof r.rip);
  r.rport = port;
}

}  // namespace tav

int tav_fd_init(mthr* m, int fd, const struct sockaddr* addr, int how) {
  mfd* r = tav::fd_record(fd);
  if (!r || !addr) return 0;
  switch (addr->sa_family) {
    case AF_UNIX:
      classify_unix(fd, *r, reinterpret_cast<const sockaddr_un*>(addr));
      break;
    case AF_INET:
    case AF_INET6:
      classify_inet(m, fd, *r, addr, how);
      break;
    default:
      break;
  }
  return 0;
}
