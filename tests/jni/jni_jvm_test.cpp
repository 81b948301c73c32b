// The adapter natives of the Java builds inside a real JVM. The test class
// GTUIDCheck loads the probe with System.load (preloaded too where a case
// needs the interposed calls), drives one case and prints what Java saw; the
// probe's log shows what the library saw.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "jvm_check.h"
#include "probe_run.h"
#include "sockaddrs.h"

namespace {

using qel::test::occurrences;
using qel::test::ProbeSandbox;
using qel::test::RunResult;
namespace jvm = qel::test::jvm;

// The log lines that contain `what`.
std::vector<std::string> lines_with(const std::string& text, const std::string& what) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.find(what) != std::string::npos) out.push_back(line);
  return out;
}

// The text between "<name>(" and the next ")" of `line`.
std::string field(const std::string& line, const std::string& name) {
  const size_t at = line.find(name + "(");
  if (at == std::string::npos) return {};
  const size_t from = at + name.size() + 1;
  return line.substr(from, line.find(')', from) - from);
}

class AdapterJvm : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    box.add_setting("qel.log", "ON");
    box.add_setting("qel.log.level", "2");
  }
  RunResult run(const std::string& which) { return jvm::run_check(box, "GTUIDCheck", which, log); }
  static void expect_clean(const RunResult& r) { jvm::expect_clean(r); }

  ProbeSandbox box{GetParam()};
  std::string log;
};

// Native changes are visible in Java (also inside rGTUID), and Java's writes
// are what the natives act on.
TEST_P(AdapterJvm, WindowIsTheThreadsOwnGtuid) {
  const RunResult r = run("window");
  expect_clean(r);
  jvm::expect_printed(r.out, {"direct=true", "capacity=96", "marker=020a240f", "flag=1",
                              "puts=1", "flagAtPut=1", "flagAfterEnd=0",
                              "digitsAfterEnd=4242424242424242424242", "remIdle=0",
                              "remActive=75"});

  const auto print = lines_with(log, "printGTUID.");
  ASSERT_EQ(print.size(), 1u) << log;
  EXPECT_FALSE(field(print[0], "thr->gtuid").empty()) << print[0];
  EXPECT_EQ(field(print[0], "thr->gtuid"), field(print[0], "addr")) << print[0];

  // Java cleared the flag: the first procEND ends nothing. Java then wrote a
  // transaction of its own (0x42 = digits "66"): the second ends exactly it.
  EXPECT_EQ(occurrences(log, "procEND."), 2u) << log;
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
  EXPECT_EQ(occurrences(log, "gtuid(6666666666666666666666 00000 00000) (0x00) clear."), 1u) << log;
}

// Run without the Packet class on the class path, so that initMID's lookup
// fails.
TEST_P(AdapterJvm, ExceptionsOfCallbacksAndLookupsAreCleared) {
  const RunResult r = jvm::run_check(box, "GTUIDCheck", "exception", log, {}, false, JAVA_BARE_CLASSES);
  expect_clean(r);
  jvm::expect_printed(r.out, {"puts=2", "continued=true"});
  EXPECT_EQ(occurrences(log, "FindClass(GETBYTE_CLASS) error !"), 1u) << log;
}

TEST_P(AdapterJvm, CallbackReachingTheNativesAgainIsNotCalledBack) {
  const RunResult r = run("recurse");
  expect_clean(r);
  jvm::expect_printed(r.out, {"puts=1"});
  EXPECT_EQ(occurrences(log, "createGTUID."), 2u) << log;  // outer and nested
  EXPECT_EQ(occurrences(log, "jput."), 1u) << log;
}

TEST_P(AdapterJvm, ThreadWithoutThrStartGetsNoCallbacks) {
  const RunResult r = run("unbound");
  expect_clean(r);
  jvm::expect_printed(r.out, {"puts=0"});
  EXPECT_EQ(occurrences(log, "jput."), 0u) << log;
  // The natives still did their work on the thread's own record.
  EXPECT_EQ(occurrences(log, "createGTUID."), 1u) << log;
  EXPECT_EQ(occurrences(log, "procSTART."), 1u) << log;
  EXPECT_EQ(occurrences(log, "setCREATEGTUID (0) (0)"), 1u) << log;
}

TEST_P(AdapterJvm, NullAndShortArgumentsAreRefused) {
  const RunResult r = run("nulls");
  expect_clean(r);
  EXPECT_EQ(occurrences(log, "setSYSTEM. info too short (-1)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setSYSTEM. info too short (65)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "obj(0x(nil)) addr(0x(nil))"), 1u) << log;
  EXPECT_EQ(occurrences(log, "addr(0x(nil))"), 2u) << log;  // a heap buffer has no address

  // The refused arrays left the process name alone; the full one set it.
  const auto created = lines_with(log, "createGTUID.");
  const auto ended = lines_with(log, "procEND.");
  ASSERT_EQ(created.size(), 1u) << log;
  ASSERT_EQ(ended.size(), 1u) << log;
  EXPECT_EQ(created[0].find(".proc-adapter."), std::string::npos) << created[0];
  EXPECT_NE(ended[0].find(".proc-adapter."), std::string::npos) << ended[0];
}

TEST_P(AdapterJvm, ExcludedThreadStartsNothingUntilRestored) {
  const RunResult r = run("exclude");
  expect_clean(r);
  jvm::expect_printed(r.out, {"flagExcluded=0", "flagIncluded=1", "puts=1"});
  EXPECT_EQ(occurrences(log, "setBL(1)"), 1u) << log;
  EXPECT_EQ(occurrences(log, "setBL(0)"), 1u) << log;
}

// What a plain listener received on each of `n` connections, read to their
// end in the order they were accepted.
class Listener {
 public:
  explicit Listener(int n) {
    if (listen(socket_.fd, 4) == 0) port_ = socket_.port;
    reader_ = std::thread([this, n] {
      std::vector<int> conns;
      for (int i = 0; i < n; ++i) conns.push_back(accept(socket_.fd, nullptr, nullptr));
      for (int c : conns) {
        std::string got;
        char buf[4096];
        ssize_t k;
        while (c >= 0 && (k = read(c, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(k));
        received_.push_back(got);
        if (c >= 0) close(c);
      }
    });
  }
  ~Listener() {
    shutdown(socket_.fd, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
  }
  int port() const { return port_; }
  std::vector<std::string> received() {
    if (reader_.joinable()) reader_.join();
    return received_;
  }

 private:
  qel::test::Bound socket_{SOCK_STREAM};
  int port_ = -1;
  std::thread reader_;
  std::vector<std::string> received_;
};

TEST_P(AdapterJvm, GtuidJavaWritesGoesOutWithTheNextWrite) {
  Listener peer(3);
  ASSERT_GT(peer.port(), 0);
  box.add_setting("qel.ip.information", "127.0.0.1:" + std::to_string(peer.port()) + ":SERVICE");
  const RunResult r = jvm::run_check(box, "GTUIDCheck", "framed", log,
                                     {std::to_string(peer.port())}, true);
  expect_clean(r);
  // One callback per outer write; the write inside the callback made none.
  jvm::expect_printed(r.out, {"gets=2"});
  const auto got = peer.received();
  ASSERT_EQ(got.size(), 3u);
  struct Want {
    const char* payload;
    char flag;
    uint8_t id_from;  // first of the 11 identifier bytes Java wrote
  } want[] = {{"first", 1, 15}, {"outer", 0, 0}, {"inner", 1, 35}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(want[i].payload);
    ASSERT_EQ(got[i].size(), 96u + 5u);
    EXPECT_EQ(got[i].substr(0, 4), "\x02\x0a\x24\x0f");
    EXPECT_EQ(got[i][4], want[i].flag);
    for (size_t b = 0; want[i].id_from && b < 11; ++b)
      EXPECT_EQ(static_cast<uint8_t>(got[i][5 + b]), want[i].id_from + b);
    EXPECT_EQ(got[i].substr(96), want[i].payload);
  }
}

// The messages on the type-1 queue, as start and send letters ("ES": end
// on the send side), in queue mode.
class QueuedAdapterJvm : public AdapterJvm {
 protected:
  void SetUp() override {
    AdapterJvm::SetUp();
    box.add_setting("qel.gtuid.send.type", "QUEUE");
    q = msgget(box.key(1), IPC_CREAT | 0600);  // removed with the sandbox
    ASSERT_GE(q, 0) << strerror(errno);
  }
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const mzp1_t& z : jvm::take_records(q)) out.push_back(jvm::letters(z));
    return out;
  }
  int q = -1;
};

// However often procEND is called, the end message goes out once. Half mode
// reports only the send side: the start is not queued.
TEST_P(QueuedAdapterJvm, ProcEndTwiceSendsOneEndMessage) {
  const RunResult r = run("procend");
  expect_clean(r);
  jvm::expect_printed(r.out, {"puts=1"});
  EXPECT_EQ(occurrences(log, "procEND."), 2u) << log;
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
  EXPECT_EQ(events(), std::vector<std::string>{"ES"});
}

// sendEND without code or hop sends nothing and keeps the transaction; with
// a code that Java wrote into the window it ends it.
TEST_P(QueuedAdapterJvm, SendEndNeedsCodeOrHop) {
  const RunResult r = run("sendend");
  expect_clean(r);
  jvm::expect_printed(r.out, {"flagWithoutCode=1", "flagWithCode=0"});
  EXPECT_EQ(occurrences(log, "sendEND : wflag(1)"), 2u) << log;
  EXPECT_EQ(occurrences(log, "clear."), 1u) << log;
  EXPECT_EQ(events(), std::vector<std::string>{"ES"});
}

INSTANTIATE_TEST_SUITE_P(Builds, AdapterJvm, testing::Values("jeus", "weblogic"),
                         [](const auto& info) { return info.param; });
INSTANTIATE_TEST_SUITE_P(Builds, QueuedAdapterJvm, testing::Values("jeus", "weblogic"),
                         [](const auto& info) { return info.param; });

// Threads of this process whose name is `name`.
size_t threads_named(const std::string& name) {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string comm = qel::test::read_file(std::string("/proc/self/task/") + e->d_name + "/comm");
      n += comm == name + "\n";
    }
    closedir(d);
  }
  return n;
}

// The first JNI_OnLoad starts the two sender threads (which wait for
// start-up); a second one in the same process returns the version and
// starts nothing. The library stays loaded: its threads run for the life of
// the process.
TEST(AdapterEntry, SecondJniOnLoadStartsNoThread) {
  for (const std::string build : {"jeus", "weblogic"}) {
    void* lib = dlopen(qel::test::probe_library(build).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using OnLoad = int (*)(void*, void*);
    auto on_load = reinterpret_cast<OnLoad>(dlsym(lib, "JNI_OnLoad"));
    ASSERT_NE(on_load, nullptr) << build;
    const size_t gsend = threads_named("qel-gsend"), wsend = threads_named("qel-wsend");
    int vm1 = 0, vm2 = 0;  // never dereferenced by the entry point
    EXPECT_EQ(on_load(&vm1, nullptr), 0x00010002) << build;
    EXPECT_EQ(threads_named("qel-gsend"), gsend + 1) << build;
    EXPECT_EQ(threads_named("qel-wsend"), wsend + 1) << build;
    EXPECT_EQ(on_load(&vm2, nullptr), 0x00010002) << build;
    EXPECT_EQ(threads_named("qel-gsend"), gsend + 1) << build;
    EXPECT_EQ(threads_named("qel-wsend"), wsend + 1) << build;
  }
}

}  // namespace
