// Tests parameterized over the probe builds.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "probe_run.h"

namespace qel::test {

// Test names carry the build: Suite/Fixture.Test/jeus.
inline std::string build_name(const testing::TestParamInfo<std::string>& info) { return info.param; }

// A fixture with a fresh sandbox for the build under test.
class ProbeBuildTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { box = std::make_unique<ProbeSandbox>(GetParam()); }
  void TearDown() override { box.reset(); }

  std::unique_ptr<ProbeSandbox> box;
};

}  // namespace qel::test

// Instantiates a ProbeBuildTest-derived suite for all four builds.
#define QEL_FOR_ALL_BUILDS(suite) \
  INSTANTIATE_TEST_SUITE_P(Builds, suite, testing::ValuesIn(qel::test::probe_builds()), qel::test::build_name)
