// Tmax build: the receiving side of the descriptor prefix, over a real
// socket pair that passes real descriptors.
//
// Input: a descriptor count byte, a vector shape byte, two seed bytes, then
// the data sent with the descriptors (a prefix of the sender's form, or
// anything). The receiver takes it into a vector of up to three exact-size
// heap buffers. Checked beside "no crash":
//  - the host's count never exceeds its vector, nothing is written outside
//    it, and no more descriptors are counted than were passed;
//  - data that opens with no zero header word reaches the host unchanged;
//  - a well-formed prefix is taken off: the host gets the bytes behind it
//    and each passed descriptor carries the flag word its sender gave it.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/tav_msg_prefix.h"
#include "core/tav_tables.h"
#include "fuzz_check.h"

namespace {

namespace mp = tav::msg_prefix;
using qel::fuzz::Cursor;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<mfd> fds(1024);
  en_mfd = fds.data();
  en_fd_max = static_cast<int>(fds.size());
  Cursor in{data, size};
  const size_t nfds = 1 + in.byte() % 4;
  const uint8_t shape = in.byte();
  const bool well_formed = shape & 0x80;
  qel::fuzz::Rng rng = qel::fuzz::rng_from(in);

  std::string sent;
  std::vector<int32_t> infos(nfds);
  if (well_formed) {
    std::vector<int32_t> words(mp::prefix_length(nfds) / sizeof(int32_t), 0);
    for (size_t i = 0; i < nfds; ++i) infos[i] = words[mp::kHeaderWords + i] = static_cast<int32_t>(rng.next());
    sent.assign(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(int32_t));
  }
  const std::vector<uint8_t> rest = in.rest();
  sent.append(rest.begin(), rest.end());
  if (sent.empty()) return 0;

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  // The descriptors passed: duplicates of a pipe's ends.
  int pipefd[2];
  FUZZ_CHECK(pipe(pipefd) == 0);
  std::vector<int> passing(nfds);
  for (size_t i = 0; i < nfds; ++i) passing[i] = pipefd[i % 2];
  std::vector<char> control(CMSG_SPACE(nfds * sizeof(int)), 0);
  msghdr out{};
  iovec ov{sent.data(), sent.size()};
  out.msg_iov = &ov;
  out.msg_iovlen = 1;
  out.msg_control = control.data();
  out.msg_controllen = control.size();
  cmsghdr* c = CMSG_FIRSTHDR(&out);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(nfds * sizeof(int));
  memcpy(CMSG_DATA(c), passing.data(), nfds * sizeof(int));
  FUZZ_CHECK(sendmsg(sv[1], &out, 0) == static_cast<ssize_t>(sent.size()));
  shutdown(sv[1], SHUT_WR);

  // The host's vector: up to three pieces of sizes from the shape byte.
  std::vector<std::vector<char>> pieces;
  for (int i = 0, k = 1 + (shape & 3) % 3; i < k; ++i) pieces.emplace_back(rng.upto(64 + sent.size()));
  std::vector<iovec> iov;
  size_t room = 0;
  for (auto& p : pieces) iov.push_back({p.data(), p.size()}), room += p.size();
  std::vector<char> rcontrol(CMSG_SPACE(8 * sizeof(int)), 0);
  msghdr msg{};
  msg.msg_iov = iov.data();
  msg.msg_iovlen = iov.size();
  msg.msg_control = rcontrol.data();
  msg.msg_controllen = rcontrol.size();
  const ssize_t rc = recvmsg(sv[0], &msg, 0);
  FUZZ_CHECK(rc > 0);
  int got_fds[mp::kMaxFds];
  const size_t n = mp::passed_fds(&msg, got_fds);
  FUZZ_CHECK(n == nfds);
  for (size_t i = 0; i < n; ++i) {
    FUZZ_CHECK(got_fds[i] >= 0 && got_fds[i] < en_fd_max);
    en_mfd[got_fds[i]] = mfd{};
  }
  const ssize_t host = mp::take_prefix(sv[0], &msg, 0, rc, got_fds, n);
  FUZZ_CHECK(host >= 0 && static_cast<size_t>(host) <= room);

  std::string seen;
  for (size_t i = 0; i < iov.size() && seen.size() < static_cast<size_t>(host); ++i)
    seen.append(pieces[i].data(), std::min(pieces[i].size(), static_cast<size_t>(host) - seen.size()));
  const size_t len = mp::prefix_length(nfds);
  int32_t first = 0;
  memcpy(&first, sent.data(), std::min<size_t>(sent.size(), 4));
  if (sent.size() >= 4 && first != 0) {
    FUZZ_CHECK(seen == sent.substr(0, seen.size()) && seen.size() == static_cast<size_t>(rc));
  } else if (well_formed) {
    for (size_t i = 0; i < n; ++i) FUZZ_CHECK(en_mfd[got_fds[i]].info == infos[i]);
    FUZZ_CHECK(seen == sent.substr(len, seen.size()));
  }
  for (size_t i = 0; i < n; ++i) close(got_fds[i]);
  close(pipefd[0]);
  close(pipefd[1]);
  close(sv[0]);
  close(sv[1]);
  return 0;
}
