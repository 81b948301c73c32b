// JEUS build: the receipt of the header a request opens with, over a real
// socket pair, on a blocking and on a non-blocking descriptor.
//
// Input: a mode byte (bit 0 non-blocking), the caller's buffer size, then
// the stream. The receipt is called until the stream is used up, each time
// with an exact-size heap buffer of that size. Checked beside "no crash":
//  - nothing is written beyond the caller's buffer, and no call returns
//    more than it holds;
//  - the flag is 0 or 1, and the bytes kept on the descriptor between calls
//    stay within its block buffer;
//  - a stream that opens neither with a block nor with the JEUS header
//    reaches the caller as it was sent;
//  - only a non-blocking descriptor ends a call with EAGAIN.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/tav_gtuid.h"
#include "core/tav_tables.h"
#include "fuzz_check.h"
#include "servers/jeus/tav_jeus.h"

namespace {

constexpr uint8_t kJeus[4] = {0x00, 0x00, 0x27, 0x0F};

bool opens_with(const std::vector<uint8_t>& s, const uint8_t* p) {
  return memcmp(s.data(), p, std::min<size_t>(s.size(), 4)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<mfd> fds(1024);
  en_mfd = fds.data();
  en_fd_max = static_cast<int>(fds.size());
  qel::fuzz::Cursor in{data, size};
  const bool nonblocking = in.byte() & 1;
  const int nbyte = 1 + in.byte() % 200;
  const std::vector<uint8_t> stream = in.rest();

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  FUZZ_CHECK(sv[0] < en_fd_max);
  if (nonblocking) FUZZ_CHECK(fcntl(sv[0], F_SETFL, O_NONBLOCK) == 0);
  FUZZ_CHECK(write(sv[1], stream.data(), stream.size()) == static_cast<ssize_t>(stream.size()));
  shutdown(sv[1], SHUT_WR);
  mfd& r = en_mfd[sv[0]];
  r = mfd{};
  auto m = std::make_unique<mthr>();

  std::string host;
  bool first = true;
  for (int calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= static_cast<int>(stream.size()) + 2);
    std::vector<char> buf(static_cast<size_t>(nbyte));
    int flag = -7;
    errno = 0;
    const int rc = tav_tmrdp_recv(m.get(), sv[0], buf.data(), nbyte, &flag);
    FUZZ_CHECK(flag == 0 || flag == 1);
    FUZZ_CHECK(rc <= nbyte);
    FUZZ_CHECK(r.rhave >= 0 && r.rhave <= static_cast<int>(sizeof r.rblock));
    if (rc < 0 && errno == EAGAIN) {
      FUZZ_CHECK(nonblocking);
      continue;
    }
    if (rc > 0 && flag == 0 && first) host.append(buf.data(), static_cast<size_t>(rc));
    if (rc == 0 && flag == 0) break;  // end of the stream
    if (rc < 0 && flag == 0) break;
    first = false;
    // What follows a header is read by the host itself.
    char rest[4096];
    while (recv(sv[0], rest, sizeof rest, MSG_DONTWAIT) > 0) {
    }
  }
  close(sv[0]);
  close(sv[1]);
  if (!stream.empty() && !opens_with(stream, TAV_GTUID_INIT) && !opens_with(stream, kJeus))
    FUZZ_CHECK(host == std::string(stream.begin(), stream.begin() + std::min<size_t>(host.size(), stream.size())) &&
               !host.empty());
  return 0;
}
