// A general hash table keyed by byte strings.
#include "base/tav_hash.h"

#include <cstdlib>
#include <cstring>

#include "base/tav_log.h"
#include "base/tav_lookup2.h"

namespace {

constexpr int kMaxBuckets = 1 << 20;

class Locked {
 public:
  explicit Locked(enhash_table* t) : t_(t) { pthread_mutex_lock(&t_->lock); }
  ~Locked() { pthread_mutex_unlock(&t_->lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  enhash_table* t_;
};

bool usable(const enhash_table* t, const void* key, int len) { return t && key && len > 0; }

hash_entry** bucket_of(enhash_table* t, const void* key, int len) {
  return &t->buckets[t->hash_func(key, len) & static_cast<uint32_t>(t->size - 1)];
}

// The link that points at the entry of `key` in its chain, or at the chain's
// end (null) when the key is absent. Caller holds the lock.
hash_entry** link_of(enhash_table* t, const void* key, int len) {
  hash_entry** at = bucket_of(t, key, len);
  while (*at && !((*at)->key_size == len && memcmp((*at)->key, key, static_cast<size_t>(len)) == 0))
    at = &(*at)->next;
  return at;
}

}  // namespace

enhash_table* enhash_create(int n) {
  int size = 1;
  while (size < n && size < kMaxBuckets) size <<= 1;
  auto* t = static_cast<enhash_table*>(calloc(1, sizeof(enhash_table)));
  if (!t) return nullptr;
  t->buckets = static_cast<hash_entry**>(calloc(static_cast<size_t>(size), sizeof(hash_entry*)));
  if (!t->buckets) {
    free(t);
    return nullptr;
  }
  t->hash_func = tav_lookup2;
  t->size = size;
  t->entries = 0;
  pthread_mutex_init(&t->lock, nullptr);
  return t;
}

int enhash_add(enhash_table* t, const void* key, int len, void* data, void** old) {
  if (!usable(t, key, len)) return -1;
  Locked hold(t);
  if (hash_entry* e = *link_of(t, key, len)) {
    if (old) *old = e->data;
    return 1;
  }
  auto* e = static_cast<hash_entry*>(malloc(sizeof(hash_entry)));
  void* copy = malloc(static_cast<size_t>(len));
  if (!e || !copy) {
    free(e);
    free(copy);
    return -1;
  }
  memcpy(copy, key, static_cast<size_t>(len));
  hash_entry** head = bucket_of(t, key, len);
  *e = hash_entry{copy, len, data, *head};
  *head = e;
  ++t->entries;
  return 0;
}

hash_entry* enhash_serch(enhash_table* t, const void* key, int len, void** data) {
  if (!usable(t, key, len)) return nullptr;
  Locked hold(t);
  hash_entry* e = *link_of(t, key, len);
  if (e && data) *data = e->data;
  return e;
}

void* enhash_find(enhash_table* t, const void* key, int len) {
  if (!usable(t, key, len)) return nullptr;
  Locked hold(t);
  hash_entry* e = *link_of(t, key, len);
  return e ? e->data : nullptr;
}

void* enhash_remove(enhash_table* t, const void* key, int len) {
  if (!usable(t, key, len)) return nullptr;
  hash_entry* e;
  {
    Locked hold(t);
    hash_entry** at = link_of(t, key, len);
    e = *at;
    if (!e) return nullptr;
    *at = e->next;
    --t->entries;
  }
  void* data = e->data;
  enhash_free(e);
  return data;
}

void enhash_free(hash_entry* e) {
  if (!e) return;
  free(e->key);
  free(e);
}

void enhash_destroy(enhash_table* t) {
  if (!t) return;
  for (int i = 0; i < t->size; ++i) {
    hash_entry* e = t->buckets[i];
    while (e) {
      hash_entry* next = e->next;
      enhash_free(e);
      e = next;
    }
  }
  free(t->buckets);
  pthread_mutex_destroy(&t->lock);
  free(t);
}

void enhash_display(enhash_table* t) {
  if (!t || !en_log || en_log_level < 2) return;
  Locked hold(t);
  TAV_LOG_D("M", "hash table. size(%d) entries(%d)\n", t->size, t->entries);
  for (int i = 0; i < t->size; ++i)
    for (const hash_entry* e = t->buckets[i]; e; e = e->next)
      TAV_LOG_H("M", e->key, e->key_size, "bucket(%d) data(%p)", i, e->data);
}
