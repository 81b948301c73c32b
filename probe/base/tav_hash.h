// A general hash table keyed by byte strings. The table keeps its own copy of
// every key; the data pointers belong to the callers. Every operation holds
// the table's lock, so one table may be shared by threads.
#pragma once

#include <pthread.h>

#include <cstdint>

extern "C" {

struct hash_entry {
  void* key;  // the table's copy
  int key_size;
  void* data;
  hash_entry* next;  // next entry of the same bucket
};

struct enhash_table {
  uint32_t (*hash_func)(const void* key, int len);
  int size;  // bucket count, a power of two
  int entries;
  hash_entry** buckets;
  pthread_mutex_t lock;
};

// A table with the smallest power of two >= n buckets (at least 1, at most
// 1 << 20), hashed with lookup2. Null when memory runs out.
enhash_table* enhash_create(int n);
// Adds `key` (a copy of its `len` bytes) with `data` at the head of its
// chain: 0. When the key is already present the table is unchanged, `*old`
// (if `old` is given) receives the present data: 1. Null table or key,
// len < 1 or no memory: -1.
int enhash_add(enhash_table* t, const void* key, int len, void* data, void** old);
// The entry of `key`, or null; `*data` (if given) receives its data.
hash_entry* enhash_serch(enhash_table* t, const void* key, int len, void** data);
// The data of `key`, or null.
void* enhash_find(enhash_table* t, const void* key, int len);
// Removes the entry of `key`; its data, or null when there was none.
void* enhash_remove(enhash_table* t, const void* key, int len);
// Frees the table, its entries and their keys; the data is the callers'.
void enhash_destroy(enhash_table* t);
// Frees one entry and its key (not its data).
void enhash_free(hash_entry* e);
// Logs every non-empty chain (log level 2).
void enhash_display(enhash_table* t);

}
