// A fault soak: preloaded servers of two builds under steady load from
// clients that check every answer, while on a schedule the relay is killed
// and started again, the master is killed and started again, peers die in
// the middle of a message, the ring is filled with the relay away, and the
// log switch is flipped. At the end every answer must be the one the
// unprobed servers give, no client may have hung, no server may have died,
// every record the ring took in must be at the master (or counted by the
// ring as given up or dropped), and nothing of the test may be left.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sockaddrs.h"
#include "soak_stack.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kCycles = 4;
// One client call: rounds cycling through the sizes, through front and back.
const std::vector<std::string> kCallShape = {"6", "1", "300", "4000", "--hops", "2"};

std::vector<std::string> call_argv(int port) {
  std::vector<std::string> argv = {RR_PEER_BIN, "call", "127.0.0.1", std::to_string(port)};
  argv.insert(argv.end(), kCallShape.begin(), kCallShape.end());
  return argv;
}

// What a client gets from the servers without the probe.
std::string unprobed_answer(ProbeSandbox& box, std::string* why) {
  const int back_port = free_port(), front_port = free_port();
  Background& back = box.start({RR_PEER_BIN, "serve", std::to_string(back_port)}, {}, false);
  Background& front = box.start({RR_PEER_BIN, "serve", std::to_string(front_port), "--forward",
                                 "127.0.0.1:" + std::to_string(back_port)},
                                {}, false);
  if (back.wait_first_line(20s).empty() || front.wait_first_line(20s).empty()) {
    *why = "unprobed servers did not start";
    return {};
  }
  const RunResult r = box.run_plain(call_argv(front_port));
  front.stop(SIGKILL);
  back.stop(SIGKILL);
  if (!r.ok() || r.out.empty()) *why = "unprobed call: " + r.describe();
  return r.out;
}

// Steady load on one stack's front server: unprobed clients, one after the
// other, each with a bounded time; every answer is compared.
struct Load {
  SoakStack& stack;
  std::string expected;
  std::atomic<bool> stop{false}, paused{false}, busy{false};
  std::atomic<long> calls{0}, wrong{0}, hung{0};
  std::string first_wrong;
  std::thread th;

  Load(SoakStack& s, std::string answer) : stack(s), expected(std::move(answer)) {}

  void start() {
    th = std::thread([this] {
      while (!stop) {
        if (paused) {
          std::this_thread::sleep_for(5ms);
          continue;
        }
        busy = true;
        RunResult r;
        {
          std::lock_guard<std::mutex> g(stack.lock());
          RunOptions o;
          o.timeout = 20s;
          r = stack.box().run_plain(call_argv(stack.front_port()), o);
        }
        busy = false;
        ++calls;
        if (r.timed_out) ++hung;
        if (!r.ok() || r.out != expected) {
          if (wrong++ == 0) first_wrong = r.describe() + "\nout: " + r.out;
        }
      }
    });
  }
  // Waits for the call in progress to end; no new one starts until resume().
  void pause() {
    paused = true;
    while (busy) std::this_thread::sleep_for(2ms);
  }
  void resume() { paused = false; }
  void end() {
    stop = true;
    if (th.joinable()) th.join();
  }
};

// Keys of System V objects that exist now, per kind.
std::vector<std::pair<std::string, long>> ipc_keys_in(key_t base, int count) {
  std::vector<std::pair<std::string, long>> found;
  for (const char* kind : {"msg", "shm", "sem"}) {
    std::ifstream in(std::string("/proc/sysvipc/") + kind);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
      std::istringstream f(line);
      long key = 0;
      f >> key;
      if (key >= base && key < base + count) found.emplace_back(kind, key);
    }
  }
  return found;
}

// Shared segments without a key (private ones) made by one of `pids`.
std::vector<long> private_segments_of(const std::vector<pid_t>& pids) {
  std::vector<long> found;
  std::ifstream in("/proc/sysvipc/shm");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    long key, id, perms, size, cpid;
    if (!(f >> key >> id >> perms >> size >> cpid)) continue;
    if (key == IPC_PRIVATE && std::find(pids.begin(), pids.end(), cpid) != pids.end()) found.push_back(id);
  }
  return found;
}

// Bytes the probes have logged into `dir` so far.
uintmax_t probe_log_bytes(const std::string& dir) {
  uintmax_t n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().filename().string().rfind("TavQEL.LOG.", 0) == 0) n += e.file_size(ec);
  return n;
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

class Soak : public testing::Test {
 protected:
  // Both stacks go through every step together.
  template <typename F>
  void each(F f) {
    for (auto& s : stacks) f(*s);
  }
  bool servers_alive() {
    for (auto& s : stacks)
      if (!s->front()->running() || !s->back()->running()) return false;
    return true;
  }
  void qellog(SoakStack& s, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {QELLOG_BIN, "-k", key_text(s.log_key())};
    argv.insert(argv.end(), args.begin(), args.end());
    std::lock_guard<std::mutex> g(s.lock());
    const RunResult r = s.box().run_plain(argv);
    EXPECT_TRUE(r.ok()) << r.describe();
  }
  // A peer that dies in the middle of a message: a preloaded client sends a
  // large request through small socket buffers and is killed while it writes.
  void kill_mid_message(SoakStack& s, int port) {
    Background* victim;
    {
      std::lock_guard<std::mutex> g(s.lock());
      victim = &s.box().start({RR_PEER_BIN, "call", "127.0.0.1", std::to_string(port), "1000", "1048576",
                               "--small-buffers"});
    }
    std::this_thread::sleep_for(40ms);
    std::lock_guard<std::mutex> g(s.lock());
    const RunResult r = victim->stop(SIGKILL);
    // It must still have been writing: a finished call would prove nothing.
    EXPECT_EQ(r.term_signal, SIGKILL) << r.describe();
  }

  std::vector<std::unique_ptr<SoakStack>> stacks;
};

TEST_F(Soak, FaultsOnAScheduleUnderLoad) {
  const auto began = Clock::now();
  std::vector<key_t> key_bases;
  std::vector<std::string> dirs;
  std::vector<pid_t> pids;
  {
    for (const char* build : {"jeus", "tmax"}) stacks.push_back(std::make_unique<SoakStack>(build));
    std::string why;
    const std::string expected = unprobed_answer(stacks[0]->box(), &why);
    ASSERT_FALSE(expected.empty()) << why;

    for (auto& s : stacks) {
      key_bases.push_back(s->box().key_base());
      dirs.push_back(s->box().dir());
      qellog(*s, {"-c"});  // the log-control segment, logging off
      ASSERT_TRUE(s->start_master(&why)) << why;
      ASSERT_TRUE(s->start_relay(&why)) << why;
      ASSERT_TRUE(s->start_servers(&why)) << why << s->story();
    }
    std::vector<std::unique_ptr<Load>> loads;
    for (auto& s : stacks) loads.push_back(std::make_unique<Load>(*s, expected));
    for (auto& l : loads) l->start();
    std::vector<uintmax_t> logged_off(stacks.size(), 0);
    auto pause_all = [&] { for (auto& l : loads) l->pause(); };
    auto resume_all = [&] { for (auto& l : loads) l->resume(); };

    for (int cycle = 0; cycle < kCycles && !HasFatalFailure(); ++cycle) {
      SCOPED_TRACE("cycle " + std::to_string(cycle));
      std::this_thread::sleep_for(1500ms);

      // Logging on for a while, then off again; it stays off until the
      // next switch.
      for (size_t i = 0; i < stacks.size(); ++i)
        EXPECT_EQ(probe_log_bytes(stacks[i]->box().log_dir()), logged_off[i]) << "logging stayed off";
      each([&](SoakStack& s) { qellog(s, {"-m", "1", "-l", "1"}); });
      std::this_thread::sleep_for(1s);
      each([&](SoakStack& s) { qellog(s, {"-m", "0", "-l", "0"}); });
      std::this_thread::sleep_for(200ms);  // a line being written when the switch went
      for (size_t i = 0; i < stacks.size(); ++i) {
        const uintmax_t now = probe_log_bytes(stacks[i]->box().log_dir());
        EXPECT_GT(now, logged_off[i]) << "the switch reached the probes";
        logged_off[i] = now;
      }

      // Peers killed inside a message, to the front and to the back server.
      each([&](SoakStack& s) {
        kill_mid_message(s, s.front_port());
        kill_mid_message(s, s.back_port());
      });

      // The relay killed under load and started again.
      each([](SoakStack& s) { s.kill_relay(); });
      std::this_thread::sleep_for(300ms);
      each([&](SoakStack& s) { ASSERT_TRUE(s.start_relay(&why)) << why; });

      // The ring filled: a burst with the relay away.
      each([](SoakStack& s) { s.kill_relay(); });
      std::this_thread::sleep_for(1500ms);
      each([&](SoakStack& s) { ASSERT_TRUE(s.start_relay(&why)) << why; });

      // The master killed, once it has what was sent (what lies unread in
      // its socket when it dies is gone: batches are not acknowledged);
      // then records come while it is away, the relay is killed holding
      // them, and both start again.
      pause_all();
      each([](SoakStack& s) { EXPECT_TRUE(s.wait_caught_up(10s)) << s.story(); });
      each([](SoakStack& s) { s.kill_master(); });
      resume_all();
      std::this_thread::sleep_for(1500ms);
      each([](SoakStack& s) { s.kill_relay(); });
      each([&](SoakStack& s) { ASSERT_TRUE(s.start_relay(&why)) << why; });
      std::this_thread::sleep_for(500ms);
      each([&](SoakStack& s) { ASSERT_TRUE(s.start_master(&why)) << why; });
      // The relay finds the new master at its next attempt.
      each([](SoakStack& s) { ASSERT_TRUE(s.wait_accepted(10s)) << s.story(); });

      EXPECT_TRUE(servers_alive()) << "a server died";
    }
    for (auto& l : loads) l->end();

    for (size_t i = 0; i < stacks.size(); ++i) {
      SoakStack& s = *stacks[i];
      const Load& l = *loads[i];
      SCOPED_TRACE(s.build());
      EXPECT_TRUE(s.wait_caught_up(20s)) << s.story();
      const RingCounts ring = ring_counts(s.gtuid_key());
      size_t lines = 0;
      const size_t unique = s.delivered(&lines).size();
      // Nothing waits on the queue either.
      msqid_ds q{};
      const int qid = msgget(s.gtuid_key(), 0);
      ASSERT_GE(qid, 0);
      ASSERT_EQ(msgctl(qid, IPC_STAT, &q), 0);
      const std::string story = s.story();
      const bool alive = s.front()->running() && s.back()->running();
      const RunResult relay_end = s.stop_relay();
      const RunResult master_end = s.stop_master();
      printf("[soak %s] calls %ld (wrong %ld, hung %ld); records at the master %zu (%zu lines); ring: "
             "reserved %llu taken %llu dropped %llu skipped %llu rejected %llu\n",
             s.build().c_str(), l.calls.load(), l.wrong.load(), l.hung.load(), unique, lines, ring.head,
             ring.taken, ring.dropped, ring.skipped, ring.rejected);

      EXPECT_GT(l.calls, kCycles * 4) << "the load ran";
      EXPECT_EQ(l.wrong, 0) << l.first_wrong;
      EXPECT_EQ(l.hung, 0);
      EXPECT_TRUE(alive) << "no server died\n" << story;
      EXPECT_TRUE(relay_end.ok()) << relay_end.describe();
      EXPECT_TRUE(master_end.ok()) << master_end.describe();
      ASSERT_TRUE(ring.found);
      // At least six records for every round of every call.
      EXPECT_GE(ring.head + ring.dropped, static_cast<unsigned long long>(l.calls) * 6 * 6);
      EXPECT_GT(ring.dropped, 0u) << "the bursts filled the ring";
      EXPECT_EQ(unique, ring_owed(ring)) << "every record the ring took in is at the master\n" << story;
      EXPECT_EQ(q.msg_qnum, 0u) << "nothing left on the queue";
    }
    for (auto& s : stacks)
      pids.insert(pids.end(), s->pids().begin(), s->pids().end());
    stacks.clear();  // every sandbox removes what it made
  }
  // Nothing of the test is left: no queue, segment or semaphore with its
  // keys, no private segment of its processes, no directory.
  for (key_t base : key_bases) EXPECT_TRUE(ipc_keys_in(base, ProbeSandbox::kKeyCount).empty());
  EXPECT_TRUE(private_segments_of(pids).empty());
  for (const auto& d : dirs) EXPECT_FALSE(exists(d)) << d;
  printf("[soak] %lld s\n",
         static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began).count()));
}

}  // namespace
}  // namespace qel::test
