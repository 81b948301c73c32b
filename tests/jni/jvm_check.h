// Running one case of a Java check class of the adapter tests: a JVM that
// loads the box's probe library and prints "key=value" lines, ending with
// "done=true" when the case ran through.
#pragma once

#include <gtest/gtest.h>
#include <sys/msg.h>

#include <cstring>

#include <initializer_list>
#include <string>
#include <vector>

#include "base/tav_mzp.h"
#include "probe_run.h"

namespace qel::test::jvm {

// The type-1 messages waiting on queue `q`, taken off without waiting. The
// cases produce few: the queue holds them all until the JVM is done.
inline std::vector<mzp1_t> take_records(int q) {
  std::vector<mzp1_t> out;
  mzp1_t z{};
  while (msgrcv(q, &z, sizeof z - sizeof z.type, 0, IPC_NOWAIT | MSG_NOERROR) > 0) {
    out.push_back(z);
    z = mzp1_t{};
  }
  return out;
}

// A fixed-width text field of a record, up to its first NUL.
template <size_t N>
std::string text_of(const char (&f)[N]) {
  return std::string(f, strnlen(f, N));
}

// The start and send letters of a record ("ES": end, send side).
inline std::string letters(const mzp1_t& z) { return std::string(1, z.start[0]) + z.send[0]; }

// The command line that runs check class `cls` of the adapter package with
// the library and the case name (and `extra` arguments). `classes` is the
// class path: all test classes, or JAVA_BARE_CLASSES, the adapter class
// without Packet.
inline std::vector<std::string> check_argv(const ProbeSandbox& box, const std::string& cls,
                                           const std::string& which,
                                           const std::vector<std::string>& extra = {},
                                           const char* classes = JAVA_CLASSES) {
  std::vector<std::string> argv = {JAVA_PATH, "-Djava.net.preferIPv4Stack=true", "-cp",
                                   classes, "com.wq.tav.adapter." + cls, box.library(), which};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// Runs that command to its end; with `preload` the probe also interposes the
// JVM's own calls. `log` gets the probe's logs afterwards.
inline RunResult run_check(ProbeSandbox& box, const std::string& cls, const std::string& which,
                           std::string& log, const std::vector<std::string>& extra = {},
                           bool preload = false, const char* classes = JAVA_CLASSES) {
  const auto argv = check_argv(box, cls, which, extra, classes);
  RunResult r = preload ? box.run(argv) : box.run_plain(argv);
  log = probe_logs(box.log_dir());
  return r;
}

// The value Java printed for `key` ("key=value" lines): its first
// occurrence, or with `last` its last one.
inline std::string printed(const std::string& out, const std::string& key, bool last = false) {
  const std::string text = "\n" + out;  // every line follows a line end
  const std::string tag = "\n" + key + "=";
  const size_t at = last ? text.rfind(tag) : text.find(tag);
  if (at == std::string::npos) return "<missing " + key + ">";
  const size_t from = at + tag.size();
  return text.substr(from, text.find('\n', from) - from);
}

// Java printed each of these whole lines.
inline void expect_printed(const std::string& out, std::initializer_list<const char*> lines) {
  for (const char* line : lines)
    EXPECT_NE(out.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << out;
}

// Java finished the case and no native left an exception behind.
inline void expect_clean(const RunResult& r) {
  EXPECT_TRUE(r.ok()) << r.describe();
  EXPECT_NE(r.out.find("done=true\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("thrown="), std::string::npos) << r.out;
}

}  // namespace qel::test::jvm
