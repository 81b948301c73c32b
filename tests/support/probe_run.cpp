#include "probe_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

#ifndef PROBE_LIB_DIR
#error "PROBE_LIB_DIR must name the directory of the probe libraries"
#endif

namespace qel::test {

namespace {

using Clock = std::chrono::steady_clock;

// Variables never passed on from the test's own environment: the probe
// selection is the runner's business, and no program may be sent through a
// proxy (every address the tests use is a loopback one).
bool dropped_variable(const std::string& name) {
  static const char* const kDropped[] = {"LD_PRELOAD", "TAV_CONFIG_FILE", "http_proxy", "https_proxy",
                                         "HTTP_PROXY", "HTTPS_PROXY",     "ALL_PROXY",  "all_proxy",
                                         "ftp_proxy",  "FTP_PROXY"};
  for (const char* d : kDropped)
    if (name == d) return true;
  return false;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Polls until the child has ended or `deadline` passes, without reaping it:
// an unreaped child keeps its process-group id from being reused, so the
// group can still be signalled safely afterwards.
bool wait_ended(pid_t pid, Clock::time_point deadline) {
  auto pause = std::chrono::microseconds(500);
  for (;;) {
    siginfo_t info{};
    const int r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    if (r == 0 && info.si_pid == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // not our child: nothing to wait for
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
}

// Kills whatever is left in the child's process group (the programs a shell
// pipeline or a server left behind), then reaps the child.
int reap(pid_t pid) {
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

void fill_status(RunResult& r, int status) {
  if (WIFEXITED(status)) {
    r.exited = true;
    r.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.term_signal = WTERMSIG(status);
  }
}

std::atomic<unsigned> sandbox_counter{0};

}  // namespace

const std::vector<std::string>& probe_builds() {
  static const std::vector<std::string> builds{"jeus", "weblogic", "tmax", "webtob"};
  return builds;
}

std::string probe_library(const std::string& build) {
  return std::string(PROBE_LIB_DIR) + "/libprobe-" + build + ".so";
}

std::string preload_value(const std::string& library) {
  const std::string runtime = QEL_SANITIZER_RUNTIME;
  return runtime.empty() ? library : runtime + " " + library;
}

std::pair<std::string, std::string> without_leak_check() {
  const char* now = std::getenv("ASAN_OPTIONS");
  std::string value = now && *now ? std::string(now) + ":" : std::string();
  return {"ASAN_OPTIONS", value + "detect_leaks=0"};
}

std::string probe_logs(const std::string& dir) {
  std::string text;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    if (e.path().filename().string().rfind("TavQEL.LOG.", 0) == 0) text += read_file(e.path());
  return text;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); !what.empty() && at != std::string::npos; at = text.find(what, at + 1))
    ++n;
  return n;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string hex_of(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

bool on_path(const std::string& program) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path ? path : "");
  for (std::string d; std::getline(dirs, d, ':');)
    if (!d.empty() && access((d + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

std::string RunResult::describe() const {
  std::ostringstream s;
  if (timed_out) s << "timed out; ";
  if (exited)
    s << "exit " << exit_code;
  else if (term_signal)
    s << "signal " << term_signal << " (" << strsignal(term_signal) << ")";
  else
    s << "not ended";
  s << "; stderr: " << err.substr(0, 2000);
  return s.str();
}

// --- Background -------------------------------------------------------------

Background::~Background() {
  if (!done_) stop(SIGKILL, std::chrono::seconds(5));
}

void Background::finish() {
  done_ = true;
  fill_status(result_, reap(pid_));
}

bool Background::running() {
  if (done_) return false;
  if (wait_ended(pid_, Clock::now())) {
    finish();
    return false;
  }
  return true;
}

std::string Background::out() const { return read_file(out_path_); }
std::string Background::err() const { return read_file(err_path_); }

std::string Background::wait_first_line(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const std::string text = out();
    const auto nl = text.find('\n');
    if (nl != std::string::npos) return text.substr(0, nl);
    if (!running() || Clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

RunResult Background::stop(int sig, std::chrono::milliseconds grace) {
  if (!done_) {
    kill(-pid_, sig);
    if (!wait_ended(pid_, Clock::now() + grace)) result_.timed_out = true;
    finish();
  }
  result_.out = out();
  result_.err = err();
  return result_;
}

// --- ProbeSandbox -----------------------------------------------------------

ProbeSandbox::ProbeSandbox(std::string build) : build_(std::move(build)) {
  char tmpl[] = "/tmp/qel-it-XXXXXX";
  if (!mkdtemp(tmpl)) fail("mkdtemp");
  dir_ = tmpl;
  check_home_ = dir_ + "/check";
  log_dir_ = dir_ + "/log";
  config_ = dir_ + "/qel.conf";
  if (mkdir(check_home_.c_str(), 0755) != 0) fail("mkdir " + check_home_);
  if (mkdir(log_dir_.c_str(), 0755) != 0) fail("mkdir " + log_dir_);

  // Parallel test processes differ in their pid; sandboxes of one process in
  // the counter. Each sandbox owns kKeyCount consecutive keys. The key holds
  // 16 bits of the pid: with fewer, a test started while another still runs
  // could get the same keys once the pids moved on by that much, and its
  // clean-up below would remove the other test's queues.
  const unsigned n = sandbox_counter.fetch_add(1) & 0xf;
  key_base_ = static_cast<key_t>(0x51000000u | ((static_cast<unsigned>(getpid()) & 0xffffu) << 8) | (n << 4));
  // A run killed before its clean-up may have left objects with these keys.
  remove_ipc();

  char hex[16];
  settings_.emplace_back("qel.log.path", log_dir_);
  settings_.emplace_back("qel.check.home", check_home_);
  snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(key(1)));
  settings_.emplace_back("qel.gtuid.queue.name", hex);
  snprintf(hex, sizeof hex, "0x%08x", static_cast<unsigned>(key(2)));
  settings_.emplace_back("qel.log.shm.key", hex);
  write_settings();
}

ProbeSandbox::~ProbeSandbox() {
  for (auto& b : background_) b->stop(SIGKILL, std::chrono::seconds(5));
  background_.clear();
  remove_ipc();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void ProbeSandbox::remove_ipc() const {
  for (int i = 0; i < kKeyCount; ++i) {
    const key_t k = key(i);
    if (int id = msgget(k, 0); id >= 0) msgctl(id, IPC_RMID, nullptr);
    if (int id = shmget(k, 0, 0); id >= 0) shmctl(id, IPC_RMID, nullptr);
    if (int id = semget(k, 0, 0); id >= 0) semctl(id, 0, IPC_RMID);
  }
}

void ProbeSandbox::add_setting(const std::string& name, const std::string& value) {
  auto it = std::find_if(settings_.begin(), settings_.end(), [&](auto& s) { return s.first == name; });
  if (it != settings_.end())
    it->second = value;
  else
    settings_.emplace_back(name, value);
  write_settings();
}

// Tmax and WebtoB processes read the same settings under upper-case names;
// names without a counterpart are written as given.
std::string build_setting_name(const std::string& build, const std::string& name) {
  if (build != "tmax" && build != "webtob") return name;
  static const std::map<std::string, std::string> upper = {
      {"qel.log", "QEL_LOG"},
      {"qel.log.level", "QEL_LOG_LEVEL"},
      {"qel.log.size", "QEL_LOG_SIZE"},
      {"qel.log.path", "QEL_LOG_PATH"},
      {"qel.start.log.path", "QEL_START_LOG_PATH"},
      {"qel.check.mode", "QEL_CHECK_MODE"},
      {"qel.check.udp.port", "QEL_CHECK_UDP_PORT"},
      {"qel.check.home", "QEL_CHECK_HOME"},
      {"qel.mode", "QEL_MODE"},
      {"qel.gtuid.bmt.mode", "QEL_GTUID_BMT_MODE"},
      {"qel.system.code", "TAV_NODE_SYSTEM_CODE"},
      {"qel.dbms.code", "TAV_NODE_DBMS_CODE"},
      {"qel.node.product.code", "TAV_NODE_PRODUCT_CODE"},
      {"qel.domain.name", "TAV_NODE_DOMAIN_NAME"},
      {"qel.node.name", "QEL_NODE_NAME"},
      {"qel.node.id", "QEL_NODE_ID"},
      {"qel.dbms.wait.gtuid", "QEL_DBMS_WAIT_GTUID"},
      {"qel.ip.keep.mode", "QEL_IP_KEEP_MODE"},
      {"qel.gtuid.create.mode", "QEL_GTUID_CREATE_MODE"},
      {"qel.gtuid.create.keep", "QEL_GTUID_CREATE_KEEP"},
      {"qel.gtuid.clear.end", "QEL_GTUID_CLEAR_END"},
      {"qel.server.info.mode", "QEL_SERVER_INFO_MODE"},
      {"qel.gtuid.queue.count", "TAV_RLY_GTUID_QUEUE_COUNT"},
      {"qel.gtuid.queue.name", "TAV_RLY_GTUID_QUEUE_NAME"},
      {"qel.tcode.queue.count", "TAV_RLY_TCODE_QUEUE_COUNT"},
      {"qel.tcode.queue.name", "TAV_RLY_TCODE_QUEUE_NAME"},
      {"qel.tcod6.queue.count", "TAV_RLY_TCOD6_QUEUE_COUNT"},
      {"qel.tcod6.queue.name", "TAV_RLY_TCOD6_QUEUE_NAME"},
      {"qel.log.shm.key", "QEL_LOG_SHM_KEY"},
      {"qel.attach.shm.key", "QEL_ATTACH_SHM_KEY"},
      {"qel.ip.information", "QEL_IP_INFORMATION"},
      {"qel.server.information", "QEL_SERVER_INFORMATION"},
      {"qel.adapter.information", "QEL_ADAPTER_INFORMATION"},
      {"qel.check.include.ip", "QEL_CHECK_INCLUDE_IP"},
      {"qel.check.exclude.ip", "QEL_CHECK_EXCLUDE_IP"},
      {"qel.check.trust.users", "QEL_CHECK_TRUST_USERS"},
      {"qel.check.trust.groups", "QEL_CHECK_TRUST_GROUPS"},
  };
  auto it = upper.find(name);
  return it == upper.end() ? name : it->second;
}

std::string ProbeSandbox::settings_text() const {
  // The library takes the first line that begins with the key it looks for,
  // so a key that is the prefix of another ("qel.log", "qel.log.path") must
  // come first: lexicographic order does exactly that. Settings are given
  // under the Java builds' names and written under this build's names.
  std::vector<std::pair<std::string, std::string>> sorted;
  for (const auto& [name, value] : settings_) sorted.emplace_back(build_setting_name(build_, name), value);
  std::sort(sorted.begin(), sorted.end());
  std::string text = "# written by the integration tests\n";
  for (auto& [name, value] : sorted) text += name + "=" + value + "\n";
  return text;
}

void ProbeSandbox::write_settings() const {
  std::ofstream out(config_, std::ios::trunc);
  out << settings_text();
  if (!out) fail("write " + config_);
}

std::string ProbeSandbox::write_file(const std::string& name, const std::string& content) const {
  const std::string p = path(name);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) fail("write " + p);
  return p;
}

std::string ProbeSandbox::next_name(const char* what) {
  return ".run" + std::to_string(++seq_) + "." + what;
}

pid_t ProbeSandbox::spawn(const std::vector<std::string>& argv, const RunOptions& opts, bool with_probe,
                          const std::string& out_path, const std::string& err_path) {
  if (argv.empty()) throw std::invalid_argument("empty argv");
  if (with_probe && access(library().c_str(), R_OK) != 0) fail("probe library " + library());

  const std::string in_path = write_file(next_name("in"), opts.stdin_text);

  // The environment: ours without the dropped variables, then the sandbox's,
  // then the caller's additions (which replace same-named ones).
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; *e; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (!eq) continue;
    std::string name(*e, static_cast<size_t>(eq - *e));
    if (!dropped_variable(name)) vars.emplace_back(std::move(name), eq + 1);
  }
  auto set = [&](const std::string& name, const std::string& value) {
    auto it = std::find_if(vars.begin(), vars.end(), [&](auto& v) { return v.first == name; });
    if (it != vars.end())
      it->second = value;
    else
      vars.emplace_back(name, value);
  };
  set("TAV_CONFIG_FILE", config_);
  if (with_probe) set("LD_PRELOAD", preload_value(library()));
  for (auto& [name, value] : opts.env) set(name, value);

  std::vector<std::string> env_text;
  for (auto& [name, value] : vars) env_text.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, in_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string cwd = opts.cwd.empty() ? dir_ : opts.cwd;
  posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Own process group, so a time-out or a stop reaches the whole pipeline;
  // default signal dispositions and an empty mask whatever the test runner has.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0], &fa, &attr, args.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    errno = rc;
    fail("spawn " + argv[0]);
  }
  return pid;
}

RunResult ProbeSandbox::run_with(const std::vector<std::string>& argv, const RunOptions& opts, bool with_probe) {
  const std::string out_path = path(next_name("out"));
  const std::string err_path = path(next_name("err"));
  const pid_t pid = spawn(argv, opts, with_probe, out_path, err_path);

  RunResult r;
  if (!wait_ended(pid, Clock::now() + opts.timeout)) r.timed_out = true;
  fill_status(r, reap(pid));
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

RunResult ProbeSandbox::run(const std::vector<std::string>& argv, const RunOptions& opts) {
  return run_with(argv, opts, true);
}

RunResult ProbeSandbox::run_plain(const std::vector<std::string>& argv, const RunOptions& opts) {
  return run_with(argv, opts, false);
}

Background& ProbeSandbox::start(const std::vector<std::string>& argv, const RunOptions& opts, bool with_probe) {
  const std::string out_path = path(next_name("out"));
  const std::string err_path = path(next_name("err"));
  const pid_t pid = spawn(argv, opts, with_probe, out_path, err_path);
  background_.push_back(std::unique_ptr<Background>(new Background(pid, out_path, err_path)));
  return *background_.back();
}

}  // namespace qel::test
