// A host that keeps making intercepted calls on a tracked connection: every
// 10 ms it duplicates and closes a loopback TCP socket, until the file named
// by its argument exists. Prints the number of rounds when it ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 1) != 0 ||
      getsockname(l, reinterpret_cast<sockaddr*>(&a), &n) != 0)
    return 3;
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  if (connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 4;
  long rounds = 0;
  while (access(argv[1], F_OK) != 0) {
    const int d = dup(c);
    if (d < 0 || close(d) != 0) return 5;
    ++rounds;
    usleep(10000);
  }
  close(c);
  close(l);
  printf("%ld\n", rounds);
  return 0;
}
