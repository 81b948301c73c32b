// librelay-jni inside a real JVM: the test class starts the relay through
// startRLY with an XML-like settings file and stops it through stopRLY.
#include <signal.h>
#include <sys/msg.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "relay_test_support.h"
#include "temp_dir.h"

namespace {

using namespace rlytest;

class RelayJvm : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(master.ok());
  }
  std::string xml() const {
    std::string s = "<relay>\n";
    auto entry = [&](const std::string& k, const std::string& v) {
      s += "  <entry key=\"" + k + "\" value=\"" + v + "\"/>\n";
    };
    entry("rlyLogMode", "ON");
    entry("rlyLogPath", dir.path());
    entry("rlyLogName", "rly");
    entry("rlyAgentName", "JV");
    entry("rlyAgentAlias", "jvm-alias");
    entry("rlyDomainName", "dom");
    entry("rlyProductCode", "07");
    entry("rlyGtuidQueueCount", "1");
    entry("rlyGtuidQueueName", key_text(gtuid_key));
    entry("rlyTrcodeQueueCount", "1");
    entry("rlyTrcodeThreadCount", "1");
    entry("rlyTrcodeQueueName", key_text(tcode_key));
    entry("rlyMasterAddress", "127.0.0.1");
    entry("rlyMasterPort", std::to_string(master.port()));
    entry("rlyMasterResponseTimeout", "1");
    return s + "</relay>\n";
  }
  void start(const std::string& settings_path) {
    jvm = std::make_unique<Child>(
        std::vector<std::string>{JAVA_PATH, "-Djava.library.path=" RELAY_JNI_DIR, "-cp",
                                 JAVA_CLASSES, "com.wq.tav.agent.plugin.RLYControlPlugin",
                                 settings_path, dir.file("stop")},
        dir.file("stdout.txt"));
  }
  std::string out() const { return qel::test::TempDir::read(dir.file("stdout.txt")); }

  qel::test::TempDir dir;
  const key_t gtuid_key = test_key(0x50);
  const key_t tcode_key = test_key(0x60);
  QueueKeys keys{{gtuid_key, tcode_key}};
  Listener master;
  std::unique_ptr<Child> jvm;
};

TEST_F(RelayJvm, StartForwardAndStop) {
  start(dir.write("relay.xml", xml()));
  auto s = master.accept(20000);
  ASSERT_TRUE(s) << out();
  Frame open;
  ASSERT_TRUE(s->open(&open));
  EXPECT_EQ(open.bytes.substr(65, 9), "jvm-alias");
  ASSERT_TRUE(s->send(master_frame('0', tav::master::kPoll, "00000")));
  Frame answer;
  ASSERT_EQ(s->read(&answer), Got::kFrame);
  const int tq = wait_queue(tcode_key, 5000);
  ASSERT_GE(tq, 0);
  ASSERT_TRUE(put(tq, record(168, 3)));
  Frame batch;
  ASSERT_EQ(s->read(&batch), Got::kFrame);
  EXPECT_EQ(batch.code(), "MZZP000004");
  ASSERT_EQ(batch.count(), 1u);
  EXPECT_EQ(batch.rec(168, 0), record(168, 3));

  std::ofstream(dir.file("stop")) << "stop\n";
  int st = 0;
  ASSERT_TRUE(jvm->wait(20000, &st)) << out();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out();
  EXPECT_NE(out().find("startRLY returned 0"), std::string::npos) << out();
  EXPECT_NE(out().find("stopRLY returned"), std::string::npos) << out();
  // The relay thread left its loop and closed the session.
  EXPECT_TRUE(s->ends(2000));
}

TEST_F(RelayJvm, MissingSettingsFileIsReportedAndTheThreadEnds) {
  const std::string missing = dir.file("absent.xml");
  start(missing);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const long long end = now_ms() + 20000;
  while (out().find("init error") == std::string::npos && now_ms() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::ofstream(dir.file("stop")) << "stop\n";
  int st = 0;
  ASSERT_TRUE(jvm->wait(20000, &st)) << out();
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << out();
  const std::string o = out();
  EXPECT_NE(o.find("startRLY returned 0"), std::string::npos) << o;
  EXPECT_NE(o.find("file(" + missing + ") (2:No such file or directory) error."), std::string::npos) << o;
  EXPECT_NE(o.find("TavRLY config file(" + missing + ") init error. code(-1188)"), std::string::npos) << o;
}

}  // namespace
