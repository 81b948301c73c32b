// A list of address entries (address text, port or port range, kind and
// codes), read without a lock by every intercepted call.
//
// Writers (start-up and the Java natives) are serialised by the header's
// mutex. Readers take no lock: they load `count` with acquire ordering and
// walk at most that many entries from `head`. An entry is filled completely
// and linked behind the tail before `count` is raised with a release store, so
// every entry a reader can reach is complete. Entries are never unlinked or
// freed while the process runs; removal only clears `use`, and adding the same
// address and port again sets it back.
#pragma once

#include <pthread.h>

struct taviplist {
  char use;      // 1 = in force, 0 = removed
  char ip[256];  // address text (or local socket path), compared exactly
  int port;      // single port, or 0 / the range marker with from..to
  int from;      // bounds of "*" and ranges, inclusive
  int to;
  int mode;   // kind of the entry, or include (1) / exclude (0)
  int scode;  // system code (server-information and adapter entries)
  int pcode;  // product code
  taviplist* next;
};

struct taviplist_t {
  taviplist* head;
  taviplist* tail;
  int count;
  pthread_mutex_t lock;
};

extern "C" {
taviplist_t* tav_iplist_create(void);
// First of at most `count` entries, in insertion order, with the same address
// text, port, from and to; removed entries are found too. Addresses longer
// than the field are compared as they would be stored (cut to 255 characters).
taviplist* tav_iplist_find(taviplist_t* list, const char* ip, int port, int from, int to);
// Revives and updates a matching entry, or appends a new one. 0, or -1 when
// the list is missing, memory runs out or the lock cannot be taken.
int tav_iplist_add(taviplist_t* list, const char* ip, int port, int from, int to, int mode,
                   int scode, int pcode);
// Clears `use` of the matching entry; -1 when there is none.
int tav_iplist_del(taviplist_t* list, const char* ip, int port, int from, int to);
// Frees everything; callers ensure no other thread uses the list any more.
void tav_iplist_destroy(taviplist_t* list);
}

namespace tav {

// Number of entries a lock-free reader may walk.
inline int iplist_count(const taviplist_t* list) {
  return list ? __atomic_load_n(&list->count, __ATOMIC_ACQUIRE) : 0;
}

// Fields an update may change while readers look at the entry.
inline bool iplist_used(const taviplist* e) {
  return __atomic_load_n(&e->use, __ATOMIC_ACQUIRE) == 1;
}
inline int iplist_mode(const taviplist* e) { return __atomic_load_n(&e->mode, __ATOMIC_RELAXED); }
inline int iplist_scode(const taviplist* e) { return __atomic_load_n(&e->scode, __ATOMIC_RELAXED); }
inline int iplist_pcode(const taviplist* e) { return __atomic_load_n(&e->pcode, __ATOMIC_RELAXED); }

// The first entry (used or not) for which `pred` holds, walking at most the
// published number of entries. The `next` of the last published entry is never
// read, since a writer may be linking behind it.
template <class Pred>
const taviplist* iplist_first(const taviplist_t* list, Pred pred) {
  const int n = iplist_count(list);
  const taviplist* e = n > 0 ? list->head : nullptr;
  for (int i = 0; e; ++i) {
    if (pred(e)) return e;
    if (i + 1 >= n) break;
    e = e->next;
  }
  return nullptr;
}

}  // namespace tav
