// Thread slots: assignment on a thread's first call, release at thread exit,
// and the state a new owner of a slot starts with.
#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "base/tav_globals.h"
#include "base/tav_log.h"
#include "core/tav_tables.h"

mfd* en_mfd;
mthr* en_mthr;
gtuid_t* en_ws_gtuid;
pthread_key_t tav_mth_key;
int tav_mth_idx;
pthread_mutex_t tav_mth_mtx = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Writes the last N decimal digits of `v`, zero-padded, and a NUL.
template <size_t N>
void digits(char (&out)[N + 1], unsigned long v) {
  for (size_t i = N; i-- > 0; v /= 10) out[i] = static_cast<char>('0' + v % 10);
  out[N] = 0;
}

// Copies the first 32 bytes of a name into a 33-byte message field.
void name32(char (&out)[33], const char* name) {
  memset(out, 0, sizeof out);
  memcpy(out, name, strnlen(name, 32));
}

// The process fields of the thread's type-1 message: message type and pid.
void set_process_identity(mthr* m) {
  m->mzp1.type = en_my_pid;
  digits<8>(m->mzp1.pid, static_cast<unsigned long>(en_my_pid));
}

// Fills the identity fields of the thread's type-1 message.
void set_identity(mthr* m) {
  set_process_identity(m);
  mzp1_t& z = m->mzp1;
  digits<3>(z.nid, static_cast<unsigned>(en_my_nid < 0 ? -en_my_nid : en_my_nid));
  digits<8>(z.tid, static_cast<unsigned>(pthread_self()));
  name32(z.dmname, en_my_dname);
  name32(z.ndname, en_my_nname);
  name32(z.srname, en_my_pname);
  name32(z.svname, z.pid);
}

// Clears what a previous owner may have left open: its transaction, its
// database call and its remembered response descriptor.
void clear_transaction(mthr* m) {
  m->gtuid.gflag = 0;
  m->dbmsf = 0;
  m->dbmsp = 0;
  m->ofildes = 0;
  m->gtuid_last_create_fd = 0;
#if TAV_WITH_JAVA
  m->sflag = 0;
  m->wflag = 0;
  m->wfildes = 0;
  memset(m->mqname, 0, sizeof m->mqname);
#endif
}

void release(mthr* m) {
  m->tid = 0;
  m->bl = 0;
#if TAV_WITH_JAVA
  m->jenv = nullptr;
  m->jcls = nullptr;
  m->rmid = nullptr;
  m->smid = nullptr;
#endif
}

// Runs `fn` on the item lists of every slot that was ever handed out.
template <typename F>
void for_each_list(F fn) {
#if TAV_WITH_JAVA
  auto visit = [&](mthr& m) {
    if (m.glist) fn(m.glist);
    if (m.wlist) fn(m.wlist);
  };
  for (int i = 0; i <= tav_mth_idx && i < en_thread_max; ++i) visit(en_mthr[i]);
  visit(en_mthr[en_thread_max]);
#else
  (void)fn;
#endif
}

}  // namespace

mthr* tav_thrinit(mthr* m) {
  memcpy(m->gtuid.init, TAV_GTUID_INIT, sizeof m->gtuid.init);
  clear_transaction(m);
  tav_init_time(&m->mtime);
  set_identity(m);
#if TAV_WITH_JAVA
  if (!m->glist) m->glist = tav_list_create();
  if (!m->wlist) m->wlist = tav_list_create();
#endif
  m->createGTUID = 1;
  return m;
}

mthr* tav_thrinfo(void) {
  if (void* v = pthread_getspecific(tav_mth_key)) {
    return &en_mthr[reinterpret_cast<uintptr_t>(v) - 1];
  }
  const int saved_errno = errno;
  const int self = tav::thread_id();
  mthr* m = nullptr;
  pthread_mutex_lock(&tav_mth_mtx);
  for (int i = 0; i < en_thread_max; ++i) {
    if (en_mthr[i].tid == 0) {
      m = &en_mthr[i];
      m->tid = self;
      tav_thrinit(m);
      if (int rc = pthread_setspecific(tav_mth_key,
                                       reinterpret_cast<void*>(static_cast<uintptr_t>(i) + 1)))
        TAV_LOG_E("M", "thread set. (%d:%s)\n", rc, strerror(rc));
      if (i > tav_mth_idx) tav_mth_idx = i;
      TAV_LOG_D("M", "thread set. (%d)\n", i);
      break;
    }
  }
  if (!m) {
    // Table full: the shared overflow record. It is not stored under the
    // key, so the thread looks for a free slot again at its next call.
    m = tav::overflow_record();
    if (m->tid == 0) {
      m->tid = self;
      tav_thrinit(m);
      TAV_LOG_D("M", "thread set. (%d)\n", en_thread_max);
    }
  }
  pthread_mutex_unlock(&tav_mth_mtx);
  errno = saved_errno;
  return m;
}

void tav_thread_free(void* key_value) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(key_value);
  if (v < 1 || v - 1 > static_cast<uintptr_t>(en_thread_max)) return;
  pthread_mutex_lock(&tav_mth_mtx);
  release(&en_mthr[v - 1]);
  pthread_mutex_unlock(&tav_mth_mtx);
  TAV_LOG_D("M", "thread free. (%d)\n", static_cast<int>(v - 1));
}

namespace tav {

void thread_table_lock_all() {
  pthread_mutex_lock(&tav_mth_mtx);
  for_each_list([](tavlist_t* l) { pthread_mutex_lock(&l->lock); });
}

void thread_table_unlock_all() {
  for_each_list([](tavlist_t* l) { pthread_mutex_unlock(&l->lock); });
  pthread_mutex_unlock(&tav_mth_mtx);
}

void thread_table_after_fork() {
  // Only the forking thread exists in the child: every other slot is free.
  const uintptr_t own = reinterpret_cast<uintptr_t>(pthread_getspecific(tav_mth_key));
  for (int i = 0; i <= en_thread_max; ++i) {
    if (static_cast<uintptr_t>(i) + 1 != own && en_mthr[i].tid != 0) release(&en_mthr[i]);
  }
  if (!own) return;
  // The caller's messages carry the child's pid from now on; a service name
  // that was still the default (the pid digits) follows it.
  mzp1_t& z = en_mthr[own - 1].mzp1;
  const bool default_svname = strcmp(z.svname, z.pid) == 0;
  set_process_identity(&en_mthr[own - 1]);
  if (default_svname) name32(z.svname, z.pid);
}

}  // namespace tav
