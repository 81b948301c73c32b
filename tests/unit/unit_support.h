// Helpers shared by the unit tests of the base utilities.
#pragma once

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace unit {

using TempDir = qel::test::TempDir;

}  // namespace unit
