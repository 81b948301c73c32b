// The overrides linked into this test program itself, so that its own calls
// go through them: pass-through results and errno, record consistency.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "base/tav_ipinfo.h"
#include "base/tav_real.h"
#include "core/tav_adt_link.h"
#include "core/tav_load.h"
#include "core/tav_tables.h"
#include "tcp_pair.h"

namespace {

struct Outcome {
  long rc;
  int err;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << "rc " << o.rc << " errno " << o.err;
}

Outcome run(const std::function<long()>& f) {
  errno = 0;
  const long rc = f();
  return {rc, errno};
}

// A socket bound by the kernel to a free port on 127.0.0.1.
struct Bound {
  int fd;
  int port = 0;
  explicit Bound(int type) : fd(socket(AF_INET, type, 0)) {
    sockaddr_in a = address();
    socklen_t n = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
  }
  ~Bound() { ::close(fd); }
  sockaddr_in address() const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }
};

std::vector<char> table_snapshot() {
  const auto* p = reinterpret_cast<const char*>(en_mfd);
  return {p, p + sizeof(mfd) * static_cast<size_t>(en_fd_max)};
}

}  // namespace

class Overrides : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(tav::prologue()) << "the library did not start"; }
};

// Descriptors outside the table, negative descriptors and null buffers reach
// the real call untouched: the same result and errno as the system call.
TEST_F(Overrides, BadInputGivesTheSystemCallsAnswer) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  TcpPair tcp;
  ASSERT_GE(tcp.server, 0);
  ASSERT_EQ(::write(p[1], "data", 4), 4);
  ASSERT_EQ(::write(tcp.client, "data", 4), 4);
  char buf[8];
  iovec iov{buf, sizeof buf};
  msghdr mh{};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  const int huge = 1 << 30;
  // A tracked listener that was closed again.
  Bound gone(SOCK_STREAM);
  ASSERT_EQ(::listen(gone.fd, 1), 0);
  const int closed_listener = ::dup(gone.fd);
  ASSERT_EQ(::close(closed_listener), 0);
  const int r = p[0], w = p[1], t = tcp.server, cl = closed_listener;
  char* volatile null_buf = nullptr;  // hides the deliberate null from the compiler

  struct Case {
    const char* name;
    std::function<long()> probe, sys;
  };
  const std::vector<Case> cases = {
      {"read -1", [&] { return ::read(-1, buf, 4); }, [&] { return syscall(SYS_read, -1, buf, 4); }},
      {"read huge", [&] { return ::read(huge, buf, 4); }, [&] { return syscall(SYS_read, huge, buf, 4); }},
      {"read null", [&] { return ::read(r, null_buf, 4); }, [&] { return syscall(SYS_read, r, nullptr, 4); }},
      {"read tracked null", [&] { return ::read(t, null_buf, 4); },
       [&] { return syscall(SYS_read, t, nullptr, 4); }},
      {"write -7", [&] { return ::write(-7, buf, 1); }, [&] { return syscall(SYS_write, -7, buf, 1); }},
      {"write null", [&] { return ::write(w, null_buf, 4); }, [&] { return syscall(SYS_write, w, nullptr, 4); }},
      {"recv -1", [&] { return ::recv(-1, buf, 4, 0); },
       [&] { return syscall(SYS_recvfrom, -1, buf, 4, 0, nullptr, nullptr); }},
      {"recv pipe", [&] { return ::recv(r, buf, 4, 0); },
       [&] { return syscall(SYS_recvfrom, r, buf, 4, 0, nullptr, nullptr); }},
      {"send huge", [&] { return ::send(huge, buf, 4, 0); },
       [&] { return syscall(SYS_sendto, huge, buf, 4, 0, nullptr, 0); }},
      {"recvmsg -1", [&] { return ::recvmsg(-1, &mh, 0); }, [&] { return syscall(SYS_recvmsg, -1, &mh, 0); }},
      {"sendmsg -1", [&] { return ::sendmsg(-1, &mh, 0); }, [&] { return syscall(SYS_sendmsg, -1, &mh, 0); }},
      {"readv -1", [&] { return ::readv(-1, &iov, 1); }, [&] { return syscall(SYS_readv, -1, &iov, 1); }},
      {"writev huge", [&] { return ::writev(huge, &iov, 1); }, [&] { return syscall(SYS_writev, huge, &iov, 1); }},
      {"close -1", [&] { return ::close(-1); }, [&] { return syscall(SYS_close, -1); }},
      {"close huge", [&] { return ::close(huge); }, [&] { return syscall(SYS_close, huge); }},
      {"dup -1", [&] { return ::dup(-1); }, [&] { return syscall(SYS_dup, -1); }},
      {"dup2 -1", [&] { return ::dup2(-1, 5); }, [&] { return syscall(SYS_dup2, -1, 5); }},
      {"dup2 to -1", [&] { return ::dup2(r, -1); }, [&] { return syscall(SYS_dup2, r, -1); }},
      {"listen -1", [&] { return ::listen(-1, 1); }, [&] { return syscall(SYS_listen, -1, 1); }},
      {"listen pipe", [&] { return ::listen(r, 1); }, [&] { return syscall(SYS_listen, r, 1); }},
      {"bind -1", [&] { return ::bind(-1, reinterpret_cast<sockaddr*>(&a), sizeof a); },
       [&] { return syscall(SYS_bind, -1, &a, sizeof a); }},
      {"bind null", [&] { return ::bind(t, nullptr, sizeof a); }, [&] { return syscall(SYS_bind, t, nullptr, sizeof a); }},
      {"connect huge", [&] { return ::connect(huge, reinterpret_cast<sockaddr*>(&a), sizeof a); },
       [&] { return syscall(SYS_connect, huge, &a, sizeof a); }},
      {"connect null", [&] { return ::connect(t, nullptr, sizeof a); },
       [&] { return syscall(SYS_connect, t, nullptr, sizeof a); }},
      {"accept -1", [&] { return ::accept(-1, nullptr, nullptr); }, [&] { return syscall(SYS_accept, -1, nullptr, nullptr); }},
      {"accept pipe", [&] { return ::accept(r, nullptr, nullptr); }, [&] { return syscall(SYS_accept, r, nullptr, nullptr); }},
      {"accept closed listener", [&] { return ::accept(cl, nullptr, nullptr); },
       [&] { return syscall(SYS_accept, cl, nullptr, nullptr); }},
      {"accept4 closed listener", [&] { return ::accept4(cl, nullptr, nullptr, 0); },
       [&] { return syscall(SYS_accept4, cl, nullptr, nullptr, 0); }},
      {"dup3 -1", [&] { return ::dup3(-1, 5, 0); }, [&] { return syscall(SYS_dup3, -1, 5, 0); }},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.probe), run(c.sys)) << c.name;
  close(p[0]);
  close(p[1]);
}

TEST_F(Overrides, ClosingDescriptorsNeverSeenLeavesEveryRecordAlone) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const auto before = table_snapshot();
  EXPECT_EQ(::close(p[0]), 0);
  EXPECT_EQ(::close(p[1]), 0);
  EXPECT_EQ(::close(p[1]), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_TRUE(table_snapshot() == before);
}

TEST_F(Overrides, DuplicatesInheritOnlyTheClassification) {
  TcpPair tcp;
  ASSERT_GE(tcp.server, 0);
  mfd& src = en_mfd[tcp.client];
  ASSERT_NE(src.info & MFD_INET, 0);
  src.rsize = 5;
  src.wsize = 6;

  const int d = ::dup(tcp.client);
  ASSERT_GE(d, 0);
  EXPECT_EQ(en_mfd[d].info, src.info);
  EXPECT_EQ(en_mfd[d].rsize, 0);
  EXPECT_EQ(en_mfd[d].wsize, 0);
  EXPECT_EQ(en_mfd[d].rip[0], 0);

  // dup2 onto a tracked descriptor replaces its record ...
  ASSERT_EQ(::dup2(tcp.server, d), d);
  EXPECT_EQ(en_mfd[d].info, en_mfd[tcp.server].info);
  // ... and an untracked source leaves the target untracked.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(::dup2(p[0], d), d);
  EXPECT_EQ(en_mfd[d].info, 0);
  // dup2 of a descriptor onto itself changes nothing.
  ASSERT_EQ(::dup2(tcp.client, tcp.client), tcp.client);
  EXPECT_EQ(src.rsize, 5);
  ::close(d);
  ::close(p[0]);
  ::close(p[1]);

  // Closing a tracked descriptor clears its record, and clears it even when
  // the close itself fails.
  const int c = ::dup(tcp.client);
  ASSERT_GE(c, 0);
  ASSERT_EQ(syscall(SYS_close, c), 0);  // closed behind the library's back
  ASSERT_NE(en_mfd[c].info, 0);
  EXPECT_EQ(::close(c), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(en_mfd[c].info, 0);
}

TEST_F(Overrides, AcceptRecordsThePeerWithoutAnAddressBuffer) {
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(en_mfd[l].info, 0);  // port 0: untracked until accept looks at it
  ASSERT_EQ(::listen(l, 4), 0);
  ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&a), &n), 0);

  for (bool with_buffer : {false, true}) {
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    sockaddr_in local{};
    socklen_t ln = sizeof local;
    getsockname(c, reinterpret_cast<sockaddr*>(&local), &ln);
    // A host buffer too small for the address still gets the kernel's answer.
    char tiny[4];
    socklen_t tiny_len = sizeof tiny;
    const int s = with_buffer ? ::accept(l, reinterpret_cast<sockaddr*>(tiny), &tiny_len)
                              : ::accept(l, nullptr, nullptr);
    ASSERT_GE(s, 0);
    if (with_buffer) {
      EXPECT_EQ(tiny_len, sizeof(sockaddr_in));
    }
    EXPECT_NE(en_mfd[l].info & MFD_INET, 0);
    const int where = strcmp("127.0.0.1", en_my_ip) == 0 ? MFD_LOCAL : MFD_REMOTE;
    EXPECT_EQ(en_mfd[s].info, MFD_INET | where) << std::hex << en_mfd[s].info;
    EXPECT_STREQ(en_mfd[s].rip, "127.0.0.1");
    EXPECT_EQ(en_mfd[s].rport, ntohs(local.sin_port));
    ::close(s);
    ::close(c);
  }
  ::close(l);
}

// The host's errno survives the library's own work around a successful call,
// including a thread's first call, which assigns its slot.
TEST_F(Overrides, ErrnoOfTheHostSurvivesBookkeeping) {
  TcpPair tcp;
  ASSERT_GE(tcp.server, 0);
  std::thread([&] {
    errno = 777;
    EXPECT_EQ(::write(tcp.client, "x", 1), 1);
    EXPECT_EQ(errno, 777);
    char c;
    EXPECT_EQ(::read(tcp.server, &c, 1), 1);
    EXPECT_EQ(errno, 777);
    const int d = ::dup(tcp.server);
    EXPECT_EQ(errno, 777);
    errno = 778;
    EXPECT_EQ(::close(d), 0);
    EXPECT_EQ(errno, 778);
  }).join();
  // A refused connection reports the kernel's errno, not one of the
  // library's own calls.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(probe, reinterpret_cast<sockaddr*>(&a), &n);
  ::close(probe);  // that port is now closed
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  ::close(c);
}

// Only stream sockets become service connections; a datagram socket that
// matches a service entry stays an ordinary one.
TEST_F(Overrides, OnlyStreamSocketsAreServiceConnections) {
  Bound listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 4), 0);
  char entries[64];
  snprintf(entries, sizeof entries, "127.0.0.1:%d:SERVICE", listener.port);
  ASSERT_EQ(tav_ipinfo(entries, 1), 1);

  const int tcp = socket(AF_INET, SOCK_STREAM, 0);
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  const sockaddr_in to = listener.address();
  ASSERT_EQ(::connect(tcp, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(::connect(udp, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  EXPECT_NE(en_mfd[tcp].info & MFD_SERVICE, 0) << std::hex << en_mfd[tcp].info;
  EXPECT_NE(en_mfd[udp].info & MFD_INET, 0);
  EXPECT_EQ(en_mfd[udp].info & MFD_SERVICE, 0) << std::hex << en_mfd[udp].info;
  tav_ipinfo(entries, 0);
  ::close(tcp);
  ::close(udp);
}

// accept4 and dup3 track like accept and dup2.
TEST_F(Overrides, Accept4AndDup3TrackLikeTheirClassicForms) {
  Bound listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 4), 0);
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in to = listener.address();
  ASSERT_EQ(::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  const int s = ::accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(s, 0);
  EXPECT_NE(en_mfd[s].info & MFD_INET, 0);
  EXPECT_STREQ(en_mfd[s].rip, "127.0.0.1");

  int p[2];
  ASSERT_EQ(pipe(p), 0);
  ASSERT_EQ(::dup3(s, p[0], O_CLOEXEC), p[0]);
  EXPECT_EQ(en_mfd[p[0]].info, en_mfd[s].info);
  ASSERT_EQ(::dup3(p[1], p[0], 0), p[0]);  // an untracked source
  EXPECT_EQ(en_mfd[p[0]].info, 0);
  errno = 0;
  EXPECT_EQ(::dup3(s, s, 0), -1);
  EXPECT_EQ(errno, EINVAL);
  for (int fd : {c, s, p[0], p[1]}) ::close(fd);
}

// A descriptor number that was closed behind the library's back and handed
// out again starts from a fresh record when the new socket connects.
TEST_F(Overrides, ReusedNumberStartsFresh) {
  Bound listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 4), 0);
  const int c = socket(AF_INET, SOCK_STREAM, 0);
  en_mfd[c].info = MFD_INET | MFD_SERVICE | MFD_FIRSTREAD;  // left from an earlier socket
  en_mfd[c].rsize = 99;
  en_mfd[c].wsize = 7;
  const sockaddr_in to = listener.address();
  ASSERT_EQ(::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  EXPECT_EQ(en_mfd[c].info & (MFD_SERVICE | MFD_FIRSTREAD), 0);
  EXPECT_EQ(en_mfd[c].rsize, 0);
  EXPECT_EQ(en_mfd[c].wsize, 0);
  ::close(c);
}

// A host that calls connect again on a connection under way gets the
// kernel's answer, and the record of the connection stays as it is.
TEST_F(Overrides, RepeatedConnectKeepsTheRecord) {
  Bound listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 4), 0);
  const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const sockaddr_in to = listener.address();
  const int first = ::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(first == 0 || errno == EINPROGRESS);
  ASSERT_NE(en_mfd[c].info & MFD_INET, 0);
  en_mfd[c].rsize = 5;  // a message in progress
  pollfd p{c, POLLOUT, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  // Linux answers 0 once the connection is up, EISCONN after that.
  for (int i = 0; i < 2; ++i) {
    errno = 0;
    const int rc = ::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    EXPECT_TRUE(rc == 0 || errno == EISCONN) << rc << " " << errno;
    EXPECT_EQ(en_mfd[c].rsize, 5);
  }
  ::close(c);
}

#if TAV_WITH_JAVA
// A thread marked as the opener of a master link registers the socket it
// connects; closing the socket without closeMASTER unregisters it.
TEST_F(Overrides, MasterLinkIsRegisteredAndLetGoOnClose) {
  Bound listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 4), 0);
  struct Case {
    char bl;
    int* link;
  } cases[] = {{2, &en_gtuid_sock}, {3, &en_was_sock}, {9, &en_was_sock}};
  for (const Case& k : cases) {
    SCOPED_TRACE(static_cast<int>(k.bl));
    mthr* m = tav_thrinfo();
    m->bl = k.bl;
    const int c = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in to = listener.address();
    const int rc = ::connect(c, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    m->bl = 0;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(*k.link, c);
    tav::adt::master_connected(k.link == &en_gtuid_sock ? 1 : 2);
    errno = 0;
    EXPECT_EQ(::close(c), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(*k.link, -1);
    EXPECT_EQ(en_master_reconnect, -1);
    tav::adt::master_closed(1);
    tav::adt::master_closed(2);
  }
}
#endif

#if TAV_OVR_MSG
// A message header over a vector, with room for one passed descriptor.
struct Message {
  explicit Message(std::vector<iovec>& v) {
    header.msg_iov = v.data();
    header.msg_iovlen = v.size();
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
};

// Sends `data` in `pieces` vector elements with descriptor `passed`.
ssize_t send_fd(int sock, const std::string& data, int pieces, int passed) {
  std::vector<iovec> v;
  const size_t step = (data.size() + static_cast<size_t>(pieces) - 1) / static_cast<size_t>(pieces);
  for (size_t at = 0; at < data.size(); at += step)
    v.push_back({const_cast<char*>(data.data()) + at, std::min(step, data.size() - at)});
  Message msg(v);
  msghdr& m = msg.header;
  cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &passed, sizeof passed);
  return ::sendmsg(sock, &m, 0);
}

// Receives into buffers of `sizes`; the descriptor passed (or -1) and the
// bytes.
std::pair<int, std::string> recv_fd(int sock, const std::vector<size_t>& sizes, ssize_t& rc) {
  std::vector<std::string> bufs;
  std::vector<iovec> v;
  for (size_t n : sizes) bufs.emplace_back(n, '\0');
  for (auto& b : bufs) v.push_back({b.data(), b.size()});
  Message msg(v);
  msghdr& m = msg.header;
  rc = ::recvmsg(sock, &m, 0);
  int fd = -1;
  if (cmsghdr* c = CMSG_FIRSTHDR(&m); c && c->cmsg_type == SCM_RIGHTS) memcpy(&fd, CMSG_DATA(c), sizeof fd);
  std::string got;
  for (auto& b : bufs) got += b;
  return {fd, got.substr(0, rc > 0 ? static_cast<size_t>(rc) : 0)};
}

// A descriptor passed to another process's probe arrives tracked as its
// sender tracked it; the hosts see exactly their own bytes, whatever their
// vectors. Builds whose receiver takes no prefix pass the bytes as written.
TEST_F(Overrides, PassedDescriptorKeepsItsClassification) {
  struct Case {
    const char* name;
    std::string data;
    int send_pieces;
    std::vector<size_t> recv_sizes;
  } cases[] = {
      {"one element each", "hello", 1, {64}},
      {"scattered both ways", "0123456789abcdefghij", 3, {3, 4, 100}},
      {"receive buffer smaller than the prefix", "tiny", 1, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Bound passed(SOCK_STREAM);
    ASSERT_LT(passed.fd, en_fd_max);
    en_mfd[passed.fd].info = MFD_SERVICE | MFD_INET | MFD_KEEP;
    errno = 0;
    EXPECT_EQ(send_fd(sv[0], c.data, c.send_pieces, passed.fd), static_cast<ssize_t>(c.data.size()));
    ssize_t rc = 0;
    auto [fd, got] = recv_fd(sv[1], c.recv_sizes, rc);
    ASSERT_GE(fd, 0);
    const size_t first = std::min(c.data.size(), std::accumulate(c.recv_sizes.begin(), c.recv_sizes.end(), size_t{0}));
    EXPECT_EQ(rc, static_cast<ssize_t>(first));
    EXPECT_EQ(got, c.data.substr(0, first));
#if TAV_MSG_PREFIX
    EXPECT_EQ(en_mfd[fd].info, MFD_SERVICE | MFD_INET | MFD_KEEP);
#endif
    // The rest of the host's bytes follow as they were sent.
    ::close(sv[0]);
    char rest[64];
    const ssize_t more = ::read(sv[1], rest, sizeof rest);
    EXPECT_EQ(std::string(rest, more > 0 ? static_cast<size_t>(more) : 0), c.data.substr(first));
    ::close(fd);
    ::close(sv[1]);
  }
}

#if TAV_MSG_PREFIX
// Descriptors from a sender that puts no prefix in front, received into a
// buffer smaller than a prefix's header: the host's bytes are its own, also
// when they open with zero bytes.
TEST_F(Overrides, DataWithoutPrefixIntoASmallBufferIsTheHosts) {
  const std::string cases[] = {"tiny", std::string("\0\0\0\x05" "abc", 7), std::string("\0\0ab", 4)};
  for (const std::string& data : cases) {
    SCOPED_TRACE(data.size());
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    Bound passed(SOCK_STREAM);
    std::vector<iovec> v{{const_cast<char*>(data.data()), data.size()}};
    Message msg(v);
    cmsghdr* c = CMSG_FIRSTHDR(&msg.header);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &passed.fd, sizeof passed.fd);
    ASSERT_EQ(tav::real::sendmsg(sv[0], &msg.header, 0), static_cast<ssize_t>(data.size()));
    ::close(sv[0]);
    ssize_t rc = 0;
    auto [fd, got] = recv_fd(sv[1], {2}, rc);
    EXPECT_EQ(got, data.substr(0, 2));
    char rest[64];
    const ssize_t more = ::read(sv[1], rest, sizeof rest);
    EXPECT_EQ(std::string(rest, more > 0 ? static_cast<size_t>(more) : 0), data.substr(2));
    if (fd >= 0) ::close(fd);
    ::close(sv[1]);
  }
}
#endif

// A message without descriptors goes as it is.
TEST_F(Overrides, MessageWithoutDescriptorsIsUnchanged) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  iovec v{const_cast<char*>("plain"), 5};
  msghdr m{};
  m.msg_iov = &v;
  m.msg_iovlen = 1;
  EXPECT_EQ(::sendmsg(sv[0], &m, 0), 5);
  char buf[16];
  EXPECT_EQ(::read(sv[1], buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "plain");
  ::close(sv[0]);
  ::close(sv[1]);
}
#endif

TEST_F(Overrides, MissingRealFunctionDoesNotCrashTheHost) {
  auto saved_read = f_read;
  auto saved_write = f_write;
  f_read = nullptr;
  f_write = nullptr;
  TcpPair tcp;
  char buf[4] = {};
  const auto w = run([&] { return ::write(tcp.client, "abc", 3); });
  const auto r = run([&] { return ::read(tcp.server, buf, sizeof buf); });
  f_read = saved_read;
  f_write = saved_write;
  EXPECT_EQ(w, (Outcome{3, 0}));
  EXPECT_EQ(r, (Outcome{3, 0}));
  EXPECT_STREQ(buf, "abc");
}

#if TAV_OVR_FORK
TEST_F(Overrides, ForkedChildWorks) {
  TcpPair tcp;
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char buf[3];
    const bool ok = en_my_pid == getpid() && en_mfd[tcp.server].info != 0 &&
                    ::write(tcp.client, "abc", 3) == 3 && ::read(tcp.server, buf, 3) == 3 &&
                    memcmp(buf, "abc", 3) == 0;
    _exit(ok ? 0 : 1);
  }
  int st = 0;
  ASSERT_EQ(waitpid(pid, &st, 0), pid);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(en_my_pid, getpid());
}
#endif
