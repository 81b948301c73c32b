// Registrations in the check home that count: alive and from someone trusted.
//
// The check home is writable by every monitored process, so the existence of
// a name proves nothing: a server that died, a pid reused by another program,
// or a file planted by another user would otherwise make clients frame their
// messages towards a peer that cannot read the block. An entry counts only when
//  - its owner is trusted: root, this process's user, the owner of the check
//    home, the check home's group when the home is closed to others, or an id
//    named in the trust settings;
//  - it holds the identity of the process that wrote it ("pid start inode"),
//    that process still runs (same start time), and, for a port
//    registration, the socket it registered still listens on the port.
// Entries written before identities existed are empty and do not count.
//
// Shared by the probe (local connects, accepts) and the relay's agent (remote
// callers); it logs nothing itself: callers get a verdict and log as they do.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tav::reg {

// What identifies a registering process beyond its pid, and the socket it
// registered (0 for a connection marker).
struct Identity {
  int pid = 0;
  uint64_t start = 0;  // clock ticks after boot at which the process started
  uint64_t inode = 0;  // the listening socket's inode
};

enum class Verdict {
  live,           // counts
  missing,        // no such entry, or nothing in it that counts
  untrusted,      // owner not trusted
  stale,          // its process ended, or the pid is another process now
  not_listening,  // the process lives but the socket no longer listens there
  malformed,      // no identity in it (an empty or foreign file, a directory)
};

const char* verdict_name(Verdict v);

// Longest identity text, with its newline.
constexpr size_t kIdentityText = 64;

// "pid start inode\n"; the length written, or 0 when it does not fit.
size_t format_identity(const Identity& id, char* out, size_t n);
// Parses what format_identity wrote (nothing else: no sign, no leading zero,
// no trailing bytes but one newline); false for anything else.
bool parse_identity(const char* text, size_t n, Identity* out);

// Start time of a process (field 22 of /proc/pid/stat); 0 when it does not
// exist or cannot be read.
uint64_t process_start(int pid);
// Start time of this process, read once and kept.
uint64_t own_start();
// Inode of a socket descriptor; 0 when fd is not a socket.
uint64_t socket_inode(int fd);
// True when a TCP socket with this inode listens on port (IPv4 or IPv6),
// asked of the kernel's socket diagnostics.
bool listens(int port, uint64_t inode);

// ---- trust -----------------------------------------------------------------

// Replaces the trusted user or group ids with a comma-separated list of
// decimal ids ("" or null: none). -1 when an item is not an id or the list
// holds more than kTrustMax ids; the list is then left empty.
constexpr int kTrustMax = 16;
int set_trusted_users(const char* list);
int set_trusted_groups(const char* list);

// Whether an entry with this owner counts, given the check home's own stat.
bool trusted(const struct stat& entry, const struct stat& home);

// ---- entries ---------------------------------------------------------------

// Writes this process's identity (with `inode`) into a new entry `name` of
// directory dirfd: created exclusively, never through a link, mode 0666. An
// entry of this user that is already there is rewritten. False on failure.
bool write_entry(int dirfd, const char* name, uint64_t inode);

// Checks entry `name` of dirfd. `port` > 0: a port registration whose socket
// must listen on port; 0: a connection marker. A stale entry is removed when
// this process may remove it (never one whose process merely cannot be seen).
Verdict check_entry(int dirfd, const char* name, int port, const struct stat& home);

// Whether port is served on this host: some registration in
// R/port/127.0.0.1.<port>/ (portfd is R/port) is live. `nearest` receives
// the verdict of the entry that came closest to counting (missing when none).
bool port_served(int portfd, int port, const struct stat& home, Verdict* nearest);

}  // namespace tav::reg
