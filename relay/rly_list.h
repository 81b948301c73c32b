// The relay's list: a locked first-in-first-out list of typed byte blocks.
// The delete thread collects names and paths in one during a full scan.
#pragma once

#include <pthread.h>

struct rlylist {
  char type;
  int size;
  void* data;  // owned by the node while it is in a list
  rlylist* next;
};

struct rlylist_t {
  int count;    // nodes in the list
  int tsize;    // sum of the nodes' sizes
  rlylist* head;
  rlylist* tail;
  pthread_mutex_t lock;
};

extern "C" {
// An empty list, or null when memory or the lock cannot be had.
rlylist_t* rly_list_create(void);
// Appends a block at the tail; on success the list owns `data`. -1 (list
// null, no memory, lock not taken) leaves `data` with the caller.
int rly_list_add(rlylist_t* list, char type, void* data, int size);
// Removes the head node; the caller owns it (free with rly_list_free).
// Null when the list is null or empty.
rlylist* rly_list_get(rlylist_t* list);
// Gives a node back: at the tail when `at_tail` is non-zero, else at the
// head (so it is the next one rly_list_get yields).
int rly_list_put(rlylist_t* list, rlylist* node, int at_tail);
// Frees a node that is in no list, and its data.
void rly_list_free(rlylist* node);
// Frees every node with its data, the lock and the header. Not locked: no
// other thread may use the list any more.
void rly_list_destroy(rlylist_t* list);
}
