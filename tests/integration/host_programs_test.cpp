// Programs of the system under each probe build: shell pipelines, an HTTP
// server answering an HTTP client (both preloaded), and a JVM. Whatever they
// print, return or transfer must be what they do without the probe.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "build_param.h"
#include "probe_run.h"

namespace qel::test {
namespace {

using namespace std::chrono_literals;

// About 2.6 MB of lowercase text lines.
std::string text_lines() {
  std::string s;
  char line[96];
  for (int i = 0; i < 40000; ++i) {
    const int n = snprintf(line, sizeof line, "line %06d the quick brown fox jumps over the lazy dog %d\n", i,
                           (i * 7919) % 10007);
    s.append(line, static_cast<size_t>(n));
  }
  return s;
}

std::string binary_bytes(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  uint64_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// --- shell pipelines ----------------------------------------------------------

struct ShellCase {
  const char* name;
  const char* script;  // $WORK: the sandbox directory; $BIG: the text file
  int exit_code;
  bool stdin_big;  // the text file on standard input
};

const ShellCase kShellCases[] = {
    {"SortHeadMd5", "seq 1 20000 | sort -r | head -c 100000 | md5sum", 0, false},
    {"UppercaseCount", "cat \"$BIG\" | tr a-z A-Z | wc -c; tr a-z A-Z < \"$BIG\" | md5sum", 0, false},
    {"HereStringAndHereDoc",
     "tr a-z A-Z <<< 'hello, here-string'\n"
     "while read -r a b; do echo \"$b $a\"; done <<'END'\none two\nthree four\nEND\n",
     0, false},
    {"ProcessSubstitution",
     "diff <(seq 1 3000) <(seq 1 3000 | sed 's/^1500$/fifteen hundred/'); echo \"diff status $?\"\n"
     "paste -d, <(seq 1 5) <(seq 5 -1 1)\n"
     "wc -l < <(cat \"$BIG\")",
     0, false},
    {"StdinThroughTee", "tee \"$WORK/copy\" | md5sum; cmp \"$WORK/copy\" \"$BIG\" && echo same", 0, true},
    {"DescriptorRedirections",
     "exec 3>\"$WORK/fd3\"; echo to-three >&3; exec 3>&-\n"
     "{ echo out; echo err >&2; } 2>&1 | sort\n"
     "exec 4<\"$WORK/fd3\"; read -r line <&4; exec 4<&-; echo \"read: $line\"\n"
     "echo to-stderr >&2",
     0, false},
    {"BackgroundJobs",
     "for i in 1 2 3 4; do (seq 1 $((i * 5000)) | sort -n | md5sum > \"$WORK/job$i\") & done; wait\n"
     "cat \"$WORK\"/job1 \"$WORK\"/job2 \"$WORK\"/job3 \"$WORK\"/job4",
     0, false},
    {"CompressRoundTrip", "head -c 2000000 \"$BIG\" | gzip -1 | gunzip | md5sum", 0, false},
    {"ExitStatuses",
     "false | true; echo \"pipestatus ${PIPESTATUS[*]}\"; (exit 3); echo \"subshell $?\"\n"
     "ls /nonexistent-qel-dir; echo \"ls status $?\"; exit 5",
     5, false},
};

void PrintTo(const ShellCase& c, std::ostream* os) { *os << c.name; }

class ShellPipelineTest : public testing::TestWithParam<std::tuple<std::string, ShellCase>> {};

TEST_P(ShellPipelineTest, OutputAndStatusUnchanged) {
  const auto& [build, c] = GetParam();
  ProbeSandbox box(build);
  const std::string big_text = text_lines();
  const std::string big = box.write_file("big.txt", big_text);
  RunOptions opts{.timeout = 30s, .env = {{"WORK", box.dir()}, {"BIG", big}, {"LC_ALL", "C"}}};
  if (c.stdin_big) opts.stdin_text = big_text;
  const std::vector<std::string> argv{"bash", "-c", c.script};

  const RunResult plain = box.run_plain(argv, opts);
  ASSERT_FALSE(plain.timed_out);
  ASSERT_TRUE(plain.exited) << plain.describe();
  ASSERT_EQ(plain.exit_code, c.exit_code) << plain.describe();
  ASSERT_FALSE(plain.out.empty());

  const RunResult probed = box.run(argv, opts);
  ASSERT_FALSE(probed.timed_out) << build;
  ASSERT_TRUE(probed.exited) << probed.describe();
  EXPECT_EQ(probed.exit_code, plain.exit_code);
  EXPECT_EQ(probed.out, plain.out);
  EXPECT_EQ(probed.err, plain.err);
}

INSTANTIATE_TEST_SUITE_P(Builds, ShellPipelineTest,
                         testing::Combine(testing::ValuesIn(probe_builds()), testing::ValuesIn(kShellCases)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::get<1>(info.param).name;
                         });

// --- HTTP server and client ---------------------------------------------------

// A threading HTTP server of the Python standard library on a port the kernel
// picks; prints the port, then serves the directory given as argument. It
// ends itself after two minutes whatever happens to the test.
constexpr const char* kServer = R"(import functools, http.server, signal, sys
signal.alarm(120)
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
print(server.server_address[1], flush=True)
server.serve_forever()
)";

class HttpTest : public ProbeBuildTest {};

TEST_P(HttpTest, ServerAndClientTransferFilesUnchanged) {
  if (!on_path("python3") || !on_path("curl")) GTEST_SKIP() << "python3 or curl is not on PATH";
  const std::string www = box->path("www");
  std::filesystem::create_directories(www + "/sub");
  const std::vector<std::pair<std::string, std::string>> files{
      {"data.bin", binary_bytes((1 << 20) + 123, 0x9e3779b97f4a7c15ULL)},
      {"index.txt", text_lines().substr(0, 70000)},
      {"empty.txt", ""},
      {"sub/one-byte", "\n"},
  };
  for (auto& [name, content] : files) box->write_file("www/" + name, content);

  Background& server = box->start({"python3", "-c", kServer, www});
  const std::string port = server.wait_first_line(20s);
  ASSERT_FALSE(port.empty()) << "server did not start: " << server.err();
  const std::string base = "http://127.0.0.1:" + port + "/";
  // The client with the probe. Not in ASan builds: curl hangs at start (in
  // setlocale) under the sanitizer's runtime alone, probe or not, so there
  // only the server has the probe.
  auto client = [&](const std::vector<std::string>& argv) {
#if defined(__SANITIZE_ADDRESS__)
    return box->run_plain(argv, {.timeout = 40s});
#else
    return box->run(argv, {.timeout = 40s});
#endif
  };

  // Every file in one client run, written to files of the sandbox.
  std::vector<std::string> curl{"curl", "-sS", "--noproxy", "*", "--max-time", "30"};
  for (size_t i = 0; i < files.size(); ++i) {
    curl.insert(curl.end(), {"-o", box->path("got" + std::to_string(i)), base + files[i].first});
  }
  const RunResult fetched = client(curl);
  ASSERT_TRUE(fetched.ok()) << fetched.describe();
  for (size_t i = 0; i < files.size(); ++i)
    EXPECT_TRUE(read_file(box->path("got" + std::to_string(i))) == files[i].second) << files[i].first << " differs";

  // The large file four times over parallel connections.
  std::vector<std::string> parallel{"curl", "-sS", "-Z", "--noproxy", "*", "--max-time", "30"};
  for (int i = 0; i < 4; ++i) parallel.insert(parallel.end(), {"-o", box->path("par" + std::to_string(i)), base + "data.bin"});
  const RunResult par = client(parallel);
  ASSERT_TRUE(par.ok()) << par.describe();
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(read_file(box->path("par" + std::to_string(i))) == files[0].second) << i;

  // A missing file is still a 404, and the generated listing is the same
  // bytes for a client with and without the probe.
  const std::vector<std::string> status{"curl", "-sS", "--noproxy", "*", "--max-time", "30", "-o", "/dev/null",
                                        "-w", "%{http_code}", base + "missing"};
  const RunResult missing = client(status);
  ASSERT_TRUE(missing.ok()) << missing.describe();
  EXPECT_EQ(missing.out, "404");
  const std::vector<std::string> listing{"curl", "-sS", "--noproxy", "*", "--max-time", "30", base};
  const RunResult listed = client(listing);
  const RunResult listed_plain = box->run_plain(listing, {.timeout = 40s});
  ASSERT_TRUE(listed.ok()) << listed.describe();
  EXPECT_NE(listed.out.find("data.bin"), std::string::npos);
  EXPECT_EQ(listed.out, listed_plain.out);

  ASSERT_TRUE(server.running()) << "server ended early: " << server.err();
  const RunResult stopped = server.stop(SIGTERM);
  EXPECT_FALSE(stopped.timed_out) << "server ignored SIGTERM";
}

QEL_FOR_ALL_BUILDS(HttpTest);

// --- JVM ------------------------------------------------------------------------

class JavaTest : public ProbeBuildTest {};

TEST_P(JavaTest, VersionOutputAndStatusUnchanged) {
  if (!on_path("java")) GTEST_SKIP() << "java is not on PATH";
  const RunResult plain = box->run_plain({"java", "-version"}, {.timeout = 60s});
  ASSERT_TRUE(plain.ok()) << plain.describe();
  ASSERT_NE(plain.err.find("version"), std::string::npos) << plain.err;
  // The leak check at the JVM's exit crashes in the JVM (its tracer trips on
  // the JVM's own protected pages), probe or not: off for the JVM.
  const RunResult probed = box->run({"java", "-version"}, {.timeout = 60s, .env = {without_leak_check()}});
  EXPECT_TRUE(probed.ok()) << probed.describe();
  EXPECT_EQ(probed.err, plain.err);
  EXPECT_EQ(probed.out, plain.out);
}

QEL_FOR_ALL_BUILDS(JavaTest);

}  // namespace
}  // namespace qel::test
