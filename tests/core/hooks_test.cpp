// The hook table of each build and what happens when a name cannot be found.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "base/tav_real.h"
#include "child.h"
#include "core/tav_hooks.h"

using qel::test::in_child;

TEST(Hooks, EachBuildResolvesItsOwnNames) {
  std::vector<std::string> names;
  for (const enHooking* h = hook; h->name; ++h) names.emplace_back(h->name);
  const std::vector<std::string> common = {"listen", "bind",  "accept", "connect", "close",
                                           "dup",    "dup2",  "read",   "write",   "recv",
                                           "send",   "open",  "msgget", "msgrcv",  "msgsnd"};
  std::vector<std::string> expected = common;
#if defined(TAV_BUILD_JEUS)
  for (auto n : {"readv", "writev", "recvmsg", "sendmsg", "fork", "execve"}) expected.push_back(n);
#elif defined(TAV_BUILD_WEBLOGIC)
  for (auto n : {"writev", "fork"}) expected.push_back(n);
#elif defined(TAV_BUILD_TMAX)
  for (auto n : {"recvmsg", "sendmsg", "pipe"}) expected.push_back(n);
#else
  for (auto n : {"recvmsg", "sendmsg", "execve"}) expected.push_back(n);
#endif
  for (auto n : {"accept4", "dup3", "recvfrom", "sendto", "ioctl", "sendfile", "sendfile64"})
    expected.push_back(n);
  EXPECT_EQ(names, expected);
}

// A name the linker cannot find stays null, and the library's own calls
// still work: through the system call, or failing cleanly for fork.
TEST(Hooks, MissingNamesFallBackInsteadOfCallingNull) {
  auto r = in_child([] {
    tav::hook_resolve(hook, [](const char* name) -> void* {
      if (!strcmp(name, "read") || !strcmp(name, "write") || !strcmp(name, "fork") ||
          !strcmp(name, "close") || !strcmp(name, "recv") || !strcmp(name, "send"))
        return nullptr;
      return tav::hook_lookup(name);
    });
    CHILD_CHECK(f_read == nullptr && f_write == nullptr && f_close == nullptr);
    CHILD_CHECK(f_connect != nullptr);

    int sv[2];
    CHILD_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
    CHILD_CHECK(tav::real::write(sv[0], "ping", 4) == 4);
    char buf[8] = {};
    CHILD_CHECK(tav::real::read(sv[1], buf, sizeof buf) == 4 && !memcmp(buf, "ping", 4));
    CHILD_CHECK(tav::real::send(sv[1], "pong", 4, 0) == 4);
    CHILD_CHECK(tav::real::recv(sv[0], buf, sizeof buf, MSG_PEEK) == 4);
    CHILD_CHECK(tav::real::read(sv[0], buf, sizeof buf) == 4 && !memcmp(buf, "pong", 4));
    // Errors keep libc's convention.
    errno = 0;
    CHILD_CHECK(tav::real::read(-1, buf, 1) == -1 && errno == EBADF);
    CHILD_CHECK(tav::real::close(sv[0]) == 0 && tav::real::close(sv[0]) == -1 && errno == EBADF);
    errno = 0;
    CHILD_CHECK(tav::real::fork() == -1 && errno == ENOSYS);
    return 0;
  });
  EXPECT_CHILD_OK(r);
}
