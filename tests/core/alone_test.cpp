// The exported functions with which a host marks transaction boundaries and
// reports transaction codes itself.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/tav_mzp.h"
#include "child.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"

extern "C" {
int TAV_GTUID_CREATE_ALONE(void);
int TAV_GTUID_END_ALONE(void);
int TAV_GTUID_CLEAR_ALONE(void);
int TAV_GTUID_GET_TRCODE(const char* code, int len);
int TAV_GTUID_GET_TRCODE2(const char* code, int len);
int TAV_GTUID_GET_TRCODE3(const char* code, int len);
}

using qel::test::in_child;

namespace {

// Two queues of this test process: type 1, and the transaction-code types.
struct TestQueues {
  key_t base = static_cast<key_t>(0x5C000000 | ((getpid() & 0xffff) << 8));
  int gtuid = msgget(base, IPC_CREAT | 0600);
  int tcode = msgget(base + 1, IPC_CREAT | 0600);
  ~TestQueues() {
    msgctl(gtuid, IPC_RMID, nullptr);
    msgctl(tcode, IPC_RMID, nullptr);
  }
};

// Starts the library in the child and points its queue families at `q`.
void start(const TestQueues& q, int full) {
  unsetenv("TAV_CONFIG_FILE");
  tav_load();
  static int gtuid_id, tcode_id, tcod6_id;
  gtuid_id = q.gtuid;
  tcode_id = tcod6_id = q.tcode;
  en_mzp_qsend = 1;
  en_gtuid_queue_key = q.base;
  en_gtuid_queue_count = 1;
  en_gtuid_queue_id = &gtuid_id;
  en_tcode_queue_key = en_tcod6_queue_key = q.base + 1;
  en_tcode_queue_count = en_tcod6_queue_count = 1;
  en_tcode_queue_id = &tcode_id;
  en_tcod6_queue_id = &tcod6_id;
  en_qel_full = full;
}

// The next message on a queue, empty when there is none.
std::vector<char> take(int id) {
  std::vector<char> msg(512);
  const ssize_t n = msgrcv(id, msg.data(), msg.size() - sizeof(long), 0, IPC_NOWAIT);
  msg.resize(n < 0 ? 0 : static_cast<size_t>(n) + sizeof(long));
  return msg;
}

std::string text(const std::vector<char>& m, size_t off, size_t cap) {
  return std::string(m.data() + off, strnlen(m.data() + off, cap));
}

}  // namespace

TEST(Alone, CreateAndEndReportStartAndEnd) {
  TestQueues q;
  ASSERT_GE(q.gtuid, 0);
  auto r = in_child([&] {
    start(q, 1);
    CHILD_CHECK(TAV_GTUID_CREATE_ALONE() == 0);
    const auto first = take(q.gtuid);
    CHILD_CHECK(first.size() == sizeof(mzp1_t));
    CHILD_CHECK(first[offsetof(mzp1_t, start)] == 'S' && first[offsetof(mzp1_t, send)] == 'R');
    const std::string id = text(first, offsetof(mzp1_t, gtuid), 23);
    CHILD_CHECK(id.size() == 22);

    CHILD_CHECK(TAV_GTUID_CREATE_ALONE() == 0);  // replaces the transaction
    const auto second = take(q.gtuid);
    CHILD_CHECK(text(second, offsetof(mzp1_t, gtuid), 23) != id);

    CHILD_CHECK(TAV_GTUID_END_ALONE() == 0);
    const auto end = take(q.gtuid);
    CHILD_CHECK(end.size() == sizeof(mzp1_t));
    CHILD_CHECK(end[offsetof(mzp1_t, start)] == 'E' && end[offsetof(mzp1_t, send)] == 'S');
    CHILD_CHECK(text(end, offsetof(mzp1_t, gtuid), 23) == text(second, offsetof(mzp1_t, gtuid), 23));
    CHILD_CHECK(tav_thrinfo()->gtuid.gflag == 0);

    CHILD_CHECK(TAV_GTUID_END_ALONE() == 0);  // nothing active any more
    CHILD_CHECK(take(q.gtuid).empty());
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(Alone, NothingIsSentWithoutATransaction) {
  TestQueues q;
  auto r = in_child([&] {
    start(q, 1);
    CHILD_CHECK(TAV_GTUID_END_ALONE() == 0);
    CHILD_CHECK(TAV_GTUID_GET_TRCODE("ABC", 3) == 0);
    CHILD_CHECK(TAV_GTUID_CREATE_ALONE() == 0);
    CHILD_CHECK(!take(q.gtuid).empty());
    CHILD_CHECK(TAV_GTUID_CLEAR_ALONE() == 0);
    CHILD_CHECK(TAV_GTUID_END_ALONE() == 0);  // cleared: no end message
    CHILD_CHECK(take(q.gtuid).empty() && take(q.tcode).empty());
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(Alone, HalfModeSendsNoReceiveSideStart) {
  TestQueues q;
  auto r = in_child([&] {
    start(q, 0);
    CHILD_CHECK(TAV_GTUID_CREATE_ALONE() == 0);
    CHILD_CHECK(take(q.gtuid).empty());
    CHILD_CHECK(TAV_GTUID_END_ALONE() == 0);
    const auto end = take(q.gtuid);
    CHILD_CHECK(!end.empty() && end[offsetof(mzp1_t, start)] == 'E');
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(Alone, TransactionCodes) {
  TestQueues q;
  auto r = in_child([&] {
    start(q, 1);
    CHILD_CHECK(TAV_GTUID_CREATE_ALONE() == 0);
    take(q.gtuid);
    CHILD_CHECK(TAV_GTUID_GET_TRCODE("ABCDEFG", 0) == 0 && TAV_GTUID_GET_TRCODE(nullptr, 5) == 0);
    CHILD_CHECK(take(q.tcode).empty());

    CHILD_CHECK(TAV_GTUID_GET_TRCODE("ABCDEFG", 7) == 0);
    auto m2 = take(q.tcode);
    CHILD_CHECK(m2.size() == sizeof(mzp2));
    CHILD_CHECK(text(m2, offsetof(mzp2, trcode), 33) == "ABCDEFG");
    CHILD_CHECK(m2[offsetof(mzp2, blocking)] == '0' && tav_thrinfo()->gtuid.routing == 4);

    // A shorter code overwrites only its own bytes.
    CHILD_CHECK(TAV_GTUID_GET_TRCODE2("XY", 2) == 0);
    auto m4 = take(q.tcode);
    CHILD_CHECK(m4.size() == sizeof(mzp4));
    CHILD_CHECK(text(m4, offsetof(mzp4, trcode), 33) == "XYCDEFG");

    // A code longer than the field is cut to its 32 bytes.
    const std::string long_code(40, 'L');
    CHILD_CHECK(TAV_GTUID_GET_TRCODE3(long_code.data(), 40) == 0);
    auto m6 = take(q.tcode);
    CHILD_CHECK(m6.size() == sizeof(mzp6));
    CHILD_CHECK(text(m6, offsetof(mzp6, trcode), 33) == std::string(32, 'L'));
    CHILD_CHECK(text(m6, offsetof(mzp6, trcd_url), 129).empty());  // no made-up URL
    return 0;
  });
  EXPECT_CHILD_OK(r);
}
