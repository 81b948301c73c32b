// A small TCP server or client for the tracking tests.
//
//   tcp_peer serve ADDR PORT COUNT     listen on ADDR:PORT, print "ready", then
//                                      answer COUNT connections: read a line,
//                                      write it back, close
//   tcp_peer connect ADDR PORT [nb]    connect (non-blocking with "nb"), send
//                                      "hello\n", print the answer
//   tcp_peer udp ADDR PORT             send one datagram from a connected UDP
//                                      socket and print "sent"
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

sockaddr_in address(const char* ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

std::string read_line(int fd) {
  std::string line;
  char c;
  while (line.size() < 256 && read(fd, &c, 1) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

int serve(const char* ip, int port, int count) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = address(ip, port);
  if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(l, 8) != 0) return 3;
  printf("ready\n");
  fflush(stdout);
  for (int i = 0; i < count; ++i) {
    const int c = accept(l, nullptr, nullptr);
    if (c < 0) return 4;
    const std::string line = read_line(c);
    if (write(c, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 5;
    close(c);
  }
  close(l);
  return 0;
}

int client(const char* ip, int port, bool nonblocking) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = address(ip, port);
  if (nonblocking) fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    if (!nonblocking || errno != EINPROGRESS) return 3;
    pollfd p{s, POLLOUT, 0};
    if (poll(&p, 1, 5000) != 1) return 4;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
  }
  if (write(s, "hello\n", 6) != 6) return 5;
  printf("%s", read_line(s).c_str());
  close(s);
  return 0;
}

int udp(const char* ip, int port) {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = address(ip, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 3;
  if (send(s, "ping", 4, 0) != 4) return 4;
  printf("sent\n");
  close(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && !strcmp(argv[1], "serve")) return serve(argv[2], atoi(argv[3]), atoi(argv[4]));
  if (argc >= 4 && !strcmp(argv[1], "connect"))
    return client(argv[2], atoi(argv[3]), argc > 4 && !strcmp(argv[4], "nb"));
  if (argc >= 4 && !strcmp(argv[1], "udp")) return udp(argv[2], atoi(argv[3]));
  return 2;
}
