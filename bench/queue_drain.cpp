// Empties a System V message queue while a benchmark produces into it, so
// that producers never meet a full queue. Prints the number of messages taken
// when it gets SIGTERM.
//
//   bench_qdrain <key>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
volatile sig_atomic_t stop = 0;
void on_term(int) { stop = 1; }
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_qdrain <key>\n");
    return 2;
  }
  const key_t key = static_cast<key_t>(strtoul(argv[1], nullptr, 0));
  const int id = msgget(key, IPC_CREAT | 0666);
  if (id < 0) {
    perror("msgget");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_term;
  sigaction(SIGTERM, &sa, nullptr);  // no SA_RESTART: msgrcv returns EINTR
  struct {
    long type;
    char text[8192];
  } m;
  long taken = 0;
  while (!stop) {
    if (msgrcv(id, &m, sizeof m.text, 0, 0) >= 0) ++taken;
    else if (errno != EINTR) break;
  }
  while (msgrcv(id, &m, sizeof m.text, 0, IPC_NOWAIT) >= 0) ++taken;
  msgctl(id, IPC_RMID, nullptr);
  printf("taken %ld\n", taken);
  return 0;
}
