// Batches: margins, when a batch goes out in each build, how much one
// receive may take, how messages count, and the bytes of a sealed batch.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "rly_batch.h"
#include "rly_build.h"
#include "base/tav_master_proto.h"

namespace {

TEST(RelayBatch, MarginIsTheConfiguredCountWithinOneToHundredElseThirty) {
  const std::pair<int, int> cases[] = {{-5, 30}, {0, 30}, {1, 1}, {40, 40}, {100, 100}, {500, 100}};
  for (auto [configured, margin] : cases) EXPECT_EQ(rly_margin(configured), margin) << configured;
}

struct PlanCase {
  const rly_build_t* build;
  int qtype;
  int gtuid_msend, tcode_msend;
  int record, max, threshold;
  size_t limit;
  const char* code;
};

TEST(RelayBatch, PlansOfEachBuild) {
  const PlanCase cases[] = {
      // librelay: margins in use.
      {&rly_build_lib, 0, 0, 0, 288, 1820, 1790, 288 * 30 + 32, "MZZP000001"},
      {&rly_build_lib, 0, 40, 0, 288, 1820, 1780, 288 * 40 + 32, "MZZP000001"},
      {&rly_build_lib, 1, 0, 500, 168, 3120, 3020, 288 * 30 + 32, "MZZP000004"},
      {&rly_build_lib, 1, 100, 1, 168, 3120, 3119, 288 * 100 + 32, "MZZP000004"},
      // relayd: exact sizes, 104-byte transaction-code records.
      {&rly_build_relayd, 0, 40, 40, 288, 1820, 1820, 1016, "MZZP000001"},
      {&rly_build_relayd, 1, 40, 40, 104, 5040, 5040, 1016, "MZZP000002"},
      // librelay-jni: exact sizes, 168-byte records.
      {&rly_build_jni, 0, 0, 0, 288, 1820, 1820, 1016, "MZZP000001"},
      {&rly_build_jni, 1, 0, 0, 168, 3120, 3120, 1016, "MZZP000004"},
  };
  for (const auto& c : cases) {
    rly_batch_plan p = rly_batch_plan_for(*c.build, c.qtype, c.gtuid_msend, c.tcode_msend);
    SCOPED_TRACE(std::string(c.build->name) + " qtype " + std::to_string(c.qtype));
    EXPECT_EQ(p.record, c.record);
    EXPECT_EQ(p.max, c.max);
    EXPECT_EQ(p.threshold, c.threshold);
    EXPECT_EQ(p.limit, c.limit);
    EXPECT_STREQ(p.code, c.code);
  }
}

// Whatever the build, margins and fill: a receive never reaches past the
// buffer, and a batch below its threshold always has room for one record.
TEST(RelayBatch, ReceiveNeverTakesMoreThanTheRoomLeft) {
  const rly_build_t* builds[] = {&rly_build_lib, &rly_build_relayd, &rly_build_jni};
  const int margins[] = {0, 1, 29, 100, 1000};
  for (const rly_build_t* b : builds)
    for (int qtype : {0, 1})
      for (int mg : margins)
        for (int mt : margins) {
          rly_batch_plan p = rly_batch_plan_for(*b, qtype, mg, mt);
          for (int n = 0; n < p.threshold; ++n) {
            const size_t room = rly_recv_room(p, n);
            ASSERT_LE(rly_batch_at(p, n) + room, RLY_BATCH_BUFFER)
                << b->name << " qtype " << qtype << " mg " << mg << " mt " << mt << " n " << n;
            ASSERT_GE(room, static_cast<size_t>(p.record)) << b->name << " n " << n;
            ASSERT_LE(room, p.limit);
          }
        }
  // The case that used to overflow: a small tcode margin with a large gtuid
  // margin lets a receive ask for 28832 bytes with only 460 left.
  rly_batch_plan p = rly_batch_plan_for(rly_build_lib, 1, 100, 1);
  EXPECT_EQ(rly_recv_room(p, 3118), 460u);
}

TEST(RelayBatch, HowMessagesCount) {
  rly_batch_plan lib_g = rly_batch_plan_for(rly_build_lib, 0, 0, 0);
  EXPECT_EQ(rly_records_in(lib_g, 288), 1);
  EXPECT_EQ(rly_records_in(lib_g, 576), 2);
  EXPECT_EQ(rly_records_in(lib_g, 600), 2);
  EXPECT_EQ(rly_records_in(lib_g, 200), 0);
  rly_batch_plan relayd_t = rly_batch_plan_for(rly_build_relayd, 1, 0, 0);
  EXPECT_EQ(rly_records_in(relayd_t, 104), 1);
  EXPECT_EQ(rly_records_in(relayd_t, 208), 0);
  EXPECT_EQ(rly_records_in(relayd_t, 168), 0);
  rly_batch_plan jni_g = rly_batch_plan_for(rly_build_jni, 0, 0, 0);
  EXPECT_EQ(rly_records_in(jni_g, 576), 0);
  EXPECT_EQ(rly_records_in(jni_g, 288), 1);
}

TEST(RelayBatch, SealedBatchBytes) {
  std::vector<char> buf(RLY_BATCH_BUFFER, 0);
  rly_batch_plan p = rly_batch_plan_for(rly_build_relayd, 1, 0, 0);
  rly_batch_init(buf.data(), p);
  const size_t total = rly_batch_seal(buf.data(), p, 3);
  EXPECT_EQ(total, 40u + 3 * 104);
  const unsigned char expect[40] = {0, 0, 0x01, 0x5c,  // 36 + 312 = 348
                                    '$', 'T', 'A', 'V', '0', 'M', 'Z', 'Z', 'P', '0', '0', '0', '0',
                                    '0', '2', '2', 0, 0, '0', '0', '0', '0', '0', ' ', ' ', ' ', ' ',
                                    ' ', 0, 0, 0, 3, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(buf.data(), expect, sizeof expect), 0);
  // The largest gtuid batch.
  rly_batch_plan g = rly_batch_plan_for(rly_build_lib, 0, 0, 0);
  rly_batch_init(buf.data(), g);
  EXPECT_EQ(rly_batch_seal(buf.data(), g, 1820), 40u + 1820 * 288);
  EXPECT_EQ(reinterpret_cast<const _tavMasterbuf*>(buf.data())->pksz.get(), 36u + 1820 * 288);
  EXPECT_EQ(memcmp(buf.data() + 9, "MZZP000001", 10), 0);
}

}  // namespace
