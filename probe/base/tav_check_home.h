// Check home and agent exchange: which peers are monitored processes.
//
// Listening servers register their ports in a directory tree shared by all
// probe processes and the relay of the host (the check home, root
// tav_agent_home). A connecting probe asks whether its destination port is
// served by a monitored process: for a destination on this host it looks in
// the tree itself, for another host it sends one UDP datagram to that host's
// relay. Either way, when the port is served a marker file named after the
// caller's address and port is left in R/port, and the accepting probe
// consumes the marker of its peer.
//
// Layout under the root R:
//   R/port/H.P                 server listening on address text H, port P
//   R/port/127.0.0.1.P/        port P is served on this host ...
//   R/port/127.0.0.1.P/pid     ... by process pid: "pid start inode"
//   R/proc/pid/                registrations of process pid, by name:
//   R/proc/pid/H.P, R/proc/pid/127.0.0.1.P
//   R/port/Ca.Q                marker: monitored client at Ca, local port Q,
//                              holding "pid start 0" of its writer
// The other files are empty. A port counts as served, and a marker as left,
// only when its entry is alive and its owner trusted (tav_registration.h).
//
// Only dotted IPv4 text and ports 1-65535 ever become names in the tree;
// anything else is refused before a path is built.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "base/tav_export.h"

extern "C" {

// One end of a socket. `type` is SO_TYPE, or -1 when no descriptor was given.
struct sockinfo {
  int type;
  int family;
  union {
    struct {
      int port;       // host byte order
      char host[16];  // dotted IPv4 text (for IPv6 the text after the last ':')
    } in;
    char path[108];   // AF_UNIX, always NUL-terminated (cut to 107 characters)
  };
};

// An excluded address-and-port pair; equal when the 64-bit values are equal.
union except_port {
  uint64_t except;
  struct {
    uint8_t a, b, c, d;  // octets in text order
    uint32_t port;
  } p;
};
static_assert(sizeof(except_port) == 8);

extern char tav_agent_home[64];  // root of the check home
extern char tav_agent_addr[16];  // this node's address text
TAV_EXPORT extern except_port tav_except_port[128];
TAV_EXPORT extern int tav_except_port_count;

// Exclusion table, filled during start-up (no lock). set: 0, or -1 when the
// table is full or `ip` is not dotted text of four octets. is: 1 or 0.
TAV_EXPORT int tav_set_except_port(const char* ip, int port);
TAV_EXPORT int tav_is_except_port(const char* ip, int port);

// Copies at most 63 characters of home and 15 of addr; returns 0.
int tav_set_home(const char* home, const char* addr);

// Describes a socket address (the caller provides a full sockaddr_storage).
// With fd >= 0 also reads SO_TYPE; -1 when that fails or the family is not
// AF_INET, AF_INET6 or AF_UNIX.
int getsockinfo(int fd, const struct sockaddr* addr, sockinfo* info);

// Sends msg to the agent at host:port over a fresh UDP socket connected to
// it. With wait, waits (bounded) for its reply: 0 for "OK", else -1. Without
// wait, 0 once sent.
int sendto_agent(const char* msg, const char* host, int port, int wait);

// Registers a listening socket; -1 when its address is unusable or the check
// home cannot be reached or created.
int tav_listen_port(int fd);
// Registers a bound address (R/port/H.P, R/proc/pid, R/proc/pid/H.P).
TAV_EXPORT int tav_bind_port(int fd, const struct sockaddr* addr);
// Nothing to do; returns 0.
TAV_EXPORT int tav_close_port(int fd);
// Local check: 0 and the marker R/port/la.lp in place when port rp is served
// on this host (by ra, the any-address or 127.0.0.1), else -1.
int tav_bind_check(const char* la, int lp, const char* ra, int rp);
// Connecting side, before the real connect: 0 when the destination is a
// monitored server and the marker is in place, else -1.
int tav_connect_port(int fd, const struct sockaddr* addr, int udp_port);
// Accepting side: 0 when the marker of the peer was found and consumed.
int tav_accept_port(int fd, const struct sockaddr* addr);
}

namespace tav {
// Fixed reply wait of sendto_agent in milliseconds for builds without a
// time-out setting; 0 uses en_qel_check_time (500 ms when below 1).
extern int agent_fixed_wait_ms;
}  // namespace tav
