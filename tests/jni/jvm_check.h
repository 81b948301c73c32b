// Running one case of a Java check class of the adapter tests: a JVM that
// loads the box's probe library and prints "key=value" lines, ending with
// "done=true" when the case ran through.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "probe_run.h"

namespace qel::test::jvm {

// Runs `cls` with the library and the case name (and `extra` arguments);
// with `preload` the probe also interposes the JVM's own calls. `log` gets
// the probe's logs afterwards. `classes` is the class path: all test
// classes, or JAVA_BARE_CLASSES, the adapter class without Packet.
inline RunResult run_check(ProbeSandbox& box, const std::string& cls, const std::string& which,
                           std::string& log, const std::vector<std::string>& extra = {},
                           bool preload = false, const char* classes = JAVA_CLASSES) {
  std::vector<std::string> argv = {JAVA_PATH, "-Djava.net.preferIPv4Stack=true", "-cp",
                                   classes, "com.wq.tav.adapter." + cls, box.library(), which};
  argv.insert(argv.end(), extra.begin(), extra.end());
  RunResult r = preload ? box.run(argv) : box.run_plain(argv);
  log = probe_logs(box.log_dir());
  return r;
}

// Java finished the case and no native left an exception behind.
inline void expect_clean(const RunResult& r) {
  EXPECT_TRUE(r.ok()) << r.describe();
  EXPECT_NE(r.out.find("done=true\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("thrown="), std::string::npos) << r.out;
}

}  // namespace qel::test::jvm
