#include "base/tav_iplist.h"

#include <cstdlib>
#include <cstring>

namespace {

// Copies an address into an entry-sized field, cut to what the field holds.
void copy_ip(char (&out)[sizeof(taviplist::ip)], const char* ip) {
  const size_t n = strnlen(ip, sizeof out - 1);
  memcpy(out, ip, n);
  out[n] = 0;
}

taviplist* find_entry(taviplist_t* list, const char* ip, int port, int from, int to) {
  if (!list || !ip) return nullptr;
  char key[sizeof(taviplist::ip)];
  copy_ip(key, ip);
  const taviplist* e = tav::iplist_first(list, [&](const taviplist* x) {
    return x->port == port && x->from == from && x->to == to && strcmp(x->ip, key) == 0;
  });
  return const_cast<taviplist*>(e);
}

// Runs `fn` with the list's writer lock held; -1 when it cannot be taken.
template <class Fn>
int locked(taviplist_t* list, Fn fn) {
  if (pthread_mutex_lock(&list->lock) != 0) return -1;
  const int rc = fn();
  pthread_mutex_unlock(&list->lock);
  return rc;
}

}  // namespace

taviplist_t* tav_iplist_create(void) {
  auto* list = static_cast<taviplist_t*>(calloc(1, sizeof(taviplist_t)));
  if (list && pthread_mutex_init(&list->lock, nullptr) != 0) {
    free(list);
    return nullptr;
  }
  return list;
}

taviplist* tav_iplist_find(taviplist_t* list, const char* ip, int port, int from, int to) {
  return find_entry(list, ip, port, from, to);
}

int tav_iplist_add(taviplist_t* list, const char* ip, int port, int from, int to, int mode,
                   int scode, int pcode) {
  if (!list || !ip) return -1;
  return locked(list, [&] {
    if (taviplist* e = find_entry(list, ip, port, from, to)) {
      // Readers may be looking at this entry: the new values go in before
      // `use` says the entry is in force.
      __atomic_store_n(&e->mode, mode, __ATOMIC_RELAXED);
      __atomic_store_n(&e->scode, scode, __ATOMIC_RELAXED);
      __atomic_store_n(&e->pcode, pcode, __ATOMIC_RELAXED);
      __atomic_store_n(&e->use, 1, __ATOMIC_RELEASE);
      return 0;
    }
    auto* e = static_cast<taviplist*>(calloc(1, sizeof(taviplist)));
    if (!e) return -1;
    e->use = 1;
    copy_ip(e->ip, ip);
    e->port = port;
    e->from = from;
    e->to = to;
    e->mode = mode;
    e->scode = scode;
    e->pcode = pcode;
    // Readers do not go past the published count, so the new entry may be
    // linked before it is published; the release store of `count` makes the
    // entry and the link visible together.
    if (list->tail)
      list->tail->next = e;
    else
      list->head = e;
    list->tail = e;
    __atomic_store_n(&list->count, list->count + 1, __ATOMIC_RELEASE);
    return 0;
  });
}

int tav_iplist_del(taviplist_t* list, const char* ip, int port, int from, int to) {
  if (!list || !ip) return -1;
  return locked(list, [&] {
    taviplist* e = find_entry(list, ip, port, from, to);
    if (!e) return -1;
    __atomic_store_n(&e->use, 0, __ATOMIC_RELEASE);
    return 0;
  });
}

void tav_iplist_destroy(taviplist_t* list) {
  if (!list) return;
  for (taviplist* e = list->head; e;) {
    taviplist* next = e->next;
    free(e);
    e = next;
  }
  pthread_mutex_destroy(&list->lock);
  free(list);
}
