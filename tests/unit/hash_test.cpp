// The byte-string hash table: bucket counts, adding, finding and removing,
// chains of colliding keys, binary keys, argument checks and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_hash.h"
#include "base/tav_lookup2.h"

namespace {

struct TableDeleter {
  void operator()(enhash_table* t) const { enhash_destroy(t); }
};
using Table = std::unique_ptr<enhash_table, TableDeleter>;

Table make(int n) {
  Table t(enhash_create(n));
  EXPECT_NE(t, nullptr);
  return t;
}

int add(enhash_table* t, const std::string& key, void* data, void** old = nullptr) {
  return enhash_add(t, key.data(), static_cast<int>(key.size()), data, old);
}
void* find(enhash_table* t, const std::string& key) {
  return enhash_find(t, key.data(), static_cast<int>(key.size()));
}
void* remove(enhash_table* t, const std::string& key) {
  return enhash_remove(t, key.data(), static_cast<int>(key.size()));
}

int chain_length(const enhash_table* t, int bucket) {
  int n = 0;
  for (const hash_entry* e = t->buckets[bucket]; e; e = e->next) ++n;
  return n;
}

TEST(Hash, BucketCountIsTheNextPowerOfTwo) {
  const struct {
    int n, size;
  } cases[] = {{1, 1}, {5, 8}, {16, 16}, {17, 32}, {0, 1}, {-3, 1}, {1 << 30, 1 << 20}};
  for (const auto& c : cases) {
    Table t = make(c.n);
    ASSERT_NE(t, nullptr) << c.n;
    EXPECT_EQ(t->size, c.size) << c.n;
    EXPECT_EQ(t->entries, 0) << c.n;
    for (int i = 0; i < t->size; ++i) ASSERT_EQ(t->buckets[i], nullptr) << c.n;
  }
}

TEST(Hash, AddFindDuplicateRemove) {
  Table t = make(16);
  int a = 1, b = 2;
  EXPECT_EQ(add(t.get(), "alpha", &a), 0);
  EXPECT_EQ(add(t.get(), "beta", &b), 0);
  EXPECT_EQ(t->entries, 2);
  EXPECT_EQ(find(t.get(), "alpha"), &a);
  EXPECT_EQ(find(t.get(), "beta"), &b);
  EXPECT_EQ(find(t.get(), "gamma"), nullptr);

  // A second add of a present key reports the present data and changes nothing.
  void* old = nullptr;
  EXPECT_EQ(add(t.get(), "alpha", &b, &old), 1);
  EXPECT_EQ(old, &a);
  EXPECT_EQ(add(t.get(), "alpha", &b), 1);  // without `old`
  EXPECT_EQ(find(t.get(), "alpha"), &a);
  EXPECT_EQ(t->entries, 2);

  void* data = nullptr;
  hash_entry* e = enhash_serch(t.get(), "beta", 4, &data);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(data, &b);
  EXPECT_EQ(e->data, &b);
  EXPECT_EQ(e->key_size, 4);
  EXPECT_EQ(std::string(static_cast<const char*>(e->key), 4), "beta");
  EXPECT_EQ(enhash_serch(t.get(), "beta", 4, nullptr), e);  // data out-pointer optional
  data = &a;
  EXPECT_EQ(enhash_serch(t.get(), "delta", 5, &data), nullptr);
  EXPECT_EQ(data, &a) << "untouched when absent";

  EXPECT_EQ(remove(t.get(), "alpha"), &a);
  EXPECT_EQ(remove(t.get(), "alpha"), nullptr);
  EXPECT_EQ(find(t.get(), "alpha"), nullptr);
  EXPECT_EQ(find(t.get(), "beta"), &b);
  EXPECT_EQ(t->entries, 1);
  EXPECT_EQ(add(t.get(), "alpha", &b), 0);  // may come back after removal
  EXPECT_EQ(find(t.get(), "alpha"), &b);
}

TEST(Hash, KeepsItsOwnCopyOfTheKey) {
  Table t = make(8);
  int a = 1;
  std::string key = "session-42";
  ASSERT_EQ(add(t.get(), key, &a), 0);
  void* stored = nullptr;
  hash_entry* e = enhash_serch(t.get(), key.data(), static_cast<int>(key.size()), &stored);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e->key, static_cast<void*>(key.data()));
  key[0] = 'X';  // the caller reuses its buffer
  EXPECT_EQ(find(t.get(), key), nullptr);
  EXPECT_EQ(find(t.get(), "session-42"), &a);
}

// The entry sits in the bucket that lookup2 (initial value 0) of the key
// selects, at the head of its chain.
TEST(Hash, BucketIsTheLookup2HashMaskedBySize) {
  Table t = make(64);
  EXPECT_EQ(t->hash_func("some key", 8), tav_lookup2("some key", 8));
  int d[3];
  const std::string keys[] = {"one", "two", "three"};
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(add(t.get(), keys[i], &d[i]), 0);
    const uint32_t bucket = tav_lookup2(keys[i].data(), static_cast<int>(keys[i].size())) & 63u;
    ASSERT_NE(t->buckets[bucket], nullptr) << keys[i];
    EXPECT_EQ(t->buckets[bucket]->data, &d[i]) << keys[i];
  }
}

// One bucket: every key shares the chain; removing its head, middle and tail
// keeps the rest reachable.
TEST(Hash, CollidingKeysShareAChain) {
  Table t = make(1);
  int d[5];
  for (int i = 0; i < 5; ++i) ASSERT_EQ(add(t.get(), "key" + std::to_string(i), &d[i]), 0);
  EXPECT_EQ(chain_length(t.get(), 0), 5);
  EXPECT_EQ(t->buckets[0]->data, &d[4]) << "the newest entry heads the chain";
  for (int i = 0; i < 5; ++i) EXPECT_EQ(find(t.get(), "key" + std::to_string(i)), &d[i]);

  EXPECT_EQ(remove(t.get(), "key4"), &d[4]);  // head
  EXPECT_EQ(remove(t.get(), "key2"), &d[2]);  // middle
  EXPECT_EQ(remove(t.get(), "key0"), &d[0]);  // tail
  EXPECT_EQ(chain_length(t.get(), 0), 2);
  EXPECT_EQ(t->entries, 2);
  EXPECT_EQ(find(t.get(), "key1"), &d[1]);
  EXPECT_EQ(find(t.get(), "key3"), &d[3]);
  for (int i : {0, 2, 4}) EXPECT_EQ(find(t.get(), "key" + std::to_string(i)), nullptr);
}

// Keys are byte strings: NUL bytes count, and a key that is a prefix of
// another is a different key, even in the same chain.
TEST(Hash, BinaryKeysAndDifferentLengths) {
  Table t = make(1);
  int d[5];
  const std::string keys[] = {std::string("a\0b", 3), std::string("a\0c", 3), "a",
                              std::string("a\0", 2), std::string("\0\0\0\0", 4)};
  for (int i = 0; i < 5; ++i) ASSERT_EQ(add(t.get(), keys[i], &d[i]), 0) << i;
  EXPECT_EQ(t->entries, 5);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(find(t.get(), keys[i]), &d[i]) << i;
  EXPECT_EQ(find(t.get(), std::string("\0\0\0", 3)), nullptr);
  EXPECT_EQ(find(t.get(), std::string("a\0bc", 4)), nullptr);
  EXPECT_EQ(remove(t.get(), std::string("a\0", 2)), &d[3]);
  EXPECT_EQ(find(t.get(), "a"), &d[2]);
}

TEST(Hash, RefusesNullAndEmptyArguments) {
  Table t = make(4);
  int a = 1;
  ASSERT_EQ(add(t.get(), "k", &a), 0);
  void* out = &a;
  EXPECT_EQ(enhash_add(nullptr, "k", 1, &a, &out), -1);
  EXPECT_EQ(enhash_add(t.get(), nullptr, 1, &a, &out), -1);
  EXPECT_EQ(enhash_add(t.get(), "k", 0, &a, &out), -1);
  EXPECT_EQ(enhash_add(t.get(), "k", -1, &a, &out), -1);
  EXPECT_EQ(out, &a);
  EXPECT_EQ(enhash_serch(nullptr, "k", 1, &out), nullptr);
  EXPECT_EQ(enhash_serch(t.get(), nullptr, 1, &out), nullptr);
  EXPECT_EQ(enhash_serch(t.get(), "k", 0, &out), nullptr);
  EXPECT_EQ(enhash_find(nullptr, "k", 1), nullptr);
  EXPECT_EQ(enhash_find(t.get(), nullptr, 1), nullptr);
  EXPECT_EQ(enhash_find(t.get(), "k", -1), nullptr);
  EXPECT_EQ(enhash_remove(nullptr, "k", 1), nullptr);
  EXPECT_EQ(enhash_remove(t.get(), nullptr, 1), nullptr);
  EXPECT_EQ(enhash_remove(t.get(), "k", 0), nullptr);
  EXPECT_EQ(t->entries, 1);
  EXPECT_EQ(find(t.get(), "k"), &a);
  enhash_destroy(nullptr);
  enhash_free(nullptr);
  enhash_display(nullptr);
  enhash_display(t.get());  // logging off: nothing to do
}

// Four threads add their own keys and race for a shared set; each removes
// half of its own. The count and the contents agree afterwards.
TEST(Hash, ConcurrentAddAndRemove) {
  constexpr int kThreads = 4, kOwn = 20000, kShared = 5000;
  Table t = make(256);
  std::vector<int> data(kThreads);
  std::atomic<int> shared_wins{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i) {
    ts.emplace_back([&, i] {
      for (int j = 0; j < kOwn; ++j) {
        ASSERT_EQ(add(t.get(), "t" + std::to_string(i) + "-" + std::to_string(j), &data[i]), 0);
        if (j < kShared && add(t.get(), "shared-" + std::to_string(j), &data[i]) == 0)
          ++shared_wins;
        if (j % 2 == 1) {
          ASSERT_EQ(remove(t.get(), "t" + std::to_string(i) + "-" + std::to_string(j - 1)),
                    &data[i]);
        }
      }
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(shared_wins.load(), kShared);
  EXPECT_EQ(t->entries, kThreads * kOwn / 2 + kShared);
  int counted = 0;
  for (int b = 0; b < t->size; ++b) counted += chain_length(t.get(), b);
  EXPECT_EQ(counted, t->entries);
  for (int i = 0; i < kThreads; ++i)
    for (int j = 0; j < kOwn; ++j)
      ASSERT_EQ(find(t.get(), "t" + std::to_string(i) + "-" + std::to_string(j)),
                j % 2 ? &data[i] : nullptr);
}

}  // namespace
