// relayd or librelay as a real process in a test: its own settings file
// (private queue keys, its own log directory), a master of the test's own on
// loopback, and helpers to read what reaches it.
#pragma once

#include <signal.h>
#include <sys/msg.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "relay_test_support.h"
#include "temp_dir.h"

namespace rlytest {

inline std::string host_name() {
  char h[256] = "";
  gethostname(h, sizeof h - 1);
  return h;
}

class RelayProcess : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.ok());
    ASSERT_TRUE(master.ok());
    settings = {{"TAV_LOG_FLAG_RLY", "ON"},
                {"TAV_LOG_DEPTH", "ERROR"},
                {"TAV_LOG_PATH", dir.path()},
                {"TAV_LOG_FILE_RLY", "rly"},
                {"TAV_RLY_AGENT_NAME", "AG"},
                {"TAV_RLY_AGENT_ALIAS", "test-alias"},
                {"TAV_NODE_DOMAIN_NAME", "test-domain"},
                {"TAV_NODE_PRODUCT_CODE", "07"},
                {"TAV_RLY_GTUID_THREAD_COUNT", "1"},
                {"TAV_RLY_GTUID_QUEUE_COUNT", "1"},
                {"TAV_RLY_GTUID_QUEUE_NAME", key_text(gtuid_key)},
                {"TAV_RLY_TCODE_QUEUE_COUNT", "1"},
                {"TAV_RLY_TCODE_THREAD_COUNT", "1"},
                {"TAV_RLY_TCODE_QUEUE_NAME", key_text(tcode_key)},
                {"TAV_RLY_MASTER_SESSION_COUNT", "1"},
                {"TAV_MST_1ST_MASTER_IPADDR", "127.0.0.1"},
                {"TAV_MST_2ND_MASTER_IPADDR", "127.0.0.1"},
                {"TAV_MST_1ST_MASTER_PORT", std::to_string(master.port())},
                {"TAV_MST_RESPONSE_TIMEOUT", "1"}};
  }

  // Starts `exe` (relayd or the librelay host) with the settings; no
  // argument at all when `with_file` is false.
  void start(const char* exe = RELAYD_PATH, bool with_file = true) {
    cfg = dir.write("relay.cfg", settings_text(settings));
    std::vector<std::string> argv{exe};
    if (with_file) argv.push_back(cfg);
    relay = std::make_unique<Child>(argv, dir.file("stdout.txt"));
  }
  std::string out() const { return qel::test::TempDir::read(dir.file("stdout.txt")); }
  std::string log() const {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().filename().string().rfind("rly.", 0) == 0) all += qel::test::TempDir::read(e.path());
    return all;
  }
  // Waits for the relay's end; its exit status, or -1 when it did not end.
  int exit_status(int timeout_ms) {
    int st = 0;
    if (!relay->wait(timeout_ms, &st)) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  // SIGUSR1; the relay must end within the time with status 0.
  void stop_cleanly(int timeout_ms = 6000) {
    const long long t0 = now_ms();
    relay->signal(SIGUSR1);
    EXPECT_EQ(exit_status(timeout_ms), 0) << out() << log();
    EXPECT_LT(now_ms() - t0, timeout_ms);
  }
  // Accepts the next session and answers its opening with "00000".
  std::unique_ptr<Session> accepted(Listener& l, Frame* opening = nullptr) {
    auto s = l.accept(10000);
    if (!s) return nullptr;
    Frame f;
    if (!s->open(opening ? opening : &f)) return nullptr;
    // The relay reads its messages in order: once the answer to a poll is
    // back, the acceptance has been taken in and records go to this session.
    // A batch the relay held for the next master may come first: it is put
    // back for the test to read.
    if (!s->send(master_frame('0', tav::master::kPoll, "00000"))) return nullptr;
    std::vector<Frame> before;
    for (int frames = 0; frames < 64; ++frames) {
      Frame answer;
      if (s->read(&answer) != Got::kFrame) return nullptr;
      if (answer.code() == tav::master::kPoll) {
        for (Frame& f : before) s->put_back(std::move(f));
        return s;
      }
      before.push_back(std::move(answer));
    }
    return nullptr;
  }
  // Puts one gtuid record on queue `qid`; the session must deliver it as it is.
  void expect_delivered(Session& s, int qid, int n) {
    ASSERT_TRUE(put(qid, record(288, n)));
    auto recs = batch_records(s, "MZZP000001", 288, 1);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0], record(288, n));
  }
  // Reads batches until `n` records arrived (other messages are skipped).
  std::vector<std::string> batch_records(Session& s, const char* code, int size, size_t n,
                                         std::vector<Frame>* frames = nullptr) {
    std::vector<std::string> recs;
    const long long end = now_ms() + 15000;
    while (recs.size() < n && now_ms() < end) {
      Frame f;
      if (s.read(&f, 2000) != Got::kFrame) continue;
      if (f.code() != code) continue;
      EXPECT_EQ(f.length(), 36u + static_cast<uint32_t>(size) * f.count());
      for (uint32_t i = 0; i < f.count(); ++i) recs.push_back(f.rec(size, i));
      if (frames) frames->push_back(f);
    }
    return recs;
  }

  qel::test::TempDir dir;
  const key_t gtuid_key = test_key(0x30);
  const key_t tcode_key = test_key(0x40);
  QueueKeys keys{{gtuid_key, tcode_key}};
  Listener master;
  Settings settings;
  std::string cfg;
  std::unique_ptr<Child> relay;
};

}  // namespace rlytest
