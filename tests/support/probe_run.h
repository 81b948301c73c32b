// Running real programs with one build of the probe preloaded.
//
// A ProbeSandbox owns everything one test leaves behind: a temporary directory
// (with the settings file and the check home inside it), a range of System V
// keys that no other sandbox of any process uses at the same time, and the
// background processes it started. Its destructor removes all of them, whether
// the test passed or not.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qel::test {

// The probe builds, in a fixed order: "jeus", "weblogic", "tmax", "webtob".
const std::vector<std::string>& probe_builds();

// Absolute path of a build's preloadable library.
std::string probe_library(const std::string& build);

// The LD_PRELOAD value that loads `library` into a program. In sanitizer
// builds the library needs the sanitizer's runtime, which must be the first
// library of the process: it comes first.
std::string preload_value(const std::string& library);

// ASAN_OPTIONS as the tests have them, with the leak check at exit turned off:
// for programs whose leaks the checker cannot judge (say why where used). No
// effect outside ASan builds.
std::pair<std::string, std::string> without_leak_check();

struct RunOptions {
  std::string stdin_text;                                   // fed to the program's standard input
  std::chrono::milliseconds timeout{std::chrono::seconds(60)};  // then the process group is killed
  std::vector<std::pair<std::string, std::string>> env;     // added to (or replacing in) the environment
  std::string cwd;                                          // empty: the sandbox directory
};

struct RunResult {
  bool exited = false;   // ended through exit()
  int exit_code = -1;    // its status when `exited`
  int term_signal = 0;   // the signal that ended it otherwise
  bool timed_out = false;
  std::string out;
  std::string err;

  bool ok() const { return exited && exit_code == 0 && !timed_out; }
  // One line for failure messages: how it ended and the start of stderr.
  std::string describe() const;
};

// A program running in the background, in a process group of its own.
class Background {
 public:
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Everything the program has written so far.
  std::string out() const;
  std::string err() const;
  // Waits until stdout holds a complete first line and returns it (without the
  // newline); empty when the program ended or the time ran out first.
  std::string wait_first_line(std::chrono::milliseconds limit);
  // Sends `sig` to the process group, waits up to `grace`, then kills the
  // group. Returns how the program ended and what it wrote.
  RunResult stop(int sig, std::chrono::milliseconds grace = std::chrono::seconds(5));
  // Waits up to `limit` for the program to end by itself, then kills it.
  RunResult wait(std::chrono::milliseconds limit) { return stop(0, limit); }

 private:
  friend class ProbeSandbox;
  Background(pid_t pid, std::string out_path, std::string err_path)
      : pid_(pid), out_path_(std::move(out_path)), err_path_(std::move(err_path)) {}
  void finish();  // kills what is left of the group, reaps the program

  pid_t pid_;
  std::string out_path_;
  std::string err_path_;
  bool done_ = false;
  RunResult result_;
};

class ProbeSandbox {
 public:
  // Number of System V keys reserved for each sandbox.
  static constexpr int kKeyCount = 16;

  explicit ProbeSandbox(std::string build);
  ~ProbeSandbox();
  ProbeSandbox(const ProbeSandbox&) = delete;
  ProbeSandbox& operator=(const ProbeSandbox&) = delete;

  const std::string& build() const { return build_; }
  std::string library() const { return probe_library(build_); }
  const std::string& dir() const { return dir_; }
  const std::string& check_home() const { return check_home_; }
  const std::string& config_file() const { return config_; }
  const std::string& log_dir() const { return log_dir_; }
  // A path inside the sandbox directory.
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  // The key range [key_base(), key_base() + kKeyCount).
  key_t key_base() const { return key_base_; }
  key_t key(int slot) const { return key_base_ + slot; }

  // Appends "name = value" to the settings file.
  void add_setting(const std::string& name, const std::string& value);
  std::string settings_text() const;

  // Writes a file inside the sandbox; returns its path.
  std::string write_file(const std::string& name, const std::string& content) const;

  // Runs a program to its end with the probe preloaded, or without it.
  RunResult run(const std::vector<std::string>& argv, const RunOptions& opts = {});
  RunResult run_plain(const std::vector<std::string>& argv, const RunOptions& opts = {});

  // Starts a program in the background; the sandbox kills it at the latest
  // when it is destroyed.
  Background& start(const std::vector<std::string>& argv, const RunOptions& opts = {},
                    bool with_probe = true);

 private:
  RunResult run_with(const std::vector<std::string>& argv, const RunOptions& opts, bool with_probe);
  pid_t spawn(const std::vector<std::string>& argv, const RunOptions& opts, bool with_probe,
              const std::string& out_path, const std::string& err_path);
  std::string next_name(const char* what);
  void write_settings() const;
  void remove_ipc() const;

  std::string build_;
  std::string dir_;
  std::string check_home_;
  std::string log_dir_;
  std::string config_;
  key_t key_base_ = 0;
  std::vector<std::pair<std::string, std::string>> settings_;
  std::vector<std::unique_ptr<Background>> background_;
  int seq_ = 0;
};

// The name under which a build reads a setting given by its Java-build name
// ("qel.log" is "QEL_LOG" for Tmax and WebtoB).
std::string build_setting_name(const std::string& build, const std::string& name);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// The probe's process logs (TavQEL.LOG.*) in `dir`, one after the other.
std::string probe_logs(const std::string& dir);

// How often `what` occurs in `text`.
size_t occurrences(const std::string& text, const std::string& what);

// Whether an executable of that name is in one of the PATH directories.
bool on_path(const std::string& program);

// Bytes as lower-case hex digits, two per byte.
std::string hex_of(const std::string& bytes);

}  // namespace qel::test
