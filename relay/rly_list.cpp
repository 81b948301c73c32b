#include "rly_list.h"

#include "base/tav_fifo.h"

namespace fifo = tav::fifo;

rlylist_t* rly_list_create(void) { return fifo::create<rlylist_t>(); }
int rly_list_add(rlylist_t* list, char type, void* data, int size) {
  return fifo::add<rlylist_t, rlylist>(list, type, data, size);
}
rlylist* rly_list_get(rlylist_t* list) { return fifo::get<rlylist_t, rlylist>(list); }
int rly_list_put(rlylist_t* list, rlylist* node, int at_tail) { return fifo::put(list, node, at_tail); }
void rly_list_free(rlylist* node) { fifo::free_node(node); }
void rly_list_destroy(rlylist_t* list) { fifo::destroy(list); }
