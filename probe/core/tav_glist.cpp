#include "core/tav_glist.h"

#include <cstdlib>
#include <cstring>

#include "base/tav_log.h"
#include "core/tav_tables.h"

namespace tav {
namespace {

int g_waiting;  // records on all lists

void count(int delta) { __atomic_add_fetch(&g_waiting, delta, __ATOMIC_RELAXED); }

// Drops the thread's oldest record; false when its list is empty.
bool drop_oldest(tavlist_t* list) {
  tavlist* oldest = glist_take(list);
  if (!oldest) return false;
  tav_list_free(oldest);
  return true;
}

}  // namespace

int glist_append(mthr* m, char kind, const void* data, size_t size) {
  tavlist_t* list = m->glist;
  if (!list) return -1;
  int dropped = 0;
  while (__atomic_load_n(&list->count, __ATOMIC_RELAXED) >= kGlistThreadMax ||
         glist_waiting() >= kGlistProcessMax) {
    if (!drop_oldest(list)) {
      TAV_LOG_D("M", "glist full (%d records waiting): record dropped.\n", glist_waiting());
      return -1;
    }
    ++dropped;
  }
  if (dropped) TAV_LOG_D("M", "glist full: %d oldest record(s) dropped.\n", dropped);
  void* copy = malloc(size);
  if (!copy) return -1;
  memcpy(copy, data, size);
  if (tav_list_add(list, kind, copy, static_cast<int>(size)) != 0) {
    free(copy);
    return -1;
  }
  count(1);
  return 0;
}

tavlist* glist_take(tavlist_t* list) {
  tavlist* node = tav_list_get(list);
  if (node) count(-1);
  return node;
}

void glist_return(tavlist_t* list, tavlist* node) {
  if (tav_list_put(list, node, 0) == 0) {
    count(1);
  } else {
    tav_list_free(node);
  }
}

int glist_waiting() { return __atomic_load_n(&g_waiting, __ATOMIC_RELAXED); }

}  // namespace tav
