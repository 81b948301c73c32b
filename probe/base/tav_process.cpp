// Process identity and System V shared memory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/shm.h>

#include "base/tav_globals.h"
#include "base/tav_real.h"
#include "base/tav_util.h"

// First line of /proc/<pid>/cmdline, at most 1023 bytes and at most
// outlen - 1. The arguments there are NUL-separated, so the text is the
// first argument. NULL when the file cannot be read or is empty.
char* tav_getproc(pid_t pid, char* out, size_t outlen) {
  if (!out || outlen == 0) return nullptr;
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/cmdline", static_cast<int>(pid));

  // Called in the host's own context (start-up, a forked child): leave its
  // errno as it was.
  int saved = errno;
  int fd = tav::real::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    errno = saved;
    return nullptr;
  }
  size_t cap = outlen - 1 < 1023 ? outlen - 1 : 1023;
  size_t total = 0;
  while (total < cap) {
    ssize_t r = tav::real::read(fd, out + total, cap - total);
    if (r > 0) {
      total += static_cast<size_t>(r);
    } else if (r == 0 || errno != EINTR) {
      break;
    }
  }
  tav::real::close(fd);
  errno = saved;
  if (total == 0) return nullptr;
  out[total] = '\0';
  if (char* nl = static_cast<char*>(std::memchr(out, '\n', total))) *nl = '\0';
  return out;
}

// en_my_pname = the program's base name: the first argument cut at its first
// blank, the part after its last "/", at most 32 bytes.
int tav_getpname(pid_t pid) {
  char arg[128];
  if (!tav_getproc(pid, arg, sizeof arg)) return -1;
  arg[strcspn(arg, " \t")] = '\0';
  const char* slash = std::strrchr(arg, '/');
  const char* name = slash ? slash + 1 : arg;
  size_t len = std::strlen(name);
  if (len > sizeof en_my_pname - 1) len = sizeof en_my_pname - 1;
  std::memcpy(en_my_pname, name, len);
  en_my_pname[len] = '\0';
  return 0;
}

void* tav_shm_get(key_t key, int* id, size_t size, int flags, int clear) {
  int shmid = -1;
  bool created = false;
  if (key == IPC_PRIVATE || (flags & IPC_EXCL)) {
    // A successful get always makes a new segment.
    shmid = shmget(key, size, flags);
    created = shmid >= 0;
  } else if (flags & IPC_CREAT) {
    // Exclusive create first, to learn whether the segment is new; retry
    // once if it vanished between the two calls.
    for (int attempt = 0; attempt < 2 && shmid < 0; ++attempt) {
      shmid = shmget(key, size, flags | IPC_EXCL);
      if (shmid >= 0) {
        created = true;
        break;
      }
      if (errno != EEXIST) break;
      shmid = shmget(key, size, flags & ~IPC_CREAT);
      if (shmid < 0 && errno != ENOENT) break;
    }
  } else {
    shmid = shmget(key, size, flags);
  }
  if (shmid < 0) return nullptr;
  if (id) *id = shmid;

  void* addr = shmat(shmid, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) return nullptr;
  if (clear && created) std::memset(addr, 0, size);
  return addr;
}
