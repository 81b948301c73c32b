// The relay's log: one line per call in a numbered file per day,
//   <en_log_path>/<en_log_file>.<YYYYMMDD>.<sequence, 4 digits>
// each line beginning with
//   "<agent> <hhmmss.mmm> <pid>.<thread> <kind> <module><position> ".
// The log functions write whenever they are called: call sites test en_log
// and en_log_level first (the RLY_LOG_* macros below do that), so a switched
// off log costs no formatting.
#pragma once

#include <ctime>

extern "C" {
extern int en_log;          // 1: logging on
extern int en_log_level;    // 1 adds detail lines, 2 adds hex dumps
extern char en_log_path[128];  // directory of the log files
extern char en_log_file[64];   // base name of the log files
extern int en_log_sz;       // a file larger than this is continued in the next sequence
extern int en_log_seq;      // sequence of the current file, 0 before the first line
extern char en_agent[33];   // agent name, first field of every line

// Local time of day "hhmmss.mmm" into time_buf (at least 11 bytes) and the
// local date "YYYYMMDD" into date_buf (at least 9 bytes); either may be null.
void tav_getctime(char* time_buf, char* date_buf);

// One line in the log file. `file` is the call site's source file (__FILE__),
// which names its module letter; `line` is the position printed with it;
// `kind` is the kind letter. Callers end the message with "\n". A message
// longer than the line buffer is cut and still ends with a newline.
void tav_usrlog(const char* file, int line, char kind, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// One line on standard output, "<pid>.<thread> <module><position> " and the
// message; standard output is flushed after it.
void tav_scrlog(const char* file, int line, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Hex dump of `len` bytes into `out`: rows of 16 bytes, 80 characters each
// including the newline. `out` must hold (len / 16 + 1) * 82 + 1 bytes.
// Returns the number of characters written (the text is NUL-terminated).
int tav_hexstr(char* out, const void* data, int len);

// The caller's header, " len(%04d)\n" and the hex dump of `len` bytes, as
// one log entry. Nothing when data is null or len < 1.
void tav_hexlog(const char* file, int line, char kind, const void* data, int len,
                const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// A queue message: the header, " mtype(0x%lx) len(%04d)\n" with the 8-byte
// message type at the start of `msg`, and the dump of the `len` bytes that
// follow the type. Nothing when msg is null.
void tav_quelog(const char* file, int line, char kind, const void* msg, int len,
                const char* fmt, ...) __attribute__((format(printf, 6, 7)));
}

// Call-site forms: trace and error lines whenever logging is on, detail lines
// from level 1, hex and queue dumps from level 2.
#define RLY_LOG_T(...)                                              \
  do {                                                              \
    if (en_log) tav_usrlog(__FILE__, __LINE__, 'T', __VA_ARGS__);   \
  } while (0)
#define RLY_LOG_E(...)                                              \
  do {                                                              \
    if (en_log) tav_usrlog(__FILE__, __LINE__, 'E', __VA_ARGS__);   \
  } while (0)
#define RLY_LOG_D(...)                                                                \
  do {                                                                                \
    if (en_log && en_log_level >= 1) tav_usrlog(__FILE__, __LINE__, 'D', __VA_ARGS__); \
  } while (0)
#define RLY_LOG_H(data, len, ...)                                                \
  do {                                                                           \
    if (en_log && en_log_level >= 2)                                             \
      tav_hexlog(__FILE__, __LINE__, 'H', (data), (len), __VA_ARGS__);           \
  } while (0)
#define RLY_LOG_Q(msg, len, ...)                                                 \
  do {                                                                           \
    if (en_log && en_log_level >= 2)                                             \
      tav_quelog(__FILE__, __LINE__, 'H', (msg), (len), __VA_ARGS__);            \
  } while (0)

namespace rly {

// Module letter of a source file: the fourth character of its base name,
// upper-cased. Relay sources are named so that this letter names the module
// ("tavmaster.cpp" -> 'M' for the start, master and thread code,
// "tavagent.cpp" -> 'A' for the queue readers, agent and delete threads).
// A name shorter than four characters, or whose fourth character is not a
// letter, gives 'M'.
char log_module(const char* file);

// Sequence of the newest regular file "<base>.<date>.<digits>" in `dir`
// (newest by modification time; on equal times the higher sequence), 1 when
// there is none or the directory cannot be read.
int log_find_seq(const char* dir, const char* base, const char* date);

// Replaces the clock of the log (CLOCK_REALTIME); null restores it.
using log_clock_fn = void (*)(struct timespec*);
void log_set_clock(log_clock_fn fn);

// Forgets the current file, so that the next line looks for the newest file
// of the day again.
void log_reset();

}  // namespace rly
