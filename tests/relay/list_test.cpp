// The relay's list: order, counts and sizes, putting nodes back, ownership,
// and the lock under concurrent producers.
#include "rly_list.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

void* block(int size, char fill) {
  void* p = malloc(static_cast<size_t>(size));
  memset(p, fill, static_cast<size_t>(size));
  return p;
}

struct ListDeleter {
  void operator()(rlylist_t* l) const { rly_list_destroy(l); }
};
using List = std::unique_ptr<rlylist_t, ListDeleter>;

TEST(RlyList, FirstInFirstOutWithCountAndSize) {
  List list(rly_list_create());
  ASSERT_TRUE(list);
  EXPECT_EQ(list->count, 0);
  ASSERT_EQ(rly_list_add(list.get(), 'G', block(288, 'a'), 288), 0);
  ASSERT_EQ(rly_list_add(list.get(), 'T', block(104, 'b'), 104), 0);
  EXPECT_EQ(list->count, 2);
  EXPECT_EQ(list->tsize, 392);

  rlylist* first = rly_list_get(list.get());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->type, 'G');
  EXPECT_EQ(first->size, 288);
  EXPECT_EQ(static_cast<char*>(first->data)[287], 'a');
  EXPECT_EQ(first->next, nullptr);
  EXPECT_EQ(list->count, 1);
  EXPECT_EQ(list->tsize, 104);
  rly_list_free(first);

  rlylist* second = rly_list_get(list.get());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->type, 'T');
  rly_list_free(second);
  EXPECT_EQ(list->count, 0);
  EXPECT_EQ(list->tsize, 0);
  EXPECT_EQ(list->head, nullptr);
  EXPECT_EQ(list->tail, nullptr);
  EXPECT_EQ(rly_list_get(list.get()), nullptr);
}

TEST(RlyList, PutBackAtHeadOrTail) {
  List list(rly_list_create());
  ASSERT_TRUE(list);
  for (char t : {'1', '2', '3'}) ASSERT_EQ(rly_list_add(list.get(), t, block(8, t), 8), 0);

  rlylist* one = rly_list_get(list.get());
  ASSERT_EQ(rly_list_put(list.get(), one, 0), 0);  // at the head: next again
  EXPECT_EQ(list->count, 3);
  EXPECT_EQ(list->tsize, 24);
  one = rly_list_get(list.get());
  EXPECT_EQ(one->type, '1');
  ASSERT_EQ(rly_list_put(list.get(), one, 1), 0);  // at the tail: last
  EXPECT_EQ(list->tail, one);

  std::string order;
  while (rlylist* n = rly_list_get(list.get())) {
    order += n->type;
    rly_list_free(n);
  }
  EXPECT_EQ(order, "231");

  // Into an empty list, either way, as its only node.
  ASSERT_EQ(rly_list_add(list.get(), 'x', nullptr, 0), 0);
  rlylist* x = rly_list_get(list.get());
  ASSERT_EQ(rly_list_put(list.get(), x, 0), 0);
  EXPECT_EQ(list->head, x);
  EXPECT_EQ(list->tail, x);
  ASSERT_EQ(rly_list_add(list.get(), 'y', nullptr, 0), 0);
  EXPECT_EQ(list->head->type, 'x');
  EXPECT_EQ(list->tail->type, 'y');
}

TEST(RlyList, NullArgumentsFailAndLeaveTheBlockWithTheCaller) {
  void* data = block(16, 'z');
  EXPECT_EQ(rly_list_add(nullptr, 'G', data, 16), -1);
  EXPECT_EQ(static_cast<char*>(data)[15], 'z');  // still the caller's
  free(data);
  EXPECT_EQ(rly_list_get(nullptr), nullptr);
  List list(rly_list_create());
  ASSERT_TRUE(list);
  EXPECT_EQ(rly_list_put(list.get(), nullptr, 1), -1);
  EXPECT_EQ(list->count, 0);
  rly_list_free(nullptr);
  rly_list_destroy(nullptr);
}

// Destroy frees every node and its block (the sanitizer build reports a leak
// otherwise), whatever the mix of sizes.
TEST(RlyList, DestroyFreesEveryNode) {
  rlylist_t* list = rly_list_create();
  ASSERT_NE(list, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(rly_list_add(list, 0, block(i + 1, 'q'), i + 1), 0);
  EXPECT_EQ(list->count, 100);
  EXPECT_EQ(list->tsize, 5050);
  rly_list_destroy(list);
}

TEST(RlyList, ConcurrentProducersLoseNothing) {
  List list(rly_list_create());
  ASSERT_TRUE(list);
  constexpr int kThreads = 4;
  constexpr int kEach = 2000;
  std::vector<std::thread> producers;
  for (int t = 0; t < kThreads; ++t)
    producers.emplace_back([&list, t] {
      for (int i = 0; i < kEach; ++i) rly_list_add(list.get(), static_cast<char>(t), block(3, 'p'), 3);
    });
  for (auto& p : producers) p.join();
  EXPECT_EQ(list->count, kThreads * kEach);
  EXPECT_EQ(list->tsize, kThreads * kEach * 3);
  int walked = 0;
  for (rlylist* n = list->head; n; n = n->next) ++walked;
  EXPECT_EQ(walked, kThreads * kEach);
}

}  // namespace
