// Parsing and arithmetic of libsysinfo, and the plain entry points that need
// no other process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

#include "sysinfo.h"
#include "sysinfo_internal.hpp"

namespace {

// Fields 3..24 of a stat line with utime=7, stime=5, rss=300.
constexpr const char* kTail =
    " S 1 2 3 4 5 6 7 8 9 10 7 5 0 0 20 0 1 0 100 123456 300 18446744073709551615 1 1\n";

TEST(ProcStat, ParsesTicksAndResidentSize) {
  struct Case {
    std::string text;
    int rc;
    std::uint64_t ticks, rss;
  } cases[] = {
      {"42 (sleep)" + std::string(kTail), 0, 12, 1200},
      {"42 (a) b)" + std::string(kTail), 0, 12, 1200},       // last ")" ends the name
      {"42 ((x) (y))" + std::string(kTail), 0, 12, 1200},
      {"42 (sleep) S 1 2 3", -1, 0, 0},                      // too few fields
      {"42 (sleep)   ", -1, 0, 0},                           // ends after the name
      {"42 sleep" + std::string(kTail), -1, 0, 0},           // no brackets
      {"42 (sleep) S 1 2 3 4 5 6 7 8 9 10 x 5 0 0 20 0 1 0 100 1 300", -1, 0, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t ticks = 0, rss = 0;
    EXPECT_EQ(sysmetrics::parse_proc_stat(c.text, ticks, rss), c.rc) << c.text;
    if (c.rc == 0) {
      EXPECT_EQ(ticks, c.ticks) << c.text;
      EXPECT_EQ(rss, c.rss) << c.text;
    }
  }
}

TEST(ProcStat, CpuPercentOfOneProcessor) {
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(100, 200, 1.0), 100.0);
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(100, 300, 1.0), 200.0);
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(100, 150, 2.0), 25.0);
  // A count that went backwards: the pid names another process now.
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(5000, 10, 1.0), 0.0);
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(10, 20, 0.0), 0.0);
  EXPECT_DOUBLE_EQ(sysmetrics::cpu_percent(10, 20, -1.0), 0.0);
}

TEST(ProcStat, ReadsLiveProcessAndRejectsMissingOnes) {
  std::uint64_t ticks = 0, rss = 0;
  ASSERT_EQ(tavReadOneProcStat(static_cast<int>(getpid()), &ticks, &rss), 0);
  EXPECT_GT(rss, 0u);
  for (int pid : {0, -1, 0x7ffffff0}) EXPECT_EQ(tavReadOneProcStat(pid, &ticks, &rss), -2) << pid;
  double v = 0;
  EXPECT_EQ(tavGetProcessCpuUsage(0x7ffffff0, &v), -1);
  EXPECT_DOUBLE_EQ(v, -0.001231);
  EXPECT_EQ(tavGetProcessMemorySizeKBytes(-3, &v), -1);
  EXPECT_DOUBLE_EQ(v, -0.001232);
  EXPECT_EQ(tavGetProcessMemoryUsage(0x7ffffff0, &v), -1);
  EXPECT_DOUBLE_EQ(v, -0.001233);
}

TEST(ProcStat, NullOutputsAreRefused) {
  EXPECT_EQ(tavGetProcessCpuUsage(static_cast<int>(getpid()), nullptr), -1);
  EXPECT_EQ(tavGetProcessMemorySizeKBytes(static_cast<int>(getpid()), nullptr), -1);
  EXPECT_EQ(tavGetSystemMemoryUsage(nullptr), -1);
  EXPECT_EQ(tavGetSystemCpuUsage(nullptr), -1);
  EXPECT_EQ(tavGetProcessInfosByName(nullptr, nullptr, nullptr, nullptr), 0);
}

TEST(Mpstat, LineNeedsEveryField) {
  struct Case {
    const char* line;
    bool ok;
    double user, system, iowait, steal;
  } cases[] = {
      {"Average:     all    1.50    0.25    2.00    0.75    0.10    0.20    3.00    0.00    0.00   92.20\n",
       true, 1.5, 2.0, 0.75, 3.0},
      {"12:00:01 all 10 0 5 1 0 0 2 x", true, 10, 5, 1, 2},
      {"Average: all 1.5 0.25 2.0", false, 0, 0, 0, 0},                 // fields missing
      {"Average: all 1.5 0.25 2.0 0.75 0.1 0.2 3.0", false, 0, 0, 0, 0},  // no tenth word
      {"Average: all 1,50 0,25 2,00 0,75 0,10 0,20 3,00 0,00", false, 0, 0, 0, 0},  // comma decimals
      {"Average: all 1.5x 0.25 2.0 0.75 0.1 0.2 3.0 0.0", false, 0, 0, 0, 0},
      {"Average: all nan 0.25 2.0 0.75 0.1 0.2 3.0 0.0", false, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0},
      {"garbage garbage garbage", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    sysmetrics::HostCpu cpu{-1, -1, -1, -1};
    EXPECT_EQ(sysmetrics::parse_mpstat_line(c.line, cpu), c.ok) << c.line;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(cpu.user, c.user) << c.line;
      EXPECT_DOUBLE_EQ(cpu.system, c.system) << c.line;
      EXPECT_DOUBLE_EQ(cpu.iowait, c.iowait) << c.line;
      EXPECT_DOUBLE_EQ(cpu.steal, c.steal) << c.line;
    }
  }
}

TEST(Mpstat, TakesTheFifthLine) {
  const std::string avg = "Average: all 4 0 6 0 0 0 1 0 0 89\n";
  const std::string sample = "00:00:01 all 9 9 9 9 9 9 9 9 9 9\n";
  sysmetrics::HostCpu cpu{};
  ASSERT_TRUE(sysmetrics::parse_mpstat_output("Linux x\n\nhdr\n" + sample + avg, cpu));
  EXPECT_DOUBLE_EQ(cpu.user, 4);
  EXPECT_DOUBLE_EQ(cpu.system, 6);
  EXPECT_FALSE(sysmetrics::parse_mpstat_output("Linux x\n\nhdr\n" + avg, cpu));  // only four lines
  // A first line longer than a line buffer is read in two pieces, so the
  // line after it counts as the third.
  ASSERT_TRUE(sysmetrics::parse_mpstat_output(std::string(1500, 'L') + "\n\nhdr\n" + avg, cpu));
  EXPECT_DOUBLE_EQ(cpu.user, 4);
  ASSERT_TRUE(sysmetrics::parse_mpstat_output(std::string(1500, 'L') + "\n\nhdr\n" + sample + avg, cpu));
  EXPECT_DOUBLE_EQ(cpu.user, 9);
}

TEST(Mpstat, BoundedRunKillsTheCommand) {
  std::string out;
  ASSERT_TRUE(sysmetrics::run_bounded("echo \"$LC_ALL\"", out, 1024, 5000));
  EXPECT_EQ(out, "C\n");
  // Output beyond the cap ends the run; so does the time limit.
  ASSERT_TRUE(sysmetrics::run_bounded("yes", out, 100, 5000));
  EXPECT_EQ(out.size(), 100u);
  ASSERT_TRUE(sysmetrics::run_bounded("echo start; sleep 30", out, 1024, 300));
  EXPECT_EQ(out, "start\n");
}

TEST(Overview, FieldsKeepTheirWidths) {
  char area[153];
  std::memset(area, '#', 152);
  area[152] = '\0';
  ASSERT_EQ(tavGetSystemOverview(area, area + 32, area + 52, area + 72, area + 92, area + 112, area + 132), 0);
  const std::string_view text(area, 152);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const std::string expect_host = std::string(host).substr(0, 32);
  EXPECT_EQ(text.substr(0, expect_host.size()), expect_host);
  EXPECT_EQ(text.substr(52, 5), "Linux");
  EXPECT_EQ(text.substr(132, 20), "Unlimited Users#####");
  EXPECT_EQ(std::strlen(area), 152u);
}

TEST(Overview, CopyCutsToTheWidth) {
  char area[8];
  std::memset(area, '.', sizeof area);
  sysmetrics::copy_field(area, 4, "abcdef");
  EXPECT_EQ(std::string_view(area, 8), "abcd....");
  sysmetrics::copy_field(area, 4, "xy");
  EXPECT_EQ(std::string_view(area, 8), "xycd....");
  sysmetrics::copy_field(nullptr, 4, "xy");
}

TEST(HostFigures, FixedCounts) {
  int n = -1;
  EXPECT_EQ(tavGetSystemActiveProcessCount(&n), 0);
  EXPECT_EQ(n, 1024);
  EXPECT_EQ(tavGetSystemActiveThreadCount(&n), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(tavGetSystemCpuCount(&n), 0);
  EXPECT_GE(n, 1);
  std::uint64_t total = 0, used = 0;
  ASSERT_EQ(memGetSystemMemoryInfo(&total, &used), 0);
  EXPECT_GT(total, 0u);
  EXPECT_LE(used, total);
}

}  // namespace
