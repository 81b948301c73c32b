// The runner itself: every comparison in the other tests is only worth
// something if the probe really is in the process, and the sandbox really
// leaves nothing behind.
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "build_param.h"
#include "probe_run.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

class PreloadTest : public ProbeBuildTest {};

TEST_P(PreloadTest, LibraryIsMappedOnlyWhenPreloaded) {
  const RunResult with = box->run({"cat", "/proc/self/maps"});
  ASSERT_TRUE(with.ok()) << with.describe();
  EXPECT_NE(with.out.find(box->library()), std::string::npos) << "library not mapped into the program";
  EXPECT_EQ(with.err, "") << "the loader complained about the preload";

  const RunResult without = box->run_plain({"cat", "/proc/self/maps"});
  ASSERT_TRUE(without.ok()) << without.describe();
  EXPECT_EQ(without.out.find("libprobe-"), std::string::npos);
}

TEST_P(PreloadTest, ProgramSeesTheSandboxSettingsFile) {
  box->add_setting("qel.log", "3");
  const RunResult r = box->run({"bash", "-c", "printf '%s\\n' \"$TAV_CONFIG_FILE\"; cat \"$TAV_CONFIG_FILE\""});
  ASSERT_TRUE(r.ok()) << r.describe();
  EXPECT_EQ(r.out, box->config_file() + "\n" + box->settings_text());
}

QEL_FOR_ALL_BUILDS(PreloadTest);

TEST(SandboxTest, SettingsNameTheSandboxAndItsKeys) {
  ProbeSandbox a("jeus"), b("jeus");
  const std::string text = a.settings_text();
  EXPECT_NE(text.find("qel.log.path=" + a.log_dir() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find("qel.check.home=" + a.check_home() + "\n"), std::string::npos) << text;
  char gtuid[64];
  snprintf(gtuid, sizeof gtuid, "qel.gtuid.queue.name=0x%08x\n", static_cast<unsigned>(a.key(1)));
  EXPECT_NE(text.find(gtuid), std::string::npos) << text;
  EXPECT_TRUE(std::filesystem::is_directory(a.check_home()));
  EXPECT_TRUE(std::filesystem::is_directory(a.log_dir()));

  // Two sandboxes of one process never share a key.
  EXPECT_TRUE(a.key_base() + ProbeSandbox::kKeyCount <= b.key_base() ||
              b.key_base() + ProbeSandbox::kKeyCount <= a.key_base());

  // A key that is the prefix of another must come first in the file: the
  // library takes the first line that begins with the key it looks for.
  a.add_setting("qel.log", "2");
  const std::string with_level = a.settings_text();
  EXPECT_LT(with_level.find("qel.log=2\n"), with_level.find("qel.log.path="));
  a.add_setting("qel.log", "5");  // replaces, does not add
  EXPECT_EQ(a.settings_text().find("qel.log=2"), std::string::npos);
}

TEST(SandboxTest, DestructorRemovesDirectoryQueuesSegmentsAndProcesses) {
  std::string dir;
  key_t queue_key, segment_key;
  pid_t server;
  {
    ProbeSandbox box("tmax");
    dir = box.dir();
    queue_key = box.key(1);
    segment_key = box.key(ProbeSandbox::kKeyCount - 1);
    ASSERT_GE(msgget(queue_key, IPC_CREAT | 0600), 0);
    ASSERT_GE(shmget(segment_key, 4096, IPC_CREAT | 0600), 0);
    box.write_file("left-behind", "x");
    server = box.start({"sleep", "60"}).pid();
    ASSERT_EQ(kill(server, 0), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(dir));
  errno = 0;
  EXPECT_LT(msgget(queue_key, 0), 0);
  const int queue_errno = errno;
  EXPECT_EQ(queue_errno, ENOENT);
  errno = 0;
  EXPECT_LT(shmget(segment_key, 0, 0), 0);
  const int segment_errno = errno;
  EXPECT_EQ(segment_errno, ENOENT);
  EXPECT_NE(kill(server, 0), 0) << "background process still there";
}

TEST(SandboxTest, RunCapturesStreamsAndStatus) {
  ProbeSandbox box("webtob");
  const RunResult r = box.run({"bash", "-c", "cat; echo oops >&2; exit 7"}, {.stdin_text = "line one\nline two\n"});
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 7);
  EXPECT_EQ(r.out, "line one\nline two\n");
  EXPECT_EQ(r.err, "oops\n");
}

TEST(SandboxTest, TimeoutKillsTheWholeProcessGroup) {
  ProbeSandbox box("weblogic");
  const auto t0 = std::chrono::steady_clock::now();
  const RunResult r = box.run({"bash", "-c", "sleep 60 & echo $!; wait"}, {.timeout = 1s});
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.exited);
  EXPECT_EQ(r.term_signal, SIGKILL);
  ASSERT_FALSE(r.out.empty()) << "the shell did not report its background job";
  const pid_t child = static_cast<pid_t>(std::stol(r.out));
  // Gone, or a zombie waiting for whoever adopted it (the kill is delivered
  // asynchronously: give it a moment).
  std::string stat;
  for (int i = 0; i < 200; ++i) {
    stat = read_file("/proc/" + std::to_string(child) + "/stat");
    if (stat.empty() || stat.find(") Z ") != std::string::npos) break;
    std::this_thread::sleep_for(10ms);
  }
  if (!stat.empty()) {
    EXPECT_NE(stat.find(") Z "), std::string::npos) << stat;
  }
}

}  // namespace
}  // namespace qel::test
