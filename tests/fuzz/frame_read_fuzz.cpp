// The host's reads of a framed connection, over a real socket pair: a
// stream cut at arbitrary points into writes, read with reads of arbitrary
// sizes, on a blocking and on a non-blocking model of the descriptor.
//
// Input: a mode byte, two seed bytes (cuts and read sizes), then either the
// messages of a well-formed stream (flag, length, payload each) or, in raw
// mode, the stream itself. Checked beside "no crash":
//  - a well-formed stream is taken for a framed one by the first-read test,
//    and the host gets exactly the payloads, in order, one block per message;
//  - a stream the first-read test refuses reaches the host byte for byte;
//  - no read returns more than asked or fails otherwise than with EAGAIN on
//    the non-blocking model, and the bytes kept on the descriptor stay
//    within its block buffer.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/tav_real.h"
#include "core/tav_frame.h"
#include "core/tav_tables.h"
#include "fuzz_check.h"

namespace {

constexpr uint8_t kMarker[4] = {0x02, 0x0A, 0x24, 0x0F};

using qel::fuzz::Cursor;
using qel::fuzz::Rng;

std::string block(uint8_t flag, uint32_t pck) {
  gtuid_t b{};
  memcpy(b.init, kMarker, sizeof kMarker);
  b.gflag = flag;
  memset(b.gtuid, 7, sizeof b.gtuid);
  b.pck = pck;
  return std::string(reinterpret_cast<const char*>(&b), sizeof b);
}

struct Count {
  int blocks = 0;
};

void on_block(void* ctx, const gtuid_t& b) {
  FUZZ_CHECK(tav::block_valid(b));
  ++static_cast<Count*>(ctx)->blocks;
}

struct Reader {
  int fd;
  mfd r{};
  bool nonblocking;
  bool use_recv;
  Rng& rng;
  Count count;
  std::string host;
  bool ended = false;

  int flags() const { return use_recv ? (nonblocking ? MSG_DONTWAIT : 0) : -1; }
  // Reads as the host does until the descriptor has nothing more for now.
  void drain() {
    for (int calls = 0; !ended; ++calls) {
      FUZZ_CHECK(calls < 100000);
      if (!(r.info & MFD_FIRSTREAD)) {
        int cont = 0;
        const int rc = tav::recv_check(fd, r, use_recv && nonblocking ? MSG_DONTWAIT : 0, cont);
        FUZZ_CHECK(r.rhave >= 0 && r.rhave <= 5);
        if (!cont) {
          if (rc == 0) ended = true;
          else FUZZ_CHECK(rc < 0 && errno == EAGAIN && nonblocking);
          return;
        }
        continue;
      }
      char buf[512];
      const size_t n = rng.upto(sizeof buf);
      errno = 0;
      ssize_t rc;
      if (r.info & MFD_SERVICE) {
        rc = tav::service_read(fd, r, buf, n, flags(), on_block, &count);
      } else if (r.rowed > 0) {
        rc = tav::give_owed(r, buf, n, false);
      } else if (use_recv) {
        // A connection found plain is read as the host reads it: a receive
        // that must not wait never blocks on a blocking descriptor.
        rc = tav::real::recv(fd, buf, n, flags());
      } else {
        rc = tav::real::read(fd, buf, n);
      }
      FUZZ_CHECK(rc <= static_cast<ssize_t>(n));
      FUZZ_CHECK(r.rhave >= 0 && r.rhave <= static_cast<int>(sizeof r.rblock));
      FUZZ_CHECK(r.rowed >= 0 && r.rowed <= static_cast<int>(sizeof r.rblock));
      if (rc > 0) {
        host.append(buf, static_cast<size_t>(rc));
      } else if (rc == 0) {
        ended = true;
      } else {
        FUZZ_CHECK(nonblocking && errno == EAGAIN);
        return;
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Cursor in{data, size};
  const uint8_t mode = in.byte();
  Rng rng = qel::fuzz::rng_from(in);
  const bool nonblocking = mode & 1, well_formed = mode & 2, use_recv = mode & 4;

  std::string stream, payloads;
  int messages = 0;
  if (well_formed) {
    for (int k = 1 + in.byte() % 8; k > 0; --k) {
      const uint8_t flag = in.byte() & 1;
      const size_t len = in.byte();
      std::string payload;
      for (size_t i = 0; i < len; ++i) payload.push_back(static_cast<char>(in.byte()));
      stream += block(flag, static_cast<uint32_t>(len)) + payload;
      payloads += payload;
      ++messages;
    }
  } else {
    stream.assign(reinterpret_cast<const char*>(in.p), in.n);
  }

  int sv[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, sv) == 0);
  if (nonblocking && !use_recv) FUZZ_CHECK(fcntl(sv[0], F_SETFL, O_NONBLOCK) == 0);
  Reader rd{sv[0], {}, nonblocking, use_recv, rng};
  for (size_t at = 0; at < stream.size();) {
    const size_t piece = std::min(rng.upto(150), stream.size() - at);
    FUZZ_CHECK(tav::real::write(sv[1], stream.data() + at, piece) == static_cast<ssize_t>(piece));
    at += piece;
    if (nonblocking) rd.drain();
  }
  shutdown(sv[1], SHUT_WR);
  // What is left is read to the end; a blocking read then waits for nothing.
  while (!rd.ended) rd.drain();
  close(sv[0]);
  close(sv[1]);

  if (well_formed) {
    FUZZ_CHECK(rd.r.info & MFD_SERVICE);
    FUZZ_CHECK(rd.host == payloads);
    FUZZ_CHECK(rd.count.blocks == messages);
  } else if (!(rd.r.info & MFD_SERVICE)) {
    FUZZ_CHECK(rd.host == stream);
  } else {
    FUZZ_CHECK(rd.host.size() <= stream.size());
  }
  return 0;
}
