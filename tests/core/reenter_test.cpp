// Start-up that re-enters the library, with 32 threads racing their first
// call, in a real process with each build preloaded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "child.h"
#include "probe_run.h"

using qel::test::in_child;

class ReenterStart : public ::testing::TestWithParam<const char*> {};

TEST_P(ReenterStart, StartsOnceWithoutDeadlock) {
  const std::string lib = std::string(PROBE_LIB_DIR) + "/libprobe-" + GetParam() + ".so";
  for (int run = 0; run < 10; ++run) {
    auto r = in_child(
        [&] {
          setenv("LD_PRELOAD", qel::test::preload_value(lib).c_str(), 1);
          unsetenv("TAV_CONFIG_FILE");
          execl(REENTER_PROGRAM, REENTER_PROGRAM, static_cast<char*>(nullptr));
          return 127;
        },
        20);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "threads ok 32 lookups 1\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Builds, ReenterStart,
                         ::testing::Values("jeus", "weblogic", "tmax", "webtob"),
                         [](const auto& info) { return std::string(info.param); });
