#include "base/tav_list.h"

#include "base/tav_fifo.h"

namespace fifo = tav::fifo;

tavlist_t* tav_list_create(void) { return fifo::create<tavlist_t>(); }
int tav_list_add(tavlist_t* list, char type, void* data, int size) {
  return fifo::add<tavlist_t, tavlist>(list, type, data, size);
}
tavlist* tav_list_get(tavlist_t* list) { return fifo::get<tavlist_t, tavlist>(list); }
int tav_list_put(tavlist_t* list, tavlist* node, int at_tail) { return fifo::put(list, node, at_tail); }
void tav_list_free(tavlist* node) { fifo::free_node(node); }
void tav_list_destroy(tavlist_t* list) { fifo::destroy(list); }
