// A locked first-in-first-out list of typed byte blocks, for any pair of
// list and node records with the fields below. The probe's item lists and
// the relay's lists are both made of it; each program keeps its own record
// names and entry points.
//
//   Node: char type; int size; void* data; Node* next;
//   List: int count; int tsize; Node* head; Node* tail; pthread_mutex_t lock;
#pragma once

#include <pthread.h>

#include <cstdlib>

namespace tav::fifo {

// Links `node` into `list`; the caller holds the lock.
template <typename List, typename Node>
void link(List* list, Node* node, bool at_tail) {
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

// An empty list, or null when memory or the lock cannot be had.
template <typename List>
List* create() {
  auto* list = static_cast<List*>(calloc(1, sizeof(List)));
  if (list && pthread_mutex_init(&list->lock, nullptr) != 0) {
    free(list);
    return nullptr;
  }
  return list;
}

// Appends a block; on success the list owns `data`. -1 leaves it with the
// caller.
template <typename List, typename Node>
int add(List* list, char type, void* data, int size) {
  if (!list) return -1;
  auto* node = static_cast<Node*>(calloc(1, sizeof(Node)));
  if (!node) return -1;
  node->type = type;
  node->size = size;
  node->data = data;
  if (pthread_mutex_lock(&list->lock) != 0) {
    free(node);
    return -1;
  }
  link(list, node, true);
  pthread_mutex_unlock(&list->lock);
  return 0;
}

// Removes the head node; the caller owns it.
template <typename List, typename Node>
Node* get(List* list) {
  if (!list || pthread_mutex_lock(&list->lock) != 0) return nullptr;
  Node* node = list->head;
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

// Gives a node back, at the tail or at the head.
template <typename List, typename Node>
int put(List* list, Node* node, int at_tail) {
  if (!list || !node || pthread_mutex_lock(&list->lock) != 0) return -1;
  link(list, node, at_tail != 0);
  pthread_mutex_unlock(&list->lock);
  return 0;
}

template <typename Node>
void free_node(Node* node) {
  if (!node) return;
  free(node->data);
  free(node);
}

// Frees every node with its data, the lock and the header.
template <typename List>
void destroy(List* list) {
  if (!list) return;
  for (auto* node = list->head; node;) {
    auto* next = node->next;  // taken before the node is freed
    free_node(node);
    node = next;
  }
  pthread_mutex_destroy(&list->lock);
  free(list);
}

}  // namespace tav::fifo
