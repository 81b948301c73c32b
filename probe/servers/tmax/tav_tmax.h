// Tmax build: the class of the Tmax process the library runs in, its
// settings, the Tmax message header on a connection, and the services and
// transaction codes that are not traced.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/tav_list.h"

struct mthr;
struct mfd;

// Process classes, from the program name.
enum : int {
  TAV_TMAX_SYSTEM = 0,   // the monitor's own processes: no Tmax handling
  TAV_TMAX_CLH = 1,      // client handler
  TAV_TMAX_SERVER = 2,   // application server
  TAV_TMAX_GW = 5,       // gateway
  TAV_TMAX_JEUSGW = 6,   // gateway to JEUS
  TAV_TMAX_MAPPER = 7,   // mapper
};

extern "C" {
extern int tav_tmax_proc;
// "QEL_GTUID_CREATE_SERVER" / "QEL_GTUID_KEEP_SERVER" name this server.
extern int tav_gtuid_create_proc;
extern int tav_gtuid_keep_proc;
// Services (type 0) and transaction codes (type 1) not traced, by prefix.
extern tavlist_t* en_gelist;

// Class, thread count and server flags from the program name, "SVRNAME"
// and the settings file; run before the tables are made. Always 0.
int tav_tmax_init(void);
// The exclusion list (once). Always 0.
int tav_tmax_geinfo(void);
// The header form of descriptor `fd`, from its socket (`mode` 0, bytes
// peeked, not consumed) or from `buf` (`mode` non-zero, `n` bytes); 0 while
// it is not known.
int tav_tmax_hdr_check(int mode, int fd, const void* buf, size_t n);
// 1 when the Tmax message in `buf` (`n` bytes) is not to be traced.
int tav_tmax_gexcept(struct mthr* m, int fd, const void* buf, size_t n);
}

namespace tav::tmax {

// Where a header keeps the message kind and the service name.
inline constexpr size_t kKindAt = 16;
inline constexpr size_t kServiceAt = 68;
// The longest header (form 4).
inline constexpr size_t kHeaderMax = 136;

// The class of a program name.
int process_class(const char* name);

// A header form and its sizes, from the first 4 bytes of a message.
struct Form {
  int hform, hsize, doffs, svcsz;
};
// False when the bytes open no known header (form 7 keeps the sizes it
// found before: `f` is then changed only in `hform`).
bool header_form(const uint8_t* p, size_t n, Form& f);

// Peeks at the first `want` bytes waiting on `fd`; when only the start of
// a message is there, waits a bounded time for the rest on a blocking
// descriptor (never under MSG_DONTWAIT in `recv_flags`). The bytes stay in
// the socket.
ssize_t peek_head(int fd, uint8_t* buf, size_t want, int recv_flags);

// tav_tmax_hdr_check with the host's receive flags (0 for a read).
int header_check(int mode, int fd, const void* buf, size_t n, int recv_flags);

// The 4-byte message kind at offset 16, in either byte order.
bool kind_is(const void* buf, size_t n, uint32_t kind);

}  // namespace tav::tmax
