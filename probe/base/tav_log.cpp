// Log files of the probe. Every line is one open, one write and one close, so
// several processes and threads write at any time and a removed file is
// created again at the next line. Files are created with mode 0666 set
// explicitly (the process umask is the host's and is never touched) and a
// symbolic link at a log file name is never followed.
#include "base/tav_log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/tav_digits.h"
#include "base/tav_errno.h"
#include "base/tav_real.h"

namespace tav {
int log_tmax_style;
}  // namespace tav

namespace {

using tav::ErrnoKeeper;

// A text built piece by piece into a fixed buffer; whatever does not fit is
// cut off.
class Text {
 public:
  Text(char* buf, size_t cap) : buf_(buf), cap_(cap) { buf_[0] = 0; }
  void vadd(const char* fmt, va_list ap) {
    if (len_ + 1 >= cap_) return;
    const int n = vsnprintf(buf_ + len_, cap_ - len_, fmt, ap);
    if (n > 0) len_ = len_ + static_cast<size_t>(n) < cap_ ? len_ + static_cast<size_t>(n) : cap_ - 1;
  }
  __attribute__((format(printf, 2, 3))) void add(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vadd(fmt, ap);
    va_end(ap);
  }
  char* end() { return buf_ + len_; }
  size_t room() const { return cap_ - len_; }
  void grew(size_t n) { len_ += n; }
  const char* data() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char* buf_;
  size_t cap_;
  size_t len_ = 0;
};

constexpr size_t kLine = 4096;

char module_letter(const char* file) { return (file && *file) ? *file : 'M'; }

// Shells that inherit the library write no log.
bool muted() {
  const char* n = en_my_pname;
  if (!strncmp(n, "sh", 2) || !strncmp(n, "ksh", 3) || !strncmp(n, "csh", 3)) return true;
  return tav::log_tmax_style && !strncmp(n, "tmboot", 6);
}

// Opens a log file for appending; a file this call creates gets mode 0666
// whatever the umask.
int open_append(const char* path) {
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW;
  int fd = tav::real::open(path, flags);
  if (fd < 0 && errno == ENOENT) {
    fd = tav::real::open(path, flags | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) fchmod(fd, 0666);
    else if (errno == EEXIST) fd = tav::real::open(path, flags);
  }
  return fd;
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = tav::real::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Appends one entry to the process log, emptying the file first when it has
// grown beyond the size limit.
void append_log(const Text& t) {
  const int fd = open_append(en_log_file);
  if (fd < 0) return;
  struct stat st;
  if (fstat(fd, &st) == 0 && st.st_size > en_log_size) (void)ftruncate(fd, 0);
  write_all(fd, t.data(), t.size());
  tav::real::close(fd);
}

void local_now(timeval& tv, tm& lt) {
  gettimeofday(&tv, nullptr);
  localtime_r(&tv.tv_sec, &lt);
}

unsigned thread_number() { return static_cast<unsigned>(pthread_self()); }

// "hhmmss.mmm node.process.pid.thread "
void add_file_prefix(Text& t) {
  char now[16];
  tav_getctime(now);
  if (tav::log_tmax_style)
    t.add("%s %s.%s.%d.%0*d ", now, en_my_nname, en_my_pname, static_cast<int>(en_my_pid), 4,
          static_cast<int>(thread_number()));
  else
    t.add("%s %s.%s.%d.%0*u ", now, en_my_nname, en_my_pname, static_cast<int>(en_my_pid), 4,
          thread_number());
}

void add_site(Text& t, const char* file, int line, int kind) {
  t.add("%c %c%04d ", kind, module_letter(file), line);
}

// "gtuid(<22 digits> <seq> <bizseq>) (0x<flag>) " and the caller's message,
// at most 256 bytes together.
void add_gtuid_message(Text& t, const gtuid_t* g, const char* fmt, va_list ap) {
  char msg[256];
  Text m(msg, sizeof msg);
  const auto* b = reinterpret_cast<const unsigned char*>(g);
  if (b) {
    char digits[23];
    tav::gtuid_digits(b + 5, digits);  // the identifier follows marker and flag
    m.add("gtuid(%.*s %05d %05d) (0x%02x) ", 22, digits, (b[16] << 8) | b[17], (b[18] << 8) | b[19],
          b[4]);
  }
  m.vadd(fmt, ap);
  t.add("%s", msg);
}

// The call site of a log line: module, position and kind letter. The plain
// variants have none, and are not muted for shells.
struct Site {
  const char* file;
  int line;
  int kind;
};

// "hhmmss.mmm node.process.pid.thread " and, for a call site, its letters.
void add_prefix(Text& t, const Site* site) {
  add_file_prefix(t);
  if (site) add_site(t, site->file, site->line, site->kind);
}

// One line of the process log: the caller's message, behind the GTUID's
// fields when `g` is given.
void log_line(const Site* site, const gtuid_t* g, const char* fmt, va_list ap) {
  if (site && muted()) return;
  char buf[kLine];
  Text t(buf, sizeof buf);
  add_prefix(t, site);
  if (g) add_gtuid_message(t, g, fmt, ap);
  else t.vadd(fmt, ap);
  append_log(t);
}

// One line on standard output.
void screen_line(const Site* site, const char* fmt, va_list ap) {
  char buf[kLine];
  Text t(buf, sizeof buf);
  t.add("%d.%u ", static_cast<int>(getpid()), thread_number());
  if (site) t.add("%c%04d ", module_letter(site->file), site->line);
  t.vadd(fmt, ap);
  write_all(1, t.data(), t.size());
}

// Caller's header, the length line (with the message type for a queue
// message) and the dump, as one entry in a buffer sized for the dump.
void hex_entry(const Site* site, const void* data, int len, bool queue, long mtype,
               const char* fmt, va_list ap) {
  if (site && muted()) return;
  const size_t cap = tav::hexstr_size(len) + kLine;
  char* buf = static_cast<char*>(malloc(cap));
  if (!buf) return;
  Text t(buf, cap);
  add_prefix(t, site);
  t.vadd(fmt, ap);
  if (queue) t.add(" mtype(0x%lx) len(%04d)\n", mtype, len);
  else t.add(" len(%04d)\n", len);
  if (t.room() > tav::hexstr_size(len)) {
    tav_hexstr(t.end(), data, len);
    t.grew(strlen(t.end()));
  }
  append_log(t);
  free(buf);
}

// A queue message: its 8-byte type, then `len` bytes of text.
void queue_entry(const Site* site, const void* msg, int len, const char* fmt, va_list ap) {
  if (!msg || len < 0) return;
  long mtype;
  memcpy(&mtype, msg, sizeof mtype);
  hex_entry(site, static_cast<const char*>(msg) + sizeof mtype, len, true, mtype, fmt, ap);
}

}  // namespace

char* tav_getctime(char* buf) {
  timeval tv;
  tm lt;
  local_now(tv, lt);
  char text[48];
  snprintf(text, sizeof text, "%02d%02d%02d.%03d", lt.tm_hour, lt.tm_min, lt.tm_sec,
           static_cast<int>(tv.tv_usec / 1000));
  memcpy(buf, text, 10);
  buf[10] = 0;
  return buf;
}

void tav_usrlog(const char* file, int line, int kind, const char* fmt, ...) {
  ErrnoKeeper keep;
  const Site site{file, line, kind};
  va_list ap;
  va_start(ap, fmt);
  log_line(&site, nullptr, fmt, ap);
  va_end(ap);
}

void tav_usrlog94(const char* fmt, ...) {
  ErrnoKeeper keep;
  va_list ap;
  va_start(ap, fmt);
  log_line(nullptr, nullptr, fmt, ap);
  va_end(ap);
}

void tav_gtulog(const char* file, int line, int kind, const gtuid_t* g, const char* fmt, ...) {
  ErrnoKeeper keep;
  const Site site{file, line, kind};
  va_list ap;
  va_start(ap, fmt);
  log_line(&site, g, fmt, ap);
  va_end(ap);
}

void tav_gtulog94(const gtuid_t* g, const char* fmt, ...) {
  ErrnoKeeper keep;
  va_list ap;
  va_start(ap, fmt);
  log_line(nullptr, g, fmt, ap);
  va_end(ap);
}

void tav_strlog(const char* fmt, ...) {
  ErrnoKeeper keep;
  if (muted()) return;
  timeval tv;
  tm lt;
  local_now(tv, lt);
  const char* dir = en_start_log_path[0] ? en_start_log_path : en_log_path[0] ? en_log_path : "/tmp";
  char path[256];
  snprintf(path, sizeof path, "%s/tavstart.%04d%02d%02d", dir, (lt.tm_year + 1900) % 10000,
           (lt.tm_mon + 1) % 100, lt.tm_mday % 100);
  char buf[kLine];
  Text t(buf, sizeof buf);
  t.add("%04d-%02d-%02d %02d:%02d:%02d %s.%s.%d : ", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
        lt.tm_hour, lt.tm_min, lt.tm_sec, en_my_nname, en_my_pname, static_cast<int>(en_my_pid));
  va_list ap;
  va_start(ap, fmt);
  t.vadd(fmt, ap);
  va_end(ap);
  const int fd = open_append(path);
  if (fd < 0) return;
  write_all(fd, t.data(), t.size());
  tav::real::close(fd);
}

void tav_scrlog(const char* file, int line, const char* fmt, ...) {
  ErrnoKeeper keep;
  const Site site{file, line, 0};
  va_list ap;
  va_start(ap, fmt);
  screen_line(&site, fmt, ap);
  va_end(ap);
}

void tav_scrlog94(const char* fmt, ...) {
  ErrnoKeeper keep;
  va_list ap;
  va_start(ap, fmt);
  screen_line(nullptr, fmt, ap);
  va_end(ap);
}

void tav_hexlog(const char* file, int line, int kind, const void* data, int len, const char* fmt,
                ...) {
  ErrnoKeeper keep;
  if (!data || len < 1) return;
  const Site site{file, line, kind};
  va_list ap;
  va_start(ap, fmt);
  hex_entry(&site, data, len, false, 0, fmt, ap);
  va_end(ap);
}

void tav_hexlog94(const void* data, int len, const char* fmt, ...) {
  ErrnoKeeper keep;
  if (!data || len < 1) return;
  va_list ap;
  va_start(ap, fmt);
  hex_entry(nullptr, data, len, false, 0, fmt, ap);
  va_end(ap);
}

void tav_quelog(const char* file, int line, int kind, const void* msg, int len, const char* fmt,
                ...) {
  ErrnoKeeper keep;
  const Site site{file, line, kind};
  va_list ap;
  va_start(ap, fmt);
  queue_entry(&site, msg, len, fmt, ap);
  va_end(ap);
}

void tav_quelog94(const void* msg, int len, const char* fmt, ...) {
  ErrnoKeeper keep;
  va_list ap;
  va_start(ap, fmt);
  queue_entry(nullptr, msg, len, fmt, ap);
  va_end(ap);
}
