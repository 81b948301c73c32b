// What an operator sees of the relay's rings: for every queue key of a
// settings file, the ring's size, fill and loss counters.
#pragma once

#include <cstdio>

#include "rly_build.h"

// Prints one line per ring key of the settings at `path` (read as build
// `b` reads them) to `out`. 0 when every ring is there, 1 when one is not,
// 2 when the settings cannot be read.
int rly_ring_status(const rly_build_t& b, const char* path, FILE* out);
