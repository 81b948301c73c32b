// What each server build takes when the settings say nothing.
#pragma once

#include "core/tav_build.h"

// The product code of the process's records.
#if defined(TAV_BUILD_WEBTOB)
inline constexpr int kDefaultProductCode = 13;
#else
inline constexpr int kDefaultProductCode = 22;
#endif
