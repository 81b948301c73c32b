// The address-entry list: add, update, remove and revive, the cut of long
// addresses, and lock-free readers walking while a writer appends.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_iplist.h"

namespace {

struct ListDeleter {
  void operator()(taviplist_t* l) const { tav_iplist_destroy(l); }
};
using List = std::unique_ptr<taviplist_t, ListDeleter>;

List make_list() {
  List l(tav_iplist_create());
  EXPECT_NE(l, nullptr);
  return l;
}

// Entries in list order, as a reader walks them.
std::vector<const taviplist*> walk(const taviplist_t* list) {
  std::vector<const taviplist*> out;
  tav::iplist_first(list, [&](const taviplist* e) {
    out.push_back(e);
    return false;
  });
  return out;
}

TEST(IpList, AddingTheSameAddressAndPortTwiceUpdatesOneEntry) {
  List l = make_list();
  ASSERT_EQ(tav_iplist_add(l.get(), "10.0.0.5", 80, 0, 0, 2, 0, 0), 0);
  ASSERT_EQ(tav_iplist_add(l.get(), "10.0.0.5", 80, 0, 0, 32, 7, 9), 0);
  ASSERT_EQ(l->count, 1);
  const taviplist* e = l->head;
  EXPECT_EQ(e->use, 1);
  EXPECT_EQ(e->mode, 32);
  EXPECT_EQ(e->scode, 7);
  EXPECT_EQ(e->pcode, 9);
  EXPECT_EQ(l->tail, e);
  EXPECT_EQ(e->next, nullptr);
}

TEST(IpList, RemovedEntryStaysFindableAndIsRevivedInPlace) {
  List l = make_list();
  ASSERT_EQ(tav_iplist_add(l.get(), "10.0.0.5", 80, 0, 0, 2, 0, 0), 0);
  ASSERT_EQ(tav_iplist_add(l.get(), "10.0.0.6", 80, 0, 0, 2, 0, 0), 0);
  taviplist* first = tav_iplist_find(l.get(), "10.0.0.5", 80, 0, 0);
  ASSERT_NE(first, nullptr);

  EXPECT_EQ(tav_iplist_del(l.get(), "10.0.0.5", 80, 0, 0), 0);
  EXPECT_EQ(first->use, 0);
  EXPECT_EQ(l->count, 2);
  EXPECT_EQ(tav_iplist_find(l.get(), "10.0.0.5", 80, 0, 0), first);  // removed, still found
  EXPECT_EQ(tav_iplist_del(l.get(), "10.0.0.5", 80, 0, 0), 0);       // removing again is fine

  ASSERT_EQ(tav_iplist_add(l.get(), "10.0.0.5", 80, 0, 0, 16, 1, 2), 0);
  EXPECT_EQ(l->count, 2);
  EXPECT_EQ(l->head, first);  // same entry, same place in the order
  EXPECT_EQ(first->use, 1);
  EXPECT_EQ(first->mode, 16);
  EXPECT_EQ(first->scode, 1);
  EXPECT_EQ(first->pcode, 2);
}

TEST(IpList, FindMatchesAddressPortAndRangeExactly) {
  List l = make_list();
  struct Entry {
    const char* ip;
    int port, from, to;
  };
  const Entry added[] = {
      {"10.0.0.5", 80, 0, 0},  {"10.0.0.5", 0, 1, 65535},  {"10.0.0.5", 34219023, 5, 10},
      {"10.0.0.50", 80, 0, 0}, {"/tmp/app.sock", 1, 0, 0},
  };
  for (const auto& a : added)
    ASSERT_EQ(tav_iplist_add(l.get(), a.ip, a.port, a.from, a.to, 2, 0, 0), 0);
  ASSERT_EQ(l->count, 5);

  const auto order = walk(l.get());
  ASSERT_EQ(order.size(), 5u);
  for (size_t i = 0; i < order.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(order[i]->ip, added[i].ip);
    EXPECT_EQ(order[i]->port, added[i].port);
    EXPECT_EQ(tav_iplist_find(l.get(), added[i].ip, added[i].port, added[i].from, added[i].to),
              order[i]);
  }
  const Entry missing[] = {
      {"10.0.0.5", 81, 0, 0},        {"10.0.0.5", 0, 1, 65534},
      {"10.0.0.5", 34219023, 5, 11}, {"10.0.0.5", 34219023, 4, 10},
      {"10.0.0.", 80, 0, 0},         {"10.0.0.5 ", 80, 0, 0},
      {"/tmp/app.sock/", 1, 0, 0},   {"", 80, 0, 0},
  };
  for (const auto& m : missing) {
    SCOPED_TRACE(std::string(m.ip) + ":" + std::to_string(m.port));
    EXPECT_EQ(tav_iplist_find(l.get(), m.ip, m.port, m.from, m.to), nullptr);
    EXPECT_EQ(tav_iplist_del(l.get(), m.ip, m.port, m.from, m.to), -1);
  }
  for (const auto* e : order) EXPECT_EQ(e->use, 1);  // failed deletes touched nothing
}

TEST(IpList, AddressLongerThanTheFieldIsCut) {
  List l = make_list();
  const std::string long_ip(300, 'a');
  ASSERT_EQ(tav_iplist_add(l.get(), long_ip.c_str(), 80, 0, 0, 2, 0, 0), 0);
  const taviplist* e = l->head;
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(std::string(e->ip), long_ip.substr(0, 255));
  // The same long address finds, updates and removes the cut entry.
  EXPECT_EQ(tav_iplist_find(l.get(), long_ip.c_str(), 80, 0, 0), e);
  ASSERT_EQ(tav_iplist_add(l.get(), long_ip.c_str(), 80, 0, 0, 16, 0, 0), 0);
  EXPECT_EQ(l->count, 1);
  EXPECT_EQ(e->mode, 16);
  EXPECT_EQ(tav_iplist_del(l.get(), long_ip.c_str(), 80, 0, 0), 0);
  EXPECT_EQ(e->use, 0);
}

TEST(IpList, MissingListOrAddressIsRefused) {
  EXPECT_EQ(tav_iplist_add(nullptr, "1.2.3.4", 80, 0, 0, 2, 0, 0), -1);
  EXPECT_EQ(tav_iplist_del(nullptr, "1.2.3.4", 80, 0, 0), -1);
  EXPECT_EQ(tav_iplist_find(nullptr, "1.2.3.4", 80, 0, 0), nullptr);
  tav_iplist_destroy(nullptr);

  List l = make_list();
  EXPECT_EQ(tav_iplist_add(l.get(), nullptr, 80, 0, 0, 2, 0, 0), -1);
  EXPECT_EQ(tav_iplist_del(l.get(), nullptr, 80, 0, 0), -1);
  EXPECT_EQ(tav_iplist_find(l.get(), nullptr, 80, 0, 0), nullptr);
  EXPECT_EQ(l->count, 0);
  EXPECT_EQ(l->head, nullptr);
  EXPECT_EQ(tav::iplist_first(l.get(), [](const taviplist*) { return true; }), nullptr);
}

// Values of the i-th entry the writer appends; a reader checks them all.
struct Expected {
  std::string ip;
  int port, from, to, mode, scode, pcode;
};
Expected expected(int i) {
  return {"10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." +
              std::to_string(i % 256),
          i + 1,
          i + 2,
          i + 3,
          i * 7 + 1,
          i + 11,
          i + 13};
}
bool complete(const taviplist* e, int i) {
  const Expected x = expected(i);
  return tav::iplist_used(e) && x.ip == e->ip && e->port == x.port && e->from == x.from &&
         e->to == x.to && tav::iplist_mode(e) == x.mode && tav::iplist_scode(e) == x.scode &&
         tav::iplist_pcode(e) == x.pcode;
}

TEST(IpList, ReadersWalkingDuringAppendsSeeOnlyCompleteEntries) {
  constexpr int kEntries = 3000;
  constexpr int kReaders = 3;
  List l = make_list();
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<long> walked{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      bool finished = false;
      while (!finished) {
        finished = done.load(std::memory_order_acquire);  // one full walk after the writer ends
        int i = 0;
        tav::iplist_first(l.get(), [&](const taviplist* e) {
          if (!complete(e, i)) bad.fetch_add(1);
          ++i;
          return false;
        });
        if (i < last) bad.fetch_add(1);  // the published count never shrinks
        last = i;
        walked.fetch_add(i);
        // A lookup of the newest entry a reader can see finds exactly it.
        if (i > 0) {
          const Expected x = expected(i - 1);
          if (tav_iplist_find(l.get(), x.ip.c_str(), x.port, x.from, x.to) == nullptr)
            bad.fetch_add(1);
        }
      }
      if (last != kEntries) bad.fetch_add(1);
    });
  }
  std::thread writer([&] {
    for (int i = 0; i < kEntries; ++i) {
      const Expected x = expected(i);
      if (tav_iplist_add(l.get(), x.ip.c_str(), x.port, x.from, x.to, x.mode, x.scode, x.pcode) !=
          0)
        bad.fetch_add(1);
    }
    done.store(true, std::memory_order_release);
  });
  writer.join();
  for (auto& t : readers) t.join();

  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(l->count, kEntries);
  EXPECT_GT(walked.load(), 0);
}

TEST(IpList, ConcurrentWritersLoseNothingAndDuplicateNothing) {
  constexpr int kShared = 300;  // added by every writer
  constexpr int kOwn = 700;     // added by one writer each
  constexpr int kWriters = 4;
  List l = make_list();
  std::atomic<int> ready{0};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      ready.fetch_add(1);
      while (ready.load() < kWriters) std::this_thread::yield();
      for (int i = 0; i < kOwn; ++i) {
        if (i < kShared) {
          const Expected x = expected(i);
          tav_iplist_add(l.get(), x.ip.c_str(), x.port, x.from, x.to, x.mode, x.scode, x.pcode);
          if (w % 2 == 1) tav_iplist_del(l.get(), x.ip.c_str(), x.port, x.from, x.to);
        }
        const Expected x = expected(kShared + w * kOwn + i);
        tav_iplist_add(l.get(), x.ip.c_str(), x.port, x.from, x.to, x.mode, x.scode, x.pcode);
      }
    });
  }
  for (auto& t : writers) t.join();

  constexpr int kAll = kShared + kWriters * kOwn;
  ASSERT_EQ(l->count, kAll);
  const auto order = walk(l.get());
  ASSERT_EQ(order.size(), static_cast<size_t>(kAll));
  EXPECT_EQ(l->tail, order.back());
  EXPECT_EQ(order.back()->next, nullptr);
  // Every entry is there exactly once: find returns the first with its
  // values, and each entry in the chain is the one find returns.
  std::vector<bool> seen(kAll, false);
  for (const taviplist* e : order) {
    const int i = e->port - 1;
    ASSERT_GE(i, 0);
    ASSERT_LT(i, kAll);
    EXPECT_FALSE(seen[i]) << e->ip;
    seen[i] = true;
    const Expected x = expected(i);
    EXPECT_EQ(tav_iplist_find(l.get(), x.ip.c_str(), x.port, x.from, x.to), e);
  }
}

}  // namespace
