// Start-up: table sizes, failures that must not end the host, concurrent
// first calls.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "build_defaults.h"
#include "child.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#if defined(TAV_BUILD_TMAX)
#include "servers/tmax/tav_tmax.h"
#endif

using qel::test::in_child;

TEST(Load, DefaultTableSizesAndFreshGtuidStore) {
  auto r = in_child([] {
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    tav_load();
    CHILD_CHECK(en_handle == 1 && tav::bypass == 0);
    int fd_max = static_cast<int>(rl.rlim_cur < 65536 ? rl.rlim_cur : 65536);
#if defined(TAV_BUILD_TMAX)
    // This test program counts as a Tmax application server, whose table
    // is capped.
    CHILD_CHECK(tav_tmax_proc == TAV_TMAX_SERVER);
    fd_max = std::min(fd_max, 4096);
#endif
    CHILD_CHECK(en_fd_max == fd_max);
    CHILD_CHECK(en_thread_max == 4096);  // no thread limit on Linux
    CHILD_CHECK(en_my_pid == getpid());
    CHILD_CHECK(en_my_pcode == kDefaultProductCode);
    for (int fd : {0, en_fd_max / 2, en_fd_max - 1}) {
      const gtuid_t& g = en_ws_gtuid[fd];
      CHILD_CHECK(memcmp(g.init, TAV_GTUID_INIT, 4) == 0);
      const auto* b = reinterpret_cast<const unsigned char*>(&g);
      for (size_t i = 4; i < sizeof g; ++i) CHILD_CHECK(b[i] == 0);
    }
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(Load, DescriptorTableIsCappedWhenTheLimitIsHuge) {
  auto r = in_child([] {
    struct rlimit rl = {1 << 20, 1 << 20};
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0) return 77;  // needs privilege
    tav_load();
    CHILD_CHECK(en_fd_max == tav::kTableCap);
    // Descriptors beyond the table are simply untracked.
    CHILD_CHECK(tav::fd_record(tav::kTableCap) == nullptr);
    CHILD_CHECK(tav::fd_record(tav::kTableCap - 1) != nullptr);
    return 0;
  });
  if (r.status == 77) GTEST_SKIP() << "cannot raise RLIMIT_NOFILE here";
  EXPECT_CHILD_OK(r);
}

TEST(Load, TableSizeFromReportedLimits) {
  struct {
    long reported;
    int fallback;
    int expected;
  } cases[] = {{-1, 1024, 1024},    {0, 4096, 4096},      {1, 1024, 1},
               {20000, 1024, 20000}, {65536, 1024, 65536}, {65537, 1024, 65536},
               {1L << 30, 1024, 65536}, {1L << 40, 4096, 65536}};
  for (const auto& c : cases) EXPECT_EQ(tav::table_size(c.reported, c.fallback), c.expected) << c.reported;
}

struct FailCase {
  const char* name;
  int fd_max;
  int thread_max;
  const char* reason;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class LoadFailure : public ::testing::TestWithParam<FailCase> {};

// A start-up that cannot allocate its tables reports it once on standard
// output and leaves the host running with the library passing calls through.
TEST_P(LoadFailure, ReportsAndPassesThrough) {
  const FailCase c = GetParam();
  auto r = in_child([&] {
    en_fd_max = c.fd_max;
    en_thread_max = c.thread_max;
    tav_load();
    CHILD_CHECK(en_handle == 1);
    CHILD_CHECK(tav::bypass == 1);
    CHILD_CHECK(!tav::prologue());
    tav_load();  // never retried, never reported twice
    printf("alive\n");
    return 0;
  });
  EXPECT_CHILD_OK(r);
  const std::string line = std::string("start error. ( ") + c.reason + " )\n";
  EXPECT_NE(r.output.find(line), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find(line), r.output.rfind(line)) << "reported twice:\n" << r.output;
  EXPECT_NE(r.output.find("alive"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, LoadFailure,
    ::testing::Values(FailCase{"mfd", INT_MAX, 16, "mfd calloc"},
                      FailCase{"mthr", 64, INT_MAX / 2, "mthr calloc"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, ConcurrentFirstCallsStartOnce) {
  auto r = in_child([] {
    constexpr int kThreads = 32;
    pthread_barrier_t go;
    pthread_barrier_init(&go, nullptr, kThreads);
    std::vector<mfd*> seen(kThreads);
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i) {
      ts.emplace_back([&, i] {
        pthread_barrier_wait(&go);
        CHILD_CHECK(tav::prologue());
        // Every thread finds the tables complete when its first call returns.
        CHILD_CHECK(en_mfd && en_mthr && en_ws_gtuid);
        seen[i] = en_mfd;
        CHILD_CHECK(tav_thrinfo() != nullptr);
      });
    }
    for (auto& t : ts) t.join();
    for (mfd* p : seen) CHILD_CHECK(p == seen[0]);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(Load, ExitHandlerLeavesTablesUsable) {
  auto r = in_child([] {
    tav_load();
    tav_exit();
    CHILD_CHECK(tav::prologue());
    mthr* m = tav_thrinfo();
    CHILD_CHECK(m == tav_thrinfo());
    return 0;
  });
  EXPECT_CHILD_OK(r);
}
