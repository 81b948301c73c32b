// Descriptor and thread tables: one record per possible descriptor number and
// one per thread, allocated once at start-up and never freed.
#pragma once

#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "base/tav_globals.h"
#include "base/tav_kinds.h"
#include "base/tav_list.h"
#include "base/tav_mzp.h"
#include "base/tav_time.h"
#include "core/tav_build.h"
#include "core/tav_gtuid.h"

#if TAV_WITH_JAVA
#include <jni.h>
#endif

struct mfd {
  int info;
  int rsize;  // payload bytes still to come of the current inbound message
  int wsize;  // payload bytes still to go of the current outbound message
  int wtail;  // bytes of `wblock` still owed to the wire (its last wtail bytes)
  int rhave;  // bytes of `rblock` received of a block that a read cut
  int rowed;  // bytes of `rblock` that are the host's data, owed to its next read
  int bind;   // bound to an explicit non-zero port
#if defined(TAV_BUILD_JEUS)
  int hform;
#elif defined(TAV_BUILD_WEBLOGIC)
  int jsize;
#elif defined(TAV_BUILD_TMAX)
  // The Tmax header of the connection: form, size, offset of its body length
  // and size of its service name.
  int hform;
  int hsize;
  int doffs;
  int svcsz;
  // A change of up to 16 bytes that the library makes to the host's
  // outbound message (a greeting marker, a handed-off message's own bytes),
  // kept until all of it is out: `pat` is its offset from the next byte the
  // host writes, `phost` the host's bytes there, `pwire` what goes out.
  int plen;
  int pat;
  unsigned char phost[16];
  unsigned char pwire[16];
#endif
  char rip[16];  // peer address text (or last path component)
  int rport;     // peer port (descriptor number for local sockets)
  int scode;
  int pcode;
  // The block of the outbound message in progress, kept only while part of
  // it is still owed because a write took fewer bytes than the block.
  unsigned char wblock[sizeof(gtuid_t)];
  // The start of an inbound block that a read took together with the
  // payload before it, or that a read which could not wait took off; or
  // (`rowed`) bytes taken off as a block's start that turned out to be the
  // host's own.
  unsigned char rblock[sizeof(gtuid_t)];
};
using mfd_t = mfd;

struct mthr {
  int tid;  // owner (low 32 bits of pthread_self); 0 = free slot
  char bl;  // non-zero: the thread's calls pass through untouched
  gtuid_t gtuid;
  mtime_t mtime;
  mdate_t date;  // the date-time text of this second, for the records
  mzp1_t mzp1;
  char custinfo[32];
  char userinfo[32];
  int msize;
  char* mp;  // send buffer for a GTUID block plus payload
  char dbmsf;
  int dbmsp;
  int dbmsetime;
  int dbmsptime;
  int dbmsstime;
  long dbms_ltime;
  int ofildes;
  int fildes;
  int gqsi;
  int tqsi;
  // The record ring this thread is writing to, while it does (see
  // tav_record_out.cpp); null otherwise.
  const void* ring_hold;
#if TAV_WITH_JAVA
  JNIEnv* jenv;
  jclass jcls;
  jmethodID rmid;
  jmethodID smid;
#if !defined(TAV_BUILD_WEBLOGIC)
  jmethodID cmid;
#endif
  tavlist_t* glist;
  tavlist_t* wlist;
  char mqname[16];
  int sflag;
  int wflag;
  int wfildes;
#endif
  timeval tv;
  int action;
  int createGTUID;
  int etc;
  int gtuid_last_create_fd;
#if TAV_WITH_JAVA
  int errflag;
  char errcode[12];
#endif
};
using mthr_t = mthr;

extern "C" {
extern mfd* en_mfd;
extern mthr* en_mthr;
extern gtuid_t* en_ws_gtuid;
extern pthread_key_t tav_mth_key;
extern int tav_mth_idx;
extern pthread_mutex_t tav_mth_mtx;

mthr* tav_thrinfo(void);
mthr* tav_thrinit(mthr* m);
void tav_thread_free(void* key_value);
int tav_fd_init(mthr* m, int fd, const struct sockaddr* addr, int how);
}

namespace tav {

// The record of `fd`, or null when the number lies outside the table.
inline mfd* fd_record(int fd) {
  return static_cast<unsigned>(fd) < static_cast<unsigned>(en_fd_max) ? &en_mfd[fd] : nullptr;
}

// A transaction record is active: it holds the marker and its flag is 1.
inline bool gtuid_active(const gtuid_t& g) {
  return g.gflag == 1 && g.init[0] == TAV_GTUID_INIT[0] && g.init[1] == TAV_GTUID_INIT[1] &&
         g.init[2] == TAV_GTUID_INIT[2] && g.init[3] == TAV_GTUID_INIT[3];
}

// The thread's transaction is active.
inline bool gtuid_active(const mthr* m) { return gtuid_active(m->gtuid); }

// A table of one record per descriptor number, each with the marker in its
// transaction (`Record` is a gtuid_t or holds one as `gtuid`); null when
// memory is short.
template <typename Record>
Record* marked_records() {
  auto* t = static_cast<Record*>(calloc(static_cast<size_t>(en_fd_max), sizeof(Record)));
  for (int i = 0; t && i < en_fd_max; ++i) {
    if constexpr (std::is_same_v<Record, gtuid_t>)
      memcpy(t[i].init, TAV_GTUID_INIT, sizeof t[i].init);
    else
      memcpy(t[i].gtuid.init, TAV_GTUID_INIT, sizeof t[i].gtuid.init);
  }
  return t;
}

// The shared record of threads that found the table full.
inline mthr* overflow_record() { return &en_mthr[en_thread_max]; }

// A thread's record may be used for transaction work: it is the thread's own
// slot (the overflow record is shared and unlocked) and not excluded.
inline bool thread_usable(const mthr* m) { return m != overflow_record() && m->bl == 0; }

// Owner mark of a thread slot: the low 32 bits of the thread id, where a
// thread whose low bits are 0 is marked 1 so its slot never looks free.
inline int thread_id() {
  const unsigned t = static_cast<unsigned>(pthread_self());
  return t ? static_cast<int>(t) : 1;
}

// Records an IPv4/IPv6 peer: its address text and port, and whether it is
// this node's own address (local) or another (remote).
void set_peer(mfd& r, const sockaddr* peer);

// Called in a forked child: frees the slots of threads that do not exist
// there and gives the caller's record the child's pid.
void thread_table_after_fork();
// Locks the thread table and every item list around fork.
void thread_table_lock_all();
void thread_table_unlock_all();

}  // namespace tav
