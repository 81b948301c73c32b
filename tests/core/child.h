// Runs a test body in a forked child: start-up happens once per process, so
// every scenario that starts the library gets a process of its own.
#pragma once

#include <functional>
#include <string>

namespace qel::test {

struct ChildResult {
  int status = -1;     // exit code, or 128 + signal
  std::string output;  // what the child wrote on standard output and error
};

// Runs `body` in a child with a time limit; its return value is the exit code.
ChildResult in_child(const std::function<int()>& body, int timeout_s = 30);

}  // namespace qel::test

// Check inside a child body: reports the failing line and ends the child.
#define CHILD_CHECK(cond)                                                      \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      fflush(stderr);                                                          \
      _exit(1);                                                                \
    }                                                                          \
  } while (0)

// The child succeeded; otherwise show what it printed.
#define EXPECT_CHILD_OK(result) EXPECT_EQ((result).status, 0) << (result).output
