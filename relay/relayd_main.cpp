// relayd: the relay as a program. Runs in the foreground until SIGUSR1;
// the exit status is the start function's result.
#include "rly_start.h"
#include "rly_thread.h"

int main(int argc, char** argv) {
  rly_thread_reset();
  return rly_main(rly_build_relayd, argc > 1 ? argv[1] : nullptr);
}
