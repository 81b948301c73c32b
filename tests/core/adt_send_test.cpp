// The adapter's master links and sender threads, driven directly: polls and
// other bytes from the master, bounded writes, the hand-over of a link to
// closeMASTER, the batches built from the threads' lists, and the bounds of
// those lists.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_globals.h"
#include "base/tav_list.h"
#include "base/tav_master_proto.h"
#include "core/tav_build.h"

#if TAV_WITH_JAVA
#include "core/tav_adt_link.h"
#include "core/tav_adt_send.h"
#include "core/tav_glist.h"
#include "core/tav_tables.h"

namespace {

using namespace std::chrono_literals;
using tav::adt::kGtuidLink;
using tav::adt::kWasLink;

std::string frame(const char* id, char mtype, const char* code, const std::string& body = "") {
  std::string f(32, '\0');
  const uint32_t len = htonl(static_cast<uint32_t>(28 + body.size()));
  memcpy(&f[0], &len, 4);
  memcpy(&f[4], id, 4);
  f[8] = mtype;
  memcpy(&f[9], code, 10);
  f[19] = '2';
  memcpy(&f[22], "00000", 5);
  memcpy(&f[27], "     ", 5);
  return f + body;
}

uint32_t be32_at(const std::string& s, size_t at) {
  uint32_t v;
  memcpy(&v, s.data() + at, 4);
  return ntohl(v);
}

size_t pending(int fd) {
  char buf[4096];
  const ssize_t n = recv(fd, buf, sizeof buf, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

std::string drain(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

// A link whose master end is a socket pair: `master` is the far end.
class AdapterLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    open_link(1);
  }
  void TearDown() override {
    tav::adt::master_closed(1);
    tav::adt::master_closed(2);
    for (int fd : fds_)
      if (fd >= 0) close(fd);
  }
  void open_link(int type) {
    tav::adt::link_register(type == 1 ? kGtuidLink : kWasLink, fds_[0]);
    tav::adt::master_connected(type);
  }
  int master() const { return fds_[1]; }
  void say(const std::string& bytes) {
    ASSERT_EQ(send(master(), bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  int fds_[2] = {-1, -1};
};

TEST_F(AdapterLink, ConnectAndCloseDeclareTheLink) {
  EXPECT_EQ(en_gtuid_sock, fds_[0]);
  EXPECT_EQ(en_gtuid_sock_connected, 1);
  EXPECT_EQ(en_master_reconnect, 0);
  EXPECT_TRUE(tav::adt::link_usable(kGtuidLink));
  EXPECT_FALSE(tav::adt::link_usable(kWasLink));  // registered nowhere

  tav::adt::master_closed(7);  // no such link: only the request to reconnect
  EXPECT_EQ(en_master_reconnect, -1);
  EXPECT_TRUE(tav::adt::link_usable(kGtuidLink));

  tav::adt::master_closed(1);
  EXPECT_EQ(en_gtuid_sock, -1);
  EXPECT_EQ(en_gtuid_sock_connected, 0);
  EXPECT_FALSE(tav::adt::link_usable(kGtuidLink));
  EXPECT_EQ(tav::adt::link_write(kGtuidLink, "x", 1), -1);
  EXPECT_EQ(pending(master()), 0u);
}

// The host closes a link's socket without closeMASTER: the link is let go
// before the number can be reused.
TEST_F(AdapterLink, SocketClosedWithoutCloseMasterIsLetGo) {
  tav::adt::link_released(fds_[1]);  // not a link
  EXPECT_TRUE(tav::adt::link_usable(kGtuidLink));
  EXPECT_EQ(en_master_reconnect, 0);
  tav::adt::link_released(fds_[0]);
  EXPECT_FALSE(tav::adt::link_usable(kGtuidLink));
  EXPECT_EQ(en_gtuid_sock, -1);
  EXPECT_EQ(en_master_reconnect, -1);
  EXPECT_EQ(tav::adt::link_write(kGtuidLink, "x", 1), -1);
  EXPECT_EQ(pending(master()), 0u);
}

// What the master sends, and what the sender does with it.
TEST_F(AdapterLink, MasterMessages) {
  struct Case {
    const char* name;
    std::string sent;
    int serve;             // link_serve result
    std::string answered;  // what the master gets back
    size_t left;           // bytes still unread on the link
    bool usable;           // link still usable afterwards
  };
  const std::string poll = frame("$TAV", '0', "SSSP000000");
  const std::string reply = frame("$TAV", '1', "SSSP000000");
  const std::string other = frame("$TAV", '0', "MZZP000009", std::string(5000, 'b'));
  std::string bad_len = poll;
  bad_len[0] = 1;  // 16 MiB and more
  const Case cases[] = {
      {"poll answered", poll, 32, reply, 0, true},
      {"reply consumed", reply, 32, "", 0, true},
      {"short header waits", poll.substr(0, 10), -1, "", 10, true},
      {"other frame skipped whole", other + poll, 0, "", 32, true},
      {"not a frame", frame("XTAV", '0', "SSSP000000"), -1, "", 32, false},
      {"length out of range", bad_len, -1, "", 32, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open_link(1);
    drain(fds_[0]);
    say(c.sent);
    EXPECT_EQ(tav::adt::link_serve(kGtuidLink, 1000, 500), c.serve);
    EXPECT_EQ(drain(master()), c.answered);
    EXPECT_EQ(pending(fds_[0]), c.left);
    EXPECT_EQ(tav::adt::link_usable(kGtuidLink), c.usable);
    EXPECT_EQ(en_master_reconnect, c.usable ? 0 : -1);
    tav::adt::master_closed(1);
  }
  // The skipped frame leaves the poll behind it to the next call.
  open_link(1);
  drain(fds_[0]);
  say(other + poll);
  EXPECT_EQ(tav::adt::link_serve(kGtuidLink, 1000, 500), 0);
  EXPECT_EQ(tav::adt::link_serve(kGtuidLink, 1000, 500), 32);
  EXPECT_EQ(drain(master()), reply);
}

TEST_F(AdapterLink, MasterThatClosesLosesTheLink) {
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_LT(tav::adt::link_serve(kGtuidLink, 1000, 500), 0);
  EXPECT_EQ(en_master_reconnect, -1);
  EXPECT_FALSE(tav::adt::link_usable(kGtuidLink));
  // Registered and up as far as Java knows, until it closes the link.
  EXPECT_EQ(en_gtuid_sock, fds_[0]);
  EXPECT_EQ(en_gtuid_sock_connected, 1);
}

TEST_F(AdapterLink, StalledMasterLosesTheLinkWithinTheWait) {
  const std::vector<char> big(8 << 20, 'x');
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(tav::adt::link_write(kGtuidLink, big.data(), big.size(), 300), -2);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  EXPECT_FALSE(tav::adt::link_usable(kGtuidLink));
  EXPECT_EQ(en_master_reconnect, -1);
}

// closeMASTER while a sender waits on a stalled master: the sender lets go
// at once, and nothing is written on the descriptor afterwards.
TEST_F(AdapterLink, CloseMasterTakesTheLinkFromAWaitingSender) {
  const std::vector<char> big(8 << 20, 'x');
  std::atomic<int> rc{1};
  std::thread writer([&] { rc = tav::adt::link_write(kGtuidLink, big.data(), big.size(), 20000); });
  std::this_thread::sleep_for(200ms);
  const auto t0 = std::chrono::steady_clock::now();
  tav::adt::master_closed(1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
  writer.join();
  EXPECT_EQ(rc.load(), -2);
  const size_t before = drain(master()).size();
  EXPECT_GT(before, 0u);
  EXPECT_EQ(tav::adt::link_write(kGtuidLink, big.data(), 10, 1000), -1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pending(master()), 0u);
}

// A thread table of a few records with lists, for the sender's passes.
class AdapterSender : public AdapterLink {
 protected:
  void SetUp() override {
    AdapterLink::SetUp();
    saved_ = {en_mthr, en_thread_max, tav_mth_idx, en_mzp_qsend};
    table_.assign(kSlots + 1, mthr{});
    for (mthr& m : table_) m.glist = tav_list_create();
    en_mthr = table_.data();
    en_thread_max = kSlots;
    tav_mth_idx = kSlots - 1;
    en_mzp_qsend = 0;
    waiting_ = tav::glist_waiting();
  }
  void TearDown() override {
    for (mthr& m : table_) {
      while (tavlist* n = tav::glist_take(m.glist)) tav_list_free(n);
      tav_list_destroy(m.glist);
    }
    en_mthr = saved_.mthr_;
    en_thread_max = saved_.max;
    tav_mth_idx = saved_.idx;
    en_mzp_qsend = saved_.qsend;
    AdapterLink::TearDown();
  }
  // A record of `size` bytes whose first bytes say which one it is.
  void put(int slot, char kind, size_t size, int n) {
    std::vector<char> rec(size, '.');
    snprintf(rec.data(), size, "%c%zu-%d", kind, size, n);
    ASSERT_EQ(tav::glist_append(&table_[static_cast<size_t>(slot)], kind, rec.data(), size), 0);
  }

  struct Batch {
    std::string code;
    uint32_t pksz = 0, count = 0;
    std::string records;
  };
  // Runs one pass while reading what reaches the master.
  std::vector<Batch> pass(int* sent = nullptr) {
    std::string wire;
    std::atomic<bool> done{false};
    std::thread reader([&] {
      char buf[65536];
      while (!done || pending(master()) > 0) {
        const ssize_t n = recv(master(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) wire.append(buf, static_cast<size_t>(n));
        else std::this_thread::sleep_for(1ms);
      }
    });
    tav::adt::GtuidSender sender;
    EXPECT_TRUE(sender.ready());
    const int n = sender.pass();
    if (sent) *sent = n;
    done = true;
    reader.join();
    std::vector<Batch> out;
    size_t at = 0;
    while (at + 40 <= wire.size()) {
      Batch b;
      b.pksz = be32_at(wire, at);
      EXPECT_EQ(wire.substr(at + 4, 5), "$TAV0");
      b.code = wire.substr(at + 9, 10);
      EXPECT_EQ(wire.substr(at + 19, 13), std::string("2\0\0" "00000     ", 13));
      b.count = be32_at(wire, at + 32);
      EXPECT_EQ(wire.substr(at + 36, 4), std::string(4, '\0'));
      b.records = wire.substr(at + 40, b.pksz - 36);
      at += 4 + b.pksz;
      out.push_back(b);
    }
    EXPECT_EQ(at, wire.size()) << "bytes after the last whole batch";
    return out;
  }

  static constexpr int kSlots = 4;
  std::vector<mthr> table_;
  int waiting_ = 0;  // records already on lists when the test began

 private:
  struct {
    mthr* mthr_;
    int max, idx, qsend;
  } saved_{};
};

TEST_F(AdapterSender, FullBatchThenTheRest) {
  for (int i = 0; i < 3641; ++i) put(0, 'G', 288, i);
  int sent = 0;
  const auto batches = pass(&sent);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(sent, 2);
  EXPECT_EQ(batches[0].code, "MZZP000001");
  EXPECT_EQ(batches[0].pksz, 1048356u);
  EXPECT_EQ(batches[0].count, 3640u);
  EXPECT_EQ(batches[0].records.substr(0, 7), std::string("G288-0\0", 7));
  EXPECT_EQ(batches[0].records.substr(3639 * 288, 9), std::string("G288-3639", 9));
  EXPECT_EQ(batches[1].pksz, 36u + 288u);
  EXPECT_EQ(batches[1].count, 1u);
  EXPECT_EQ(batches[1].records.substr(0, 9), "G288-3640");
  EXPECT_EQ(tav::glist_waiting(), waiting_);
}

TEST_F(AdapterSender, EachRecordSizeHasItsOwnBatch) {
  put(1, 'T', 104, 0);
  put(1, 'T', 168, 1);
  put(1, 'T', 296, 2);  // no batch of the master carries it
  put(1, 'G', 288, 3);
  put(1, 'T', 104, 4);
  put(2, 'G', 288, 5);
  const auto batches = pass();
  ASSERT_EQ(batches.size(), 4u);
  // Per thread: transaction codes of 104, then of 168 bytes, then events.
  EXPECT_EQ(batches[0].code, "MZZP000002");
  EXPECT_EQ(batches[0].count, 2u);
  EXPECT_EQ(batches[0].pksz, 36u + 2 * 104u);
  EXPECT_EQ(batches[0].records.substr(0, 6), std::string("T104-0", 6));
  EXPECT_EQ(batches[0].records.substr(104, 6), "T104-4");
  EXPECT_EQ(batches[1].code, "MZZP000004");
  EXPECT_EQ(batches[1].count, 1u);
  EXPECT_EQ(batches[1].records.size(), 168u);
  EXPECT_EQ(batches[2].code, "MZZP000001");
  EXPECT_EQ(batches[2].records.substr(0, 6), "G288-3");
  EXPECT_EQ(batches[3].code, "MZZP000001");
  EXPECT_EQ(batches[3].records.substr(0, 6), "G288-5");
  EXPECT_EQ(tav::glist_waiting(), waiting_);
}

TEST_F(AdapterSender, RecordsWaitWhileTheLinkIsDown) {
  tav::adt::master_closed(1);
  for (int i = 0; i < 10; ++i) put(0, 'G', 288, i);
  EXPECT_TRUE(pass().empty());
  EXPECT_EQ(table_[0].glist->count, 10);

  // The master closed the link: still nothing taken.
  open_link(1);
  close(fds_[1]);
  fds_[1] = -1;
  EXPECT_LT(tav::adt::link_serve(kGtuidLink, 1000, 500), 0);
  tav::adt::GtuidSender sender;
  EXPECT_EQ(sender.pass(), 0);
  EXPECT_EQ(table_[0].glist->count, 10);

  // A new link: they go out, in order.
  tav::adt::master_closed(1);
  close(fds_[0]);
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
  open_link(1);
  const auto batches = pass();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].count, 10u);
  EXPECT_EQ(batches[0].records.substr(9 * 288, 6), "G288-9");
}

TEST_F(AdapterSender, PacketsGoOutUnchangedAndWaitForTheirLink) {
  tavlist_t* saved = en_wlist;
  en_wlist = tav_list_create();
  auto packet = [](const std::string& s) {
    char* p = static_cast<char*>(malloc(s.size()));
    memcpy(p, s.data(), s.size());
    return p;
  };
  const std::string a = frame("$TAV", '0', "WASP000001", "first");
  const std::string b = frame("$TAV", '0', "WASP000001", "second");
  tav_list_add(en_wlist, 0, packet(a), static_cast<int>(a.size()));
  tav_list_add(en_wlist, 0, packet(b), static_cast<int>(b.size()));
  EXPECT_EQ(tav::adt::wsend_pass(), 0);  // no was link yet
  EXPECT_EQ(en_wlist->count, 2);
  open_link(2);
  EXPECT_EQ(tav::adt::wsend_pass(), 2);
  EXPECT_EQ(drain(master()), a + b);
  EXPECT_EQ(en_wlist->count, 0);
  tav_list_destroy(en_wlist);
  en_wlist = saved;
}

TEST_F(AdapterSender, ListsAreBounded) {
  // One thread: its oldest records make room.
  for (int i = 0; i < tav::kGlistThreadMax + 10; ++i) put(0, 'G', 288, i);
  EXPECT_EQ(table_[0].glist->count, tav::kGlistThreadMax);
  tavlist* first = tav::glist_take(table_[0].glist);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(first->data), 7), std::string("G288-10", 7));
  tav_list_free(first);

  // The whole process: a thread with nothing to give up drops its new record.
  std::vector<mthr> more(8, mthr{});
  for (mthr& m : more) {
    m.glist = tav_list_create();
    std::vector<char> rec(104, 't');
    while (m.glist->count < tav::kGlistThreadMax &&
           tav::glist_waiting() < tav::kGlistProcessMax)
      ASSERT_EQ(tav::glist_append(&m, 'T', rec.data(), rec.size()), 0);
  }
  EXPECT_EQ(tav::glist_waiting(), tav::kGlistProcessMax);
  std::vector<char> rec(288, 'g');
  EXPECT_EQ(tav::glist_append(&table_[3], 'G', rec.data(), rec.size()), -1);
  EXPECT_EQ(table_[3].glist->count, 0);
  // A thread with records of its own keeps its newest one.
  EXPECT_EQ(tav::glist_append(&table_[0], 'G', rec.data(), rec.size()), 0);
  EXPECT_EQ(tav::glist_waiting(), tav::kGlistProcessMax);
  for (mthr& m : more) {
    while (tavlist* n = tav::glist_take(m.glist)) tav_list_free(n);
    tav_list_destroy(m.glist);
  }
}

}  // namespace
#endif
