// relayd: the relay as a program. Runs in the foreground until SIGUSR1;
// the exit status is the start function's result. `relayd --rings FILE`
// shows the record rings of those settings instead, and exits.
#include <cstdio>
#include <cstring>

#include "rly_ring_status.h"
#include "rly_start.h"
#include "rly_thread.h"

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--rings") == 0) return rly_ring_status(rly_build_relayd, argv[2], stdout);
  rly_thread_reset();
  return rly_main(rly_build_relayd, argc > 1 ? argv[1] : nullptr);
}
