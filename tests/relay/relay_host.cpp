// A host program of librelay: runs the relay in its main thread through the
// library's start function and reports the result.
#include <cstdio>

extern "C" int MZZP000001(char* path);

int main(int argc, char** argv) {
  int rc = MZZP000001(argc > 1 ? argv[1] : nullptr);
  printf("MZZP000001 returned %d\n", rc);
  fflush(stdout);
  return rc == 0 ? 0 : 1;
}
