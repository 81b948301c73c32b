// librelay: a host program runs the relay in one of its threads.
#include "base/tav_export.h"
#include "rly_start.h"
#include "rly_thread.h"

extern "C" TAV_EXPORT int MZZP000001(char* path) {
  rly_thread_reset();
  return rly_main(rly_build_lib, path);
}
