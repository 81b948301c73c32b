// The relay's start function, shared by the three deliverables.
#pragma once

#include "rly_build.h"

// Runs the relay of build b from the settings file at path in the calling
// thread until it is stopped: 0 after an orderly stop; -178 when the
// settings cannot be loaded (after the console line), -194/-213/-223/-236
// when the sessions cannot be allocated, -262 when the threads cannot be
// started.
// The entry point calls rly_thread_reset() before, in the thread that may
// also stop the relay, so that a stop requested early is not forgotten.
int rly_main(const rly_build_t& b, const char* path);
