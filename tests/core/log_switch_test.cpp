// A running preloaded process follows the log-control segment: qellog
// switches its logging on and off between two of its calls.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "build_param.h"
#include "probe_run.h"

using namespace std::chrono_literals;
using qel::test::ProbeSandbox;
using qel::test::read_file;

namespace {

std::string hex(key_t k) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(k));
  return buf;
}

// Waits until `pred` holds, at most `limit`.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;
       std::this_thread::sleep_for(20ms))
    if (pred()) return true;
  return pred();
}

class LogSwitch : public ::testing::TestWithParam<std::string> {};

TEST_P(LogSwitch, RunningProcessFollowsTheSegment) {
  ProbeSandbox sb(GetParam());
  const std::string key = hex(sb.key(2));  // the sandbox's log-control key
  auto qellog = [&](std::vector<std::string> args) {
    args.insert(args.begin(), QELLOG_PROGRAM);
    return sb.run_plain(args);
  };
  ASSERT_TRUE(qellog({"-c", "-k", key}).ok());  // created with logging off

  const std::string stop = sb.path("stop");
  auto& host = sb.start({TICKER_PROGRAM, stop});
  const std::string log = sb.log_dir() + "/TavQEL.LOG." + std::to_string(host.pid());
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(qel::test::occurrences(read_file(log), " close. rc("), 0u) << "logging was off";

  ASSERT_TRUE(qellog({"-k", key, "-m", "1", "-l", "2"}).ok());
  ASSERT_TRUE(eventually([&] { return qel::test::occurrences(read_file(log), " close. rc(0)") >= 3; }))
      << read_file(log);
  const std::string on = read_file(log);
  EXPECT_GT(qel::test::occurrences(on, " D M"), 0u);
  EXPECT_GT(qel::test::occurrences(on, " create. dup fd("), 0u);

  ASSERT_TRUE(qellog({"-k", key, "-m", "0"}).ok());
  std::this_thread::sleep_for(100ms);  // the next call of the host sees it
  const size_t off = read_file(log).size();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(read_file(log).size(), off) << "lines written after logging was switched off";
  EXPECT_TRUE(host.running());

  sb.write_file("stop", "");
  ASSERT_TRUE(eventually([&] { return !host.running(); }));
  const auto result = host.stop(SIGKILL);
  EXPECT_TRUE(result.ok()) << result.describe();

  char date[16];
  const time_t now = time(nullptr);
  tm lt;
  localtime_r(&now, &lt);
  strftime(date, sizeof date, "%Y%m%d", &lt);
  const std::string starts = read_file(sb.log_dir() + "/tavstart." + date);
  const std::string self = "." + std::to_string(host.pid()) + " : ";
  EXPECT_NE(starts.find(self + "start.\n"), std::string::npos) << starts;
  // The Tmax build registers no exit handler: its processes end silently.
  EXPECT_EQ(starts.find(self + "stop.\n") != std::string::npos, GetParam() != "tmax") << starts;
}

INSTANTIATE_TEST_SUITE_P(Builds, LogSwitch, ::testing::ValuesIn(qel::test::probe_builds()),
                         [](const auto& info) { return info.param; });

}  // namespace
