// A loopback TCP connection made through the overrides linked into the test
// program, so both ends are tracked. With `service`, an address-list entry
// for the listener's port makes the client end a service connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "base/tav_ipinfo.h"

struct TcpPair {
  int listener = -1, client = -1, server = -1;
  explicit TcpPair(bool service = false) {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 4);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &n);
    char entry[64];
    snprintf(entry, sizeof entry, "127.0.0.1:%d:SERVICE", ntohs(a.sin_port));
    if (service) tav_ipinfo(entry, 1);
    client = socket(AF_INET, SOCK_STREAM, 0);
    ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (service) tav_ipinfo(entry, 0);
    server = ::accept(listener, nullptr, nullptr);
  }
  ~TcpPair() {
    for (int fd : {listener, client, server})
      if (fd >= 0) ::close(fd);
  }
  TcpPair(const TcpPair&) = delete;
  TcpPair& operator=(const TcpPair&) = delete;
};
