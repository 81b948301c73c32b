// The probe's logging: a per-process log file, a daily start log and, for
// fatal start-up errors, standard output.
//
// Call sites test en_log (and en_log_level for detail, GTUID and dump lines)
// before calling, so nothing is formatted while logging is off; the TAV_LOG_*
// macros do that. `file` names the call site's module: its first letter is
// the module letter printed in the line ("M" core, "A" agent exchange, ...).
// `line` is the call site's position within the module.
#pragma once

#include <cstddef>

#include "base/tav_export.h"
#include "base/tav_globals.h"

struct gtuid_t;

extern "C" {
TAV_EXPORT char* tav_getctime(char* buf);
TAV_EXPORT void tav_usrlog(const char* file, int line, int kind, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
TAV_EXPORT void tav_strlog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
TAV_EXPORT void tav_scrlog(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
TAV_EXPORT void tav_gtulog(const char* file, int line, int kind, const gtuid_t* g, const char* fmt,
                           ...) __attribute__((format(printf, 5, 6)));
TAV_EXPORT char* tav_hexstr(char* out, const void* data, int len);
TAV_EXPORT void tav_hexlog(const char* file, int line, int kind, const void* data, int len,
                           const char* fmt, ...) __attribute__((format(printf, 6, 7)));
TAV_EXPORT void tav_quelog(const char* file, int line, int kind, const void* msg, int len,
                           const char* fmt, ...) __attribute__((format(printf, 6, 7)));

TAV_EXPORT void tav_usrlog94(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
TAV_EXPORT void tav_scrlog94(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
TAV_EXPORT void tav_gtulog94(const gtuid_t* g, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));
TAV_EXPORT void tav_hexlog94(const void* data, int len, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
TAV_EXPORT void tav_quelog94(const void* msg, int len, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
}

namespace tav {
// Tmax processes: "tmboot" is muted too and thread ids print signed.
extern int log_tmax_style;
// Bytes a caller of tav_hexstr provides for `len` bytes of data.
constexpr size_t hexstr_size(int len) { return (static_cast<size_t>(len) / 16 + 1) * 82 + 256; }
}  // namespace tav

#define TAV_LOG_T(mod, ...) \
  do { if (en_log) tav_usrlog(mod, __LINE__, 'T', __VA_ARGS__); } while (0)
#define TAV_LOG_E(mod, ...) \
  do { if (en_log) tav_usrlog(mod, __LINE__, 'E', __VA_ARGS__); } while (0)
#define TAV_LOG_D(mod, ...) \
  do { if (en_log && en_log_level >= 1) tav_usrlog(mod, __LINE__, 'D', __VA_ARGS__); } while (0)
#define TAV_LOG_G(mod, g, ...) \
  do { if (en_log && en_log_level >= 1) tav_gtulog(mod, __LINE__, 'G', g, __VA_ARGS__); } while (0)
#define TAV_LOG_H(mod, data, len, ...) \
  do { if (en_log && en_log_level >= 2) tav_hexlog(mod, __LINE__, 'H', data, len, __VA_ARGS__); } while (0)
