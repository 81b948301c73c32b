// The relay's reading of what its master sends, over a real socket pair:
// whole messages by their length field, each answered as its header asks.
//
// Input: the byte stream the master sends. Checked beside "no crash":
//  - the relay answers exactly the polls an independent reading of the
//    stream finds before the first message it must refuse, each with the
//    poll's own header, typed "1" and coded "00000";
//  - the session ends (its descriptor closed) at the first length out of
//    bounds, a refused opening or the end of the stream, and never before;
//  - the message buffer never grows beyond the largest length accepted.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "rly_master.h"
#include "rly_master_msg.h"
#include "rly_state.h"

namespace {

using namespace tav::master;

// The polls the relay must answer, as the answers it must write.
std::string expected_answers(const uint8_t* p, size_t n, size_t* messages) {
  std::string out;
  *messages = 0;
  for (size_t at = 0; n - at >= kLenField;) {
    const uint32_t len = uint32_t{p[at]} << 24 | p[at + 1] << 16 | p[at + 2] << 8 | p[at + 3];
    if (len < kHeader || len > RLY_MASTER_MSG_MAX || n - at - kLenField < len) break;
    ++*messages;
    const uint8_t* h = p + at + kLenField;
    const bool poll = h[4] == '0' && memcmp(h + 5, kPoll, 10) == 0;
    const bool open = h[4] == '1' && memcmp(h + 5, kOpen, 10) == 0;
    if (poll) {
      std::string answer = std::string("\0\0\0\x1c", 4) + std::string(reinterpret_cast<const char*>(h), kHeader);
      answer[kLenField + 4] = '1';
      memcpy(&answer[kLenField + offsetof(_tavMasterhdr, ercode)], kOk, 5);
      out += answer;
    }
    if (open && memcmp(h + offsetof(_tavMasterhdr, ercode), kOk, 5) != 0) break;  // refused: the session ends
    at += kLenField + len;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    en_master_max_cnt = 1;
    en_master_ptime = 1;
    return rly_sessions_alloc() == 0;
  }();
  FUZZ_CHECK(ready);

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  FUZZ_CHECK(sv[0] > 0);
  size_t sent = 0;
  while (sent < size) {
    const ssize_t w = write(sv[1], data + sent, size - sent);
    FUZZ_CHECK(w > 0);
    sent += static_cast<size_t>(w);
  }
  shutdown(sv[1], SHUT_WR);
  en_master_fd[0] = sv[0];

  size_t messages = 0;
  const std::string want = expected_answers(data, size, &messages);
  // Answers are taken as they are written: once the relay closes its end
  // with bytes unread, the socket pair drops what is queued.
  std::string got;
  char buf[4096];
  size_t served = 0;
  while (rly_master_service(0) == 0) {
    ++served;
    for (ssize_t r; (r = recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      got.append(buf, static_cast<size_t>(r));
    FUZZ_CHECK(served <= messages);
    FUZZ_CHECK(en_data_sz <= static_cast<int>(RLY_MASTER_MSG_MAX + kLenField));
  }
  FUZZ_CHECK(en_master_fd[0] <= 0);  // closed by the relay
  // A refused opening was read, and so counted, but not served.
  FUZZ_CHECK(served == messages || served + 1 == messages);

  close(sv[1]);
  if (got != want) fprintf(stderr, "answers: %zu bytes, expected %zu\n", got.size(), want.size());
  FUZZ_CHECK(got == want);
  return 0;
}
