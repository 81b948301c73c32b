#include "rly_delete.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rly_agent.h"
#include "rly_fd.h"

namespace {

constexpr int kStopState = 4;
constexpr char kRegistered = 0;  // list node: registration name of a running process
constexpr char kEnded = 1;       // list node: R/proc/pid of an ended process

volatile sig_atomic_t g_stop_signal;

using rly::Fd;

// The entries of a directory whose names begin with a digit. Reads through a
// descriptor of its own for the directory given, which stays the caller's.
class DigitEntries {
 public:
  explicit DigitEntries(int dirfd) {
    if (dirfd < 0) return;
    const int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    dir_ = fdopendir(fd);
    if (!dir_) close(fd);
  }
  ~DigitEntries() {
    if (dir_) closedir(dir_);
  }
  DigitEntries(const DigitEntries&) = delete;
  DigitEntries& operator=(const DigitEntries&) = delete;

  // The next name, valid until the next call; null at the end.
  const char* next() {
    while (dir_) {
      const dirent* e = readdir(dir_);
      if (!e) return nullptr;
      if (e->d_name[0] >= '0' && e->d_name[0] <= '9') return e->d_name;
    }
    return nullptr;
  }

 private:
  DIR* dir_ = nullptr;
};

// A process id written as the tree's names are: decimal without leading
// zeros, above 0. -1 for any other name, which is then left alone (a name
// such as "0042" would otherwise stand for another entry than the one read).
int pid_of(const char* name) {
  const size_t len = strnlen(name, 12);
  if (len < 1 || len > 10 || name[0] == '0') return -1;
  long long v = 0;
  for (size_t i = 0; i < len; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    v = v * 10 + (name[i] - '0');
  }
  return v <= INT_MAX ? static_cast<int>(v) : -1;
}

bool process_ended(int pid) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%d", pid);
  struct stat st;
  return stat(path, &st) != 0 && errno == ENOENT;
}

// Path text under the check home, for log lines and list nodes.
__attribute__((format(printf, 3, 4))) void tree_path(char (&out)[PATH_MAX], const char* home,
                                                     const char* fmt, ...) {
  int n = snprintf(out, sizeof out, "%s", home);
  if (n < 0 || static_cast<size_t>(n) >= sizeof out) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out + n, sizeof out - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
}

// Appends a copy of `text` to the list.
void list_text(rlylist_t* list, char type, const char* text) {
  const size_t size = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(size));
  if (!copy) return;
  memcpy(copy, text, size);
  if (rly_list_add(list, type, copy, static_cast<int>(size)) != 0) free(copy);
}

bool registered(rlylist_t* list, const char* name) {
  bool found = false;
  if (pthread_mutex_lock(&list->lock) != 0) return true;  // when in doubt, keep
  for (const rlylist* node = list->head; node && !found; node = node->next)
    found = node->type == kRegistered && node->data && strcmp(static_cast<char*>(node->data), name) == 0;
  pthread_mutex_unlock(&list->lock);
  return found;
}

// Removes the registrations of the ended process `pid` (R/proc/pid is
// `piddir`): for each registration name N, R/port/N/pid, then R/port/N if it
// is an empty directory or a plain file, then R/proc/pid/N.
void clean_ended(const char* home, int portfd, int piddir, int pid) {
  char pidname[16];
  snprintf(pidname, sizeof pidname, "%d", pid);
  char path[PATH_MAX];
  DigitEntries entries(piddir);
  while (const char* entry = entries.next()) {
    if (!rly::port_name(entry)) continue;
    char name[32];  // port_name() checked that it fits
    memcpy(name, entry, strlen(entry) + 1);
    if (portfd >= 0) {
      Fd portdir(rly::home_subdir(portfd, name));
      if (portdir.ok()) unlinkat(portdir.get(), pidname, 0);
      unlinkat(portfd, name, AT_REMOVEDIR);  // only when no other process is in it
      unlinkat(portfd, name, 0);             // only when it is a plain file (or a link)
    }
    tree_path(path, home, "/port/%s/%d", name, pid);
    AGT_LOG_D("delete thread name(%s) unlink.\n", path);
    unlinkat(piddir, name, 0);
    tree_path(path, home, "/proc/%d/%s", pid, name);
    AGT_LOG_D("delete thread [proc] name(%s) unlink.\n", path);
  }
}

// Full scan: the registration names of the running process `pid`.
void collect_running(rlylist_t* list, int piddir) {
  DigitEntries entries(piddir);
  while (const char* entry = entries.next()) {
    if (!rly::port_name(entry)) continue;
    list_text(list, kRegistered, entry);
    AGT_LOG_T("delete thread [conn] name(%s) add.\n", entry);
  }
}

// Full scan: removes the entries of R/port that are at least `min_age`
// seconds past their last access, are not directories and are not registered
// by a running process.
void age_port_entries(const char* home, int portfd, rlylist_t* list, time_t now, int min_age) {
  char path[PATH_MAX];
  DigitEntries entries(portfd);
  while (const char* entry = entries.next()) {
    if (!rly::port_name(entry)) continue;
    char name[32];  // port_name() checked that it fits
    memcpy(name, entry, strlen(entry) + 1);
    tree_path(path, home, "/port/%s", name);
    struct stat st;
    if (fstatat(portfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      const int e = errno;
      AGT_LOG_D("file(%s) stat error(%d:%s)\n", path, e, strerror(e));
      continue;
    }
    const long gab = static_cast<long>(now - st.st_atime);
    AGT_LOG_D("file(%s) now(%ld) atime(%ld) ctime(%ld) mtime(%ld) gab(%ld)\n", path,
              static_cast<long>(now), static_cast<long>(st.st_atime),
              static_cast<long>(st.st_ctime), static_cast<long>(st.st_mtime), gab);
    if (gab < min_age || S_ISDIR(st.st_mode) || registered(list, name)) continue;
    if (unlinkat(portfd, name, 0) == 0) AGT_LOG_T("delete thread [conn] name(%s) unlink.\n", path);
  }
}

// Full scan: removes the R/proc/pid directories of ended processes, emptied
// by clean_ended. The name removed is the process id read back from the
// node's path and checked, relative to R/proc.
void remove_ended_dirs(int procfd, rlylist_t* list) {
  if (pthread_mutex_lock(&list->lock) != 0) return;
  for (const rlylist* node = list->head; node; node = node->next) {
    if (node->type != kEnded || !node->data) continue;
    const char* path = static_cast<const char*>(node->data);
    const char* slash = strrchr(path, '/');
    const char* last = slash ? slash + 1 : path;
    if (pid_of(last) < 0) continue;
    const int e = unlinkat(procfd, last, AT_REMOVEDIR) == 0 ? 0 : errno;
    AGT_LOG_D("rmdir(%s) (%d:%s).\n", path, e, strerror(e));
  }
  pthread_mutex_unlock(&list->lock);
}

}  // namespace

int rly_delete_scan(const char* check_home, rlylist_t* list, time_t now, int min_age) {
  Fd root(rly::home_open(check_home));
  Fd proc(rly::home_subdir(root.get(), "proc"));
  if (!proc.ok()) return -1;
  Fd port(rly::home_subdir(root.get(), "port"));

  char path[PATH_MAX];
  DigitEntries pids(proc.get());
  while (const char* entry = pids.next()) {
    const int pid = pid_of(entry);
    if (pid < 0) continue;
    char pidname[16];
    snprintf(pidname, sizeof pidname, "%d", pid);
    // A planted link instead of the directory is not opened: nothing in it
    // is anyone's registration.
    Fd piddir(rly::home_subdir(proc.get(), pidname));
    if (!piddir.ok()) continue;
    if (process_ended(pid)) {
      clean_ended(check_home, port.get(), piddir.get(), pid);
      if (list) {
        tree_path(path, check_home, "/proc/%d", pid);
        list_text(list, kEnded, path);
        AGT_LOG_T("delete thread [proc] name(%s) add.\n", path);
      }
    } else if (list) {
      collect_running(list, piddir.get());
    }
  }
  if (list) {
    if (port.ok()) age_port_entries(check_home, port.get(), list, now, min_age);
    remove_ended_dirs(proc.get(), list);
  }
  return 0;
}

// Called by the stopping thread: an atomic store, seen by this thread.
void tav_delete_stop(int) { __atomic_store_n(&g_stop_signal, 1, __ATOMIC_RELEASE); }

int rly_delete_serve(const char* check_home, const volatile int* state) {
  AGT_LOG_T("delete thread start.\n");
  rly::home_prepare(check_home);
  int passes = 0;
  while (__atomic_load_n(state, __ATOMIC_ACQUIRE) != kStopState) {
    timespec left{1, 0};
    bool stop = false;
    while (nanosleep(&left, &left) != 0) {
      if (errno != EINTR || __atomic_load_n(state, __ATOMIC_ACQUIRE) == kStopState) {
        stop = true;
        break;
      }
    }
    if (stop || __atomic_load_n(state, __ATOMIC_ACQUIRE) == kStopState) break;
    if (++passes >= rly::kDeleteFullEvery) {
      passes = 0;
      rlylist_t* list = rly_list_create();
      rly_delete_scan(check_home, list, time(nullptr), rly::kDeleteMinAge);
      rly_list_destroy(list);
    } else {
      rly_delete_scan(check_home, nullptr, time(nullptr), rly::kDeleteMinAge);
    }
  }
  if (__atomic_exchange_n(&g_stop_signal, 0, __ATOMIC_ACQ_REL)) {
    AGT_LOG_T("delete thread stop signal receved.\n");
  }
  AGT_LOG_T("delete thread stop.\n");
  return 0;
}
