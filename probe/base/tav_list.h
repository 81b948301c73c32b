// A locked first-in-first-out list of typed byte blocks. Threads append the
// records they produce; a sender thread takes them off the head.
#pragma once

#include <pthread.h>

struct tavlist {
  char type;
  int size;
  void* data;  // owned by the node while it is in a list
  tavlist* next;
};

struct tavlist_t {
  int count;
  int tsize;
  tavlist* head;
  tavlist* tail;
  pthread_mutex_t lock;
};

extern "C" {
tavlist_t* tav_list_create(void);
// Appends a block; on success the list owns `data`. -1 leaves it with the caller.
int tav_list_add(tavlist_t* list, char type, void* data, int size);
// Removes the head node; the caller owns it (free with tav_list_free).
tavlist* tav_list_get(tavlist_t* list);
// Gives a node back: at the tail when `at_tail` is non-zero, else at the head.
int tav_list_put(tavlist_t* list, tavlist* node, int at_tail);
void tav_list_free(tavlist* node);
void tav_list_destroy(tavlist_t* list);
}
