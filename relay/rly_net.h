// The relay's socket helpers are the probe's own, compiled into the relay:
// connect with a time-out, and whole-buffer reads and writes whose waits are
// bounded, so that a peer that stops reading or writing never holds a relay
// thread.
#pragma once

#include "base/tav_util.h"
