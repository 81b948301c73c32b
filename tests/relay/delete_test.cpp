// The delete thread: registrations of ended processes cleaned, running ones
// kept, markers aged with a fake clock, the full scan's list, R/proc missing,
// names it must not trust, planted links that must not be followed, and the
// thread itself with its stop signal.
#include "rly_delete.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "rly_agent.h"
#include "check_home_tree.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qel::test::TempDir;

using rlytest::install_stop_handler;
using rlytest::kStopSignal;
using rlytest::nothing;
using rlytest::touch;
using rlytest::tree;
constexpr time_t kNow = 1700000000;  // the fake clock of the ageing tests


bool present(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}


void set_atime(const std::string& path, time_t t) {
  timespec times[2] = {{t, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The id of a process that has ended and been reaped.
int ended_pid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  int status = 0;
  waitpid(pid, &status, 0);
  return static_cast<int>(pid);
}

struct ListDeleter {
  void operator()(rlylist_t* l) const { rly_list_destroy(l); }
};
using List = std::unique_ptr<rlylist_t, ListDeleter>;

std::set<std::pair<int, std::string>> contents(const rlylist_t* list) {
  std::set<std::pair<int, std::string>> out;
  for (const rlylist* n = list->head; n; n = n->next)
    out.emplace(n->type, std::string(static_cast<const char*>(n->data)));
  return out;
}

class DeleteScan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    home_ = tmp_.file("tav");
    outside_ = tmp_.file("outside");
    fs::create_directory(outside_);
    tmp_.write("outside/secret", "keep me");
    rly::home_prepare(home_.c_str());
    dead_ = ended_pid();
    ASSERT_FALSE(present("/proc/" + std::to_string(dead_)));
  }

  std::string at(const std::string& rel) const { return home_ + "/" + rel; }

  // What a listening probe registers for process pid on host.port.
  void register_listener(int pid, const std::string& host, int port) const {
    const std::string p = std::to_string(pid);
    const std::string n = host + "." + std::to_string(port);
    const std::string local = "127.0.0.1." + std::to_string(port);
    touch(at("port/" + n));
    fs::create_directories(at("proc/" + p));
    touch(at("proc/" + p + "/" + n));
    fs::create_directories(at("port/" + local));
    touch(at("port/" + local + "/" + p));
    touch(at("proc/" + p + "/" + local));
  }

  int scan(rlylist_t* list, time_t now = kNow) const {
    return rly_delete_scan(home_.c_str(), list, now, rly::kDeleteMinAge);
  }

  TempDir tmp_;
  std::string home_;
  std::string outside_;
  int dead_ = 0;
  const int alive_ = static_cast<int>(getpid());
};

TEST_F(DeleteScan, EndedProcessRegistrationsGoRunningOnesStay) {
  register_listener(dead_, "0.0.0.0", 8080);
  register_listener(alive_, "0.0.0.0", 9090);
  // Both serve 7070: the port's directory keeps the running process.
  register_listener(dead_, "10.0.0.5", 7070);
  register_listener(alive_, "10.0.0.5", 7070);
  const std::string d = std::to_string(dead_);
  const std::string a = std::to_string(alive_);

  ASSERT_EQ(scan(nullptr), 0);  // light
  EXPECT_FALSE(present(at("port/0.0.0.0.8080")));
  EXPECT_FALSE(present(at("port/127.0.0.1.8080")));
  EXPECT_FALSE(present(at("port/127.0.0.1.7070/" + d)));
  EXPECT_TRUE(fs::is_empty(at("proc/" + d)));
  EXPECT_TRUE(fs::is_directory(at("proc/" + d)));  // removed by a full scan only
  EXPECT_TRUE(present(at("port/127.0.0.1.7070/" + a)));
  EXPECT_TRUE(present(at("port/0.0.0.0.9090")));
  EXPECT_TRUE(present(at("port/127.0.0.1.9090/" + a)));
  for (const char* n : {"0.0.0.0.9090", "127.0.0.1.9090", "10.0.0.5.7070", "127.0.0.1.7070"})
    EXPECT_TRUE(present(at("proc/" + a + "/" + n))) << n;

  List list(rly_list_create());
  ASSERT_EQ(scan(list.get()), 0);  // full
  EXPECT_FALSE(present(at("proc/" + d)));
  EXPECT_TRUE(present(at("proc/" + a)));
  EXPECT_EQ(contents(list.get()),
            (std::set<std::pair<int, std::string>>{{1, at("proc/" + d)},
                                                   {0, "0.0.0.0.9090"},
                                                   {0, "127.0.0.1.9090"},
                                                   {0, "10.0.0.5.7070"},
                                                   {0, "127.0.0.1.7070"}}));
}

struct AgeCase {
  const char* name;
  enum { kFile, kDir, kLink } kind;
  int age;
  bool kept;
};

TEST_F(DeleteScan, FullScanAgesUnregisteredEntriesOnly) {
  register_listener(alive_, "0.0.0.0", 9090);
  const std::vector<AgeCase> cases = {
      {"10.0.0.5.40000", AgeCase::kFile, 25, false},  // an unconsumed marker
      {"10.0.0.5.40001", AgeCase::kFile, 20, false},  // just old enough
      {"10.0.0.5.40002", AgeCase::kFile, 19, true},   // young: its accept may come yet
      {"10.0.0.5.40003", AgeCase::kFile, -5, true},   // accessed after "now"
      {"0.0.0.0.9090", AgeCase::kFile, 500, true},    // registered by a running process
      {"127.0.0.1.9090", AgeCase::kDir, 500, true},   // directories are not aged
      {"0.0.0.0.9191", AgeCase::kFile, 500, false},   // a registration nobody holds
      {"127.0.0.1.9292", AgeCase::kDir, 500, true},
      {"10.0.0.5.40004", AgeCase::kLink, 500, false}, // a planted link goes, not its target
      {"1abc", AgeCase::kFile, 500, true},            // not a name of the tree: untouched
      {"010.0.0.5.1", AgeCase::kFile, 500, true},
      {"10.0.0.5.040005", AgeCase::kFile, 500, true},
  };
  for (const auto& c : cases) {
    const std::string path = at(std::string("port/") + c.name);
    if (c.kind == AgeCase::kFile && !present(path)) touch(path);
    if (c.kind == AgeCase::kDir) fs::create_directories(path);
    if (c.kind == AgeCase::kLink) fs::create_symlink(outside_ + "/secret", path);
    set_atime(path, kNow - c.age);
  }

  ASSERT_EQ(scan(nullptr), 0);  // a light scan ages nothing
  for (const auto& c : cases) EXPECT_TRUE(present(at(std::string("port/") + c.name))) << c.name;

  List list(rly_list_create());
  ASSERT_EQ(scan(list.get()), 0);
  for (const auto& c : cases) EXPECT_EQ(present(at(std::string("port/") + c.name)), c.kept) << c.name;
  EXPECT_EQ(TempDir::read(outside_ + "/secret"), "keep me");
}

TEST_F(DeleteScan, WithoutProcNeitherCleaningNorAgeing) {
  register_listener(dead_, "0.0.0.0", 8080);
  fs::rename(at("proc"), tmp_.file("proc-aside"));
  set_atime(at("port/0.0.0.0.8080"), kNow - 500);
  const auto before = tree(home_);
  List list(rly_list_create());
  EXPECT_EQ(scan(list.get()), -1);
  EXPECT_EQ(tree(home_), before);

  // R/proc a link to a directory with an ended process's registrations.
  fs::create_directory_symlink(tmp_.file("proc-aside"), at("proc"));
  const auto aside = tree(tmp_.file("proc-aside"));
  auto with_link = before;
  with_link.insert("proc:link");
  EXPECT_EQ(scan(list.get()), -1);
  EXPECT_EQ(tree(home_), with_link);
  EXPECT_EQ(tree(tmp_.file("proc-aside")), aside);
}

TEST_F(DeleteScan, PlantedLinksAreNotFollowed) {
  const std::string d = std::to_string(dead_);
  const int dead2 = ended_pid();
  const int dead3 = ended_pid();
  const std::string d2 = std::to_string(dead2);
  const std::string d3 = std::to_string(dead3);

  // R/proc/pid a link to a directory outside holding a registration name.
  fs::create_directories(outside_ + "/o1");
  touch(outside_ + "/o1/127.0.0.1.8080");
  fs::create_directory_symlink(outside_ + "/o1", at("proc/" + d));
  // R/port/N a link to a directory outside holding the ended pid's name.
  fs::create_directories(outside_ + "/o2");
  touch(outside_ + "/o2/" + d2);
  fs::create_directories(at("proc/" + d2));
  touch(at("proc/" + d2 + "/127.0.0.1.8181"));
  fs::create_directory_symlink(outside_ + "/o2", at("port/127.0.0.1.8181"));
  // R/proc/pid/N a link to a file outside.
  fs::create_directories(at("proc/" + d3));
  fs::create_symlink(outside_ + "/secret", at("proc/" + d3 + "/127.0.0.1.8282"));
  fs::create_directories(at("port/127.0.0.1.8282"));
  touch(at("port/127.0.0.1.8282/" + d3));

  const auto outside_before = tree(outside_);
  List list(rly_list_create());
  ASSERT_EQ(scan(list.get()), 0);
  EXPECT_EQ(tree(outside_), outside_before);
  EXPECT_EQ(TempDir::read(outside_ + "/secret"), "keep me");
  // The links themselves are names in the tree and may go; the registrations
  // reached without a link are cleaned.
  EXPECT_FALSE(present(at("port/127.0.0.1.8282")));
  EXPECT_FALSE(present(at("proc/" + d3)));
  EXPECT_FALSE(present(at("proc/" + d2)));

  // R/port itself a link to a directory outside with old entries and the
  // names of an ended process's registrations.
  fs::remove(at("proc/" + d));
  fs::remove_all(at("port"));
  touch(outside_ + "/10.0.0.5.40000");
  set_atime(outside_ + "/10.0.0.5.40000", kNow - 500);
  touch(outside_ + "/0.0.0.0.8383");
  fs::create_directories(outside_ + "/127.0.0.1.8383");
  touch(outside_ + "/127.0.0.1.8383/" + d);
  fs::create_directory_symlink(outside_, at("port"));
  fs::create_directories(at("proc/" + d));
  touch(at("proc/" + d + "/0.0.0.0.8383"));
  touch(at("proc/" + d + "/127.0.0.1.8383"));
  const auto outside_again = tree(outside_);
  List list2(rly_list_create());
  ASSERT_EQ(scan(list2.get()), 0);
  EXPECT_EQ(tree(outside_), outside_again);
  EXPECT_FALSE(present(at("proc/" + d)));
}

TEST_F(DeleteScan, NamesThatAreNotProcessIdsAreLeftAlone) {
  const std::string d = std::to_string(dead_);
  for (const std::string& name : std::vector<std::string>{"0" + d, d + "x", "99999999999"}) {
    fs::create_directories(at("proc/" + name));
    touch(at("proc/" + name + "/0.0.0.0.8080"));
  }
  touch(at("port/0.0.0.0.8080"));
  const auto before = tree(home_);
  List list(rly_list_create());
  ASSERT_EQ(scan(list.get()), 0);
  EXPECT_EQ(tree(home_), before);
  EXPECT_EQ(list->count, 0);
}

// ---- the thread ------------------------------------------------------------


class DeleteThread : public DeleteScan {
 protected:
  void SetUp() override {
    DeleteScan::SetUp();
    snprintf(en_log_path, sizeof en_log_path, "%s", log_dir_.path().c_str());
    snprintf(en_log_file, sizeof en_log_file, "delete");
    rly::log_reset();
    en_log = 1;
    en_log_level = 1;
  }
  void TearDown() override {
    en_log = 0;
    en_log_level = 0;
    rly::log_reset();
  }
  std::string log() const {
    std::string all;
    for (const auto& e : fs::directory_iterator(log_dir_.path())) all += TempDir::read(e.path().string());
    return all;
  }
  TempDir log_dir_;
};

bool wait_for(const std::function<bool()>& cond, int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

TEST_F(DeleteThread, CleansWithinSecondsAndStopsOnTheSignal) {
  install_stop_handler(nothing);
  register_listener(dead_, "0.0.0.0", 8080);
  register_listener(alive_, "0.0.0.0", 9090);
  volatile int state = 0;
  std::atomic<bool> done{false};
  std::atomic<int> result{-7};
  std::thread t([&] {
    result = rly_delete_serve(home_.c_str(), &state);
    done = true;
  });
  EXPECT_TRUE(wait_for([&] { return !present(at("port/0.0.0.0.8080")); }, 5000));
  EXPECT_FALSE(present(at("port/127.0.0.1.8080")));
  EXPECT_TRUE(present(at("port/0.0.0.0.9090")));

  // A signal without a stop request only resumes the sleep.
  pthread_kill(t.native_handle(), kStopSignal);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(done);

  install_stop_handler(tav_delete_stop);
  __atomic_store_n(&state, 4, __ATOMIC_RELEASE);
  for (int i = 0; i < 100 && !done; ++i) {
    pthread_kill(t.native_handle(), kStopSignal);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  t.join();
  EXPECT_EQ(result, 0);
  const std::string text = log();
  const auto start = text.find("delete thread start.\n");
  const auto noted = text.find("delete thread stop signal receved.\n");
  const auto stopped = text.find("delete thread stop.\n");
  ASSERT_NE(start, std::string::npos) << text;
  ASSERT_NE(noted, std::string::npos) << text;
  ASSERT_NE(stopped, std::string::npos);
  EXPECT_LT(start, noted);
  EXPECT_LT(noted, stopped);
  EXPECT_TRUE(std::regex_search(text, std::regex(" T A[0-9]{4} delete thread start\\.\n")));
  EXPECT_NE(text.find("delete thread name(" + at("port/127.0.0.1.8080/" + std::to_string(dead_)) +
                      ") unlink.\n"),
            std::string::npos);
}

TEST_F(DeleteThread, FullScanLogLines) {
  register_listener(dead_, "0.0.0.0", 8080);
  register_listener(alive_, "0.0.0.0", 9090);
  touch(at("port/10.0.0.5.40000"));
  set_atime(at("port/10.0.0.5.40000"), kNow - 30);
  List list(rly_list_create());
  ASSERT_EQ(scan(list.get()), 0);
  const std::string text = log();
  const std::string d = std::to_string(dead_);
  for (const std::string& line : std::vector<std::string>{"delete thread [proc] name(" + at("proc/" + d + "/0.0.0.0.8080") + ") unlink.\n",
        "delete thread [proc] name(" + at("proc/" + d) + ") add.\n",
        std::string("delete thread [conn] name(0.0.0.0.9090) add.\n"),
        "file(" + at("port/10.0.0.5.40000") + ") now(1700000000) atime(1699999970)",
        "delete thread [conn] name(" + at("port/10.0.0.5.40000") + ") unlink.\n",
        "rmdir(" + at("proc/" + d) + ") (0:Success).\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
