#include "base/tav_list.h"

#include <cstdlib>

namespace {

// Links `node` into `list`; the caller holds the lock.
void link_node(tavlist_t* list, tavlist* node, bool at_tail) {
  if (!list->head) {
    node->next = nullptr;
    list->head = list->tail = node;
  } else if (at_tail) {
    node->next = nullptr;
    list->tail->next = node;
    list->tail = node;
  } else {
    node->next = list->head;
    list->head = node;
  }
  list->count++;
  list->tsize += node->size;
}

}  // namespace

tavlist_t* tav_list_create(void) {
  auto* list = static_cast<tavlist_t*>(calloc(1, sizeof(tavlist_t)));
  if (list && pthread_mutex_init(&list->lock, nullptr) != 0) {
    free(list);
    return nullptr;
  }
  return list;
}

int tav_list_add(tavlist_t* list, char type, void* data, int size) {
  if (!list) return -1;
  auto* node = static_cast<tavlist*>(calloc(1, sizeof(tavlist)));
  if (!node) return -1;
  node->type = type;
  node->size = size;
  node->data = data;
  if (pthread_mutex_lock(&list->lock) != 0) {
    free(node);
    return -1;
  }
  link_node(list, node, true);
  pthread_mutex_unlock(&list->lock);
  return 0;
}

tavlist* tav_list_get(tavlist_t* list) {
  if (!list || pthread_mutex_lock(&list->lock) != 0) return nullptr;
  tavlist* node = list->head;
  if (node) {
    list->head = node->next;
    if (!list->head) list->tail = nullptr;
    list->count--;
    list->tsize -= node->size;
    node->next = nullptr;
  }
  pthread_mutex_unlock(&list->lock);
  return node;
}

int tav_list_put(tavlist_t* list, tavlist* node, int at_tail) {
  if (!list || !node || pthread_mutex_lock(&list->lock) != 0) return -1;
  link_node(list, node, at_tail != 0);
  pthread_mutex_unlock(&list->lock);
  return 0;
}

void tav_list_free(tavlist* node) {
  if (!node) return;
  free(node->data);
  free(node);
}

void tav_list_destroy(tavlist_t* list) {
  if (!list) return;
  for (tavlist* node = list->head; node;) {
    tavlist* next = node->next;
    tav_list_free(node);
    node = next;
  }
  pthread_mutex_destroy(&list->lock);
  free(list);
}
