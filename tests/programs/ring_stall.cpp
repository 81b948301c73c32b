// ring_stall: a writer of the relay's record ring that dies between
// reserving a position and publishing it, as a process killed at the worst
// moment would.
//
//   ring_stall <key>
//
// Exits 2 when there is no ring with the key or it is full; otherwise it
// ends by SIGKILL with its position reserved.
#include <signal.h>

#include <cstdio>

#include "base/tav_ring.h"

int main(int argc, char** argv) {
  unsigned key = 0;
  if (argc != 2 || sscanf(argv[1], "0x%x", &key) != 1) {
    fprintf(stderr, "usage: ring_stall 0x<key>\n");
    return 1;
  }
  tav::ring::View v;
  if (tav::ring::open_existing(static_cast<key_t>(key), true, &v) != tav::ring::OpenResult::kOpened) return 2;
  tav::ring::Reservation r;
  if (!tav::ring::reserve(v, &r)) return 2;
  raise(SIGKILL);
  return 3;
}
