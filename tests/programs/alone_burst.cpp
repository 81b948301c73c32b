// alone_burst: threads that start and end transactions as fast as they can
// through the probe's exported functions, so that every thread writes two
// records per transaction (start, end). Run with a probe build preloaded.
//
//   alone_burst <threads> <transactions-per-thread>
//
// Prints "done <records>" with the number of records the threads asked for;
// exits 2 when the probe's functions are not there.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: alone_burst <threads> <transactions>\n");
    return 1;
  }
  const int threads = atoi(argv[1]);
  const long count = atol(argv[2]);
  using Fn = int (*)();
  auto create = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "TAV_GTUID_CREATE_ALONE"));
  auto end = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "TAV_GTUID_END_ALONE"));
  if (!create || !end || threads < 1 || count < 0) return 2;
  std::vector<std::thread> all;
  for (int t = 0; t < threads; ++t)
    all.emplace_back([&] {
      for (long i = 0; i < count; ++i) {
        create();
        end();
      }
    });
  for (auto& th : all) th.join();
  printf("done %ld\n", 2L * threads * count);
  return 0;
}
