// The agent thread and the check-home helpers it shares with the delete
// thread.
//
// Probes on other hosts ask the agent, with one UDP datagram of request text
// such as
//   fn=connect,sock=7,tp=1,la=10.0.0.5,lp=40000,ra=10.0.0.9,rp=8080
// whether the destination port rp is served on this host by a monitored
// process. It is when any of R/port/ra.rp, R/port/0.0.0.0.rp or
// R/port/127.0.0.1.rp exists (R the check home). Then the agent leaves the
// empty marker R/port/S.lp, S being the address the datagram came from (the
// peer address the accepting probe will see), and answers "OK"; otherwise it
// answers "NK". A request it cannot read gets no reply and changes nothing.
//
// The tree is writable by every local user: below the root nothing is ever
// followed through a symbolic link, every name is built from validated
// dotted IPv4 text and port numbers, and files are created exclusively.
#pragma once

#include <cstddef>

#include "rly_log.h"

extern "C" {

// Body of the agent thread: prepares R, R/port and R/proc, binds a UDP
// socket to the any-address and `udp_port`, and answers requests until
// *state is 4. The stop signal interrupts the wait; an interruption while
// *state is not 4 only resumes the wait, and the wait also wakes once a
// second to look at *state, so a stop signal that comes before the wait
// begins is not lost. Returns 0 after a stop, -1 when the socket cannot be
// opened or bound (logged, as is the stop).
int rly_agent_serve(int udp_port, const char* check_home, const volatile int* state);

// Handler of the agent thread's stop signal. Logging is not safe in a signal
// handler: it only notes the signal, and the thread writes the stop-signal
// line once its wait has returned.
void tav_agent_stop(int sig);

// One request, read and checked.
struct rly_agent_req {
  char fn[16];  // the function; only its first letter counts
  int tp;       // socket type of the caller (informational)
  char la[16];  // the caller's own address text
  int lp;       // the caller's own port, 1-65535
  char ra[16];  // destination address text, canonical dotted IPv4
  int rp;       // destination port, 1-65535
};

// Results of rly_agent_parse, in the order the checks are made.
enum {
  RLY_REQ_OK = 0,
  RLY_REQ_MALFORMED = -1,  // not a list of key=value fields, a repeated key,
                           // a byte that is not printable, too long, or a
                           // known field whose value is not what it must be
  RLY_REQ_NO_FN = -2,      // no "fn" field (logged as an unknown type)
  RLY_REQ_NO_LOCAL = -3,   // no "la" or "lp"
  RLY_REQ_BAD_FN = -4,     // fn does not begin with "C" in any case (logged
                           // as an unknown command)
  RLY_REQ_NO_REMOTE = -5,  // no "ra", "rp" or "tp"
};

// Longest request text; a longer datagram is refused whole.
enum { RLY_AGENT_MSG_MAX = 128 };

// Reads a request of `len` bytes (no terminator needed). The text is a
// comma-separated list of key=value fields; keys other than fn, sock, tp,
// la, lp, ra and rp are ignored. Addresses must be canonical dotted IPv4
// text, ports decimal 1-65535, tp and sock decimal ints.
int rly_agent_parse(const char* msg, int len, rly_agent_req* req);

// Answers one request that came from `sender` (dotted IPv4 text). Returns 1
// with the reply word in `reply` ("OK" when the marker is in place, "NK"
// when the port is not served here or no marker could be left), 0 when the
// request gets no reply.
int rly_agent_request(const char* check_home, const char* msg, int len, const char* sender,
                      char reply[3]);
}

namespace rly {

// Canonical dotted IPv4 text of exactly `len` bytes: four numbers 0-255
// without leading zeros, as inet_ntop writes them.
bool ipv4_text(const char* s, size_t len);

// A registration or marker name "a.b.c.d.port": canonical IPv4 text, a dot
// and a port 1-65535 without leading zeros. Only such names are created or
// removed under R/port and R/proc/pid.
bool port_name(const char* name);

// Opens the check home's root directory. The root may be a symbolic link set
// up by the administrator, but only one owned by root or by this process's
// user; -1 otherwise, or when it is not a directory.
int home_open(const char* check_home);

// Opens the directory `name` inside `dirfd` without following a link; -1
// when it is missing or not a directory.
int home_subdir(int dirfd, const char* name);

// Creates R, R/port and R/proc where missing, with mode 0777 whatever the
// umask (the process umask is shared with the host's threads and is never
// changed). Existing entries are kept. With a home group set
// (set_home_access), the three directories instead get that group and the
// mode given (for example 02770: only the group's members, the monitored
// servers' users, can write the tree, and what they create keeps the group).
void home_prepare(const char* check_home);

// Group id (-1: none) and mode (0: none) that home_prepare gives the tree.
void set_home_access(int gid, int mode);

}  // namespace rly

// Lines of the agent and delete threads. The logger names a line's module by
// the fourth letter of the unit it is given: these threads log as unit
// "tavagent", module "A", like the queue readers.
#define RLY_AGT_UNIT "tavagent"
#define AGT_LOG_T(...)                                               \
  do {                                                               \
    if (en_log) tav_usrlog(RLY_AGT_UNIT, __LINE__, 'T', __VA_ARGS__); \
  } while (0)
#define AGT_LOG_P(...)                                               \
  do {                                                               \
    if (en_log) tav_usrlog(RLY_AGT_UNIT, __LINE__, 'P', __VA_ARGS__); \
  } while (0)
#define AGT_LOG_D(...)                                                                   \
  do {                                                                                   \
    if (en_log && en_log_level >= 1) tav_usrlog(RLY_AGT_UNIT, __LINE__, 'D', __VA_ARGS__); \
  } while (0)
