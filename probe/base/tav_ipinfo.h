// Address and service classification: the service list `en_mip` and the
// check list `en_cip`, the parsers of their settings values, and the lookups
// that decide what a socket address is.
//
// Value syntax: entries separated by ",", fields by ":", each field trimmed of
// white space; empty entries and fields vanish. Ports are written as "*"
// (any: port 0, range 1..65535), "a-b" (1 <= a <= b: the range marker with
// range a..b) or a number of 1 to 6 digits. Entries with any other port are
// skipped.
//
// The parsers cut the text they are given (they write separators into it), so
// callers pass a private copy.
#pragma once

#include "base/tav_iplist.h"
#include "base/tav_kinds.h"

// Port of an entry that stands for its from..to range.
inline constexpr int TAV_PORT_RANGE = 0x020A240F;  // 34219023

// Modes of check-list entries.
enum : int {
  TAV_IP_EXCLUDE = 0,
  TAV_IP_INCLUDE = 1,
};

extern "C" {
extern taviplist_t* en_mip;  // service list; null until created
extern taviplist_t* en_cip;  // check list; null until created

// "address:port[:kind]" entries into the service list: mode 1 adds or updates
// them, any other mode removes them. Creates the list when it is missing.
// Returns the number of entries seen (valid or not), -1 when the list cannot
// be created.
int tav_ipinfo(char* text, int mode);
// "address:port:scode:pcode" server-information entries into the service
// list. 0, or -1 when the list does not exist.
int tav_sipinfo(char* text);
// "address:port:scode:pcode" adapter entries into the service list. 0, or -1
// when the list does not exist.
int tav_aipinfo(char* text);
// "address:port" entries into the check list: include when mode is 1, exclude
// otherwise. Creates the list when it is missing. Returns the number of
// entries seen, -1 when the list cannot be created.
int tav_eipinfo(int mode, char* text);
}

namespace tav {

// The service list applied to a socket: `t` is the address under test, `b`
// the socket's bound address (or null), `port` the port under test and
// `dbmsp` the thread's database redirect port (0 when none). Returns the first
// used entry that passes, or null.
//   - A JRMI entry passes, whatever the port, when its address equals `t` or
//     `t` is "127.0.0.1".
//   - Any other entry passes when its address equals `t` or `b`, or `t` is
//     "127.0.0.1" or "0.0.0.0"; and when its single port equals `port`, or
//     `port` is the redirect port `dbmsp`, or for "*" and ranges
//     from <= port <= to.
const taviplist* mip_lookup(const char* t, const char* b, int port, int dbmsp);
// The service list applied to a local socket: the first used entry whose
// address equals the whole path.
const taviplist* mip_lookup_path(const char* path);
// The first used entry of `list` whose address equals `ip` exactly and whose
// port rule matches `port` (single port equal, or for "*" and ranges
// from <= port <= to). `mode` -1 takes any entry, otherwise only entries of
// that mode.
const taviplist* iplist_match(const taviplist_t* list, const char* ip, int port, int mode);

}  // namespace tav
