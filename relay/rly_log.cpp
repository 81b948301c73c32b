#include "rly_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

extern "C" {
int en_log = 0;
int en_log_level = 0;
char en_log_path[128] = "";
char en_log_file[64] = "";
int en_log_sz = 104857600;
int en_log_seq = 0;
char en_agent[33] = "";
}

namespace {

// Bound of one formatted message of tav_usrlog and tav_scrlog.
constexpr size_t kMsgMax = 8192;
// A dump row is 80 characters; offsets beyond 0xffffff widen it by up to two.
constexpr size_t kRowMax = 82;
// Longest " len(%04d)\n" and " mtype(0x%lx) len(%04d)\n" with any values.
constexpr size_t kLenTailMax = 17;
constexpr size_t kQueTailMax = 43;

std::atomic<rly::log_clock_fn> g_clock{nullptr};

// State of the current file, guarded by g_mu together with en_log_seq and
// every open, write and close of the log, so that the lines of concurrent
// threads never mix and a size switch happens once.
std::mutex g_mu;
// "<dir>/<base>.<date>" of the previous line; empty before the first line.
// A new day (or another directory or base name) means a new search.
char g_stem[PATH_MAX] = "";

void now(timespec* ts) {
  rly::log_clock_fn fn = g_clock.load(std::memory_order_acquire);
  if (fn) {
    fn(ts);
  } else {
    clock_gettime(CLOCK_REALTIME, ts);
  }
}

void split_time(const timespec& ts, char* time_buf, char* date_buf) {
  tm t{};
  time_t sec = ts.tv_sec;
  localtime_r(&sec, &t);
  char tmp[64];
  if (time_buf) {
    snprintf(tmp, sizeof tmp, "%02d%02d%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec,
             static_cast<int>(ts.tv_nsec / 1000000));
    memcpy(time_buf, tmp, 11);
    time_buf[10] = '\0';
  }
  if (date_buf) {
    snprintf(tmp, sizeof tmp, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    memcpy(date_buf, tmp, 9);
    date_buf[8] = '\0';
  }
}

int thread_number() { return static_cast<int>(pthread_self()); }

// Length of the text that a vsnprintf result `n` left in `size` bytes.
size_t clamped(size_t size, int n) {
  if (n < 0) return 0;
  return std::min(static_cast<size_t>(n), size - 1);
}

// The same for a whole message: a cut message keeps its line end.
size_t bounded(char* buf, size_t size, int n) {
  if (n < 0) buf[0] = '\0';
  size_t len = clamped(size, n);
  if (n >= 0 && static_cast<size_t>(n) >= size && len > 0) buf[len - 1] = '\n';
  return len;
}

bool write_all(int fd, iovec* iov, int cnt) {
  while (cnt > 0) {
    ssize_t w = writev(fd, iov, cnt);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t done = static_cast<size_t>(w);
    while (cnt > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --cnt;
    }
    if (cnt > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return true;
}

// Opens the file of the current sequence for appending; while it is larger
// than en_log_sz, moves on to the next sequence (the old file stays). The
// name is never followed as a symbolic link, and anything but a regular file
// at the name is not written (O_NONBLOCK keeps a FIFO from blocking the open).
// Called with g_mu held. Returns the descriptor or -1.
int open_current(const char* dir, const char* base, const char* date) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    char name[PATH_MAX];
    int n = snprintf(name, sizeof name, "%s/%s.%s.%04d", dir, base, date, en_log_seq);
    if (n < 0 || static_cast<size_t>(n) >= sizeof name) return -1;
    int fd = open(name, O_CREAT | O_APPEND | O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      close(fd);
      return -1;
    }
    if (en_log_sz > 0 && st.st_size > en_log_sz) {
      close(fd);
      ++en_log_seq;
      continue;
    }
    // Explicit permissions whatever the process umask is.
    if ((st.st_mode & 07777) != 0666) fchmod(fd, 0666);
    return fd;
  }
  return -1;
}

// Writes prefix and message as one line of the current file.
void write_entry(const char* file, int line, char kind, const char* msg, size_t len) {
  if (en_log_file[0] == '\0') return;

  timespec ts;
  now(&ts);
  char tod[11], date[9];
  split_time(ts, tod, date);

  char prefix[256];
  int n = snprintf(prefix, sizeof prefix, "%s %s %d.%0*d %c %c%04d ", en_agent, tod,
                   static_cast<int>(getpid()), 4, thread_number(), kind, rly::log_module(file),
                   line);
  if (n < 0) return;
  size_t plen = std::min(static_cast<size_t>(n), sizeof prefix - 1);

  // Copies of the settings, so that the name and the search agree.
  char dir[sizeof en_log_path + 1];
  char base[sizeof en_log_file + 1];
  snprintf(dir, sizeof dir, "%.*s", static_cast<int>(sizeof en_log_path), en_log_path);
  snprintf(base, sizeof base, "%.*s", static_cast<int>(sizeof en_log_file), en_log_file);
  // An empty directory setting means the root, as the file name has it.
  const char* list_dir = dir[0] ? dir : "/";

  char stem[PATH_MAX];
  n = snprintf(stem, sizeof stem, "%s/%s.%s", dir, base, date);
  if (n < 0 || static_cast<size_t>(n) >= sizeof stem) return;

  std::lock_guard<std::mutex> lock(g_mu);
  if (strcmp(stem, g_stem) != 0 || en_log_seq < 1) {
    en_log_seq = rly::log_find_seq(list_dir, base, date);
    memcpy(g_stem, stem, static_cast<size_t>(n) + 1);
  }
  int fd = open_current(dir, base, date);
  if (fd < 0) return;
  iovec iov[2] = {{prefix, plen}, {const_cast<char*>(msg), len}};
  write_all(fd, iov, 2);
  close(fd);
}

bool is_digits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

bool newer(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Header, tail and dump of `len` bytes in one buffer of (len/16)*82 + 338
// bytes, written as one entry.
void dump_entry(const char* file, int line, char kind, const unsigned char* data, int len,
                size_t tail_max, const char* fmt, va_list ap, long mtype, bool with_type) {
  const size_t ulen = static_cast<size_t>(len);
  const size_t size = (ulen / 16) * 82 + 338;
  const size_t rows = (ulen + 15) / 16;
  char* buf = static_cast<char*>(malloc(size));
  if (!buf) return;
  // What remains after the dump rows, the tail and the final NUL (at least
  // 338 - 82 - 44 bytes) is for the header.
  const size_t header_room = size - rows * kRowMax - tail_max - 1;
  // The header continues on the same line, so a cut one gets no line end.
  size_t pos = clamped(header_room, vsnprintf(buf, header_room, fmt, ap));
  int n = with_type ? snprintf(buf + pos, size - pos, " mtype(0x%lx) len(%04d)\n", mtype, len)
                    : snprintf(buf + pos, size - pos, " len(%04d)\n", len);
  if (n > 0) pos += static_cast<size_t>(n);
  pos += static_cast<size_t>(tav_hexstr(buf + pos, data, len));
  write_entry(file, line, kind, buf, pos);
  free(buf);
}

}  // namespace

namespace rly {

char log_module(const char* file) {
  if (file == nullptr) return 'M';
  const char* slash = strrchr(file, '/');
  const char* base = slash ? slash + 1 : file;
  if (strnlen(base, 4) < 4) return 'M';
  char c = base[3];
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  if (c >= 'A' && c <= 'Z') return c;
  return 'M';
}

int log_find_seq(const char* dir, const char* base, const char* date) {
  char prefix[NAME_MAX + 2];
  int plen = snprintf(prefix, sizeof prefix, "%s.%s.", base, date);
  if (plen < 0 || static_cast<size_t>(plen) >= sizeof prefix) return 1;

  DIR* d = opendir(dir);
  if (!d) return 1;
  int best = 0;
  timespec best_time{};
  while (dirent* e = readdir(d)) {
    const char* name = e->d_name;
    if (strncmp(name, prefix, static_cast<size_t>(plen)) != 0) continue;
    const char* digits = name + plen;
    // Up to nine digits: the sequence fits an int.
    if (!is_digits(digits) || strlen(digits) > 9) continue;
    int seq = atoi(digits);
    if (seq < 1) continue;
    struct stat st;
    if (fstatat(dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    if (best == 0 || newer(st.st_mtim, best_time) ||
        (!newer(best_time, st.st_mtim) && seq > best)) {
      best = seq;
      best_time = st.st_mtim;
    }
  }
  closedir(d);
  return best > 0 ? best : 1;
}

void log_set_clock(log_clock_fn fn) { g_clock.store(fn, std::memory_order_release); }

void log_reset() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_stem[0] = '\0';
  en_log_seq = 0;
}

}  // namespace rly

extern "C" {

void tav_getctime(char* time_buf, char* date_buf) {
  timespec ts;
  now(&ts);
  split_time(ts, time_buf, date_buf);
}

void tav_usrlog(const char* file, int line, char kind, const char* fmt, ...) {
  char msg[kMsgMax];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  write_entry(file, line, kind, msg, bounded(msg, sizeof msg, n));
}

void tav_scrlog(const char* file, int line, const char* fmt, ...) {
  char buf[kMsgMax];
  int n = snprintf(buf, sizeof buf, "%d.%d %c%04d ", static_cast<int>(getpid()), thread_number(),
                   rly::log_module(file), line);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return;
  size_t plen = static_cast<size_t>(n);
  va_list ap;
  va_start(ap, fmt);
  int m = vsnprintf(buf + plen, sizeof buf - plen, fmt, ap);
  va_end(ap);
  size_t len = plen + bounded(buf + plen, sizeof buf - plen, m);
  flockfile(stdout);
  fwrite(buf, 1, len, stdout);
  fflush(stdout);
  funlockfile(stdout);
}

int tav_hexstr(char* out, const void* data, int len) {
  static const char kHex[] = "0123456789abcdef";
  if (out == nullptr) return 0;
  char* o = out;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  if (p == nullptr) len = 0;
  for (int off = 0; off < len; off += 16) {
    const int cnt = std::min(16, len - off);
    int n = snprintf(o, 16, "+ %06xh: ", static_cast<unsigned>(off));
    o += n;
    for (int i = 0; i < cnt; ++i) {
      const unsigned char b = p[off + i];
      *o++ = kHex[b >> 4];
      *o++ = kHex[b & 15];
      *o++ = ' ';
      if (i == 7 && cnt >= 9) {
        *o++ = '-';
        *o++ = ' ';
      }
    }
    // Fill of a short row, so that the character column stays in place.
    for (int i = cnt; i < 16; ++i) {
      *o++ = ' ';
      *o++ = ' ';
      *o++ = ' ';
    }
    if (cnt < 9) {
      *o++ = ' ';
      *o++ = ' ';
    }
    *o++ = '|';
    for (int i = 0; i < 16; ++i) {
      if (i >= cnt) {
        *o++ = ' ';
        continue;
      }
      const unsigned char b = p[off + i];
      *o++ = (b < 32 || b >= 127) ? '.' : static_cast<char>(b);
    }
    *o++ = '|';
    *o++ = '\n';
  }
  *o = '\0';
  return static_cast<int>(o - out);
}

void tav_hexlog(const char* file, int line, char kind, const void* data, int len,
                const char* fmt, ...) {
  if (data == nullptr || len < 1) return;
  va_list ap;
  va_start(ap, fmt);
  dump_entry(file, line, kind, static_cast<const unsigned char*>(data), len, kLenTailMax, fmt, ap,
             0, false);
  va_end(ap);
}

void tav_quelog(const char* file, int line, char kind, const void* msg, int len,
                const char* fmt, ...) {
  if (msg == nullptr) return;
  if (len < 0) len = 0;
  long mtype = 0;
  memcpy(&mtype, msg, sizeof mtype);
  va_list ap;
  va_start(ap, fmt);
  dump_entry(file, line, kind, static_cast<const unsigned char*>(msg) + sizeof mtype, len,
             kQueTailMax, fmt, ap, mtype, true);
  va_end(ap);
}

}  // extern "C"
