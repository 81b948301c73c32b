// Helpers of the agent and delete thread tests: the check-home tree as a set
// of entries, plain files, and the thread stop signal.
#pragma once

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace rlytest {

inline constexpr int kStopSignal = 39;

// Every entry below `root`, links not followed, as "path:kind".
inline std::set<std::string> tree(const std::string& root) {
  namespace fs = std::filesystem;
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it); it.increment(ec)) {
    const auto st = it->symlink_status();
    const char* kind = fs::is_symlink(st) ? "link" : fs::is_directory(st) ? "dir" : "file";
    out.insert(it->path().lexically_relative(root).string() + ":" + kind);
  }
  return out;
}

inline void touch(const std::string& path) { std::ofstream(path).flush(); }

inline void nothing(int) {}

// Installs the handler of the stop signal without SA_RESTART: the signal
// must interrupt the thread's wait.
inline void install_stop_handler(void (*handler)(int)) {
  struct sigaction sa{};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(kStopSignal, &sa, nullptr);
}

}  // namespace rlytest
