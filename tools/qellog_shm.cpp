#include "qellog_shm.h"

#include <cerrno>
#include <sys/ipc.h>
#include <sys/shm.h>

void* tav_shm_get(key_t key, int* id, size_t size, int flags) {
  int shmid;
  do {
    shmid = shmget(key, size, flags);
  } while (shmid < 0 && errno == EINTR);
  if (shmid < 0) return nullptr;
  if (id) *id = shmid;

  void* addr;
  do {
    addr = shmat(shmid, nullptr, 0);
  } while (addr == reinterpret_cast<void*>(-1) && errno == EINTR);
  if (addr == reinterpret_cast<void*>(-1)) return nullptr;
  return addr;
}
