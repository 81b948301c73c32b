// Tmax build: the header forms and the following of messages read by a
// client handler or a gateway, whatever the cuts of its reads.
//
// Input: a class byte (bit 0 gateway, bit 1 well formed, bit 2 the long
// header form), two seed bytes (read sizes), then the stream itself or, well
// formed, messages (count, then header bytes, body length and body each).
// The stream is read twice as the read override reads it (the length capped
// before, the header collected across reads, the message followed after):
// once with reads as large as the capping allows, once with reads of
// arbitrary sizes. Checked beside "no crash":
//  - the header form found opens a known header no longer than the record
//    keeps, and the exclusion check reads only the header it is given;
//  - a read is never asked for more than the host asked;
//  - the header bytes collected stay below the header's size, and the body
//    count never goes below "complete";
//  - for a stream of messages, both readings see the same headers end at
//    the same stream offsets, and leave the descriptor in the same state.
#include <cstring>
#include <memory>
#include <vector>

#include "core/tav_tables.h"
#include "fuzz_check.h"
#include "servers/tmax/tav_tmax.h"
#include "servers/tmax/tav_tmax_io.h"

namespace {

namespace tx = tav::tmax;
using qel::fuzz::Cursor;

constexpr int kFd = 5;

struct Reading {
  std::vector<size_t> header_ends;
  int info = 0, rsize = 0, rbyte = 0, hgot = 0;
  bool operator==(const Reading&) const = default;
};

Reading read_stream(const std::vector<uint8_t>& s, qel::fuzz::Rng* cuts) {
  mfd& r = en_mfd[kFd];
  r = mfd{};
  // A client handler follows its entry connections; a gateway follows a
  // connection once its greeting made it a service connection (reads that
  // do not follow look at whole reads only, so depend on their cuts).
  r.info = MFD_START | MFD_FIRSTREAD | MFD_INET | (tav_tmax_proc == TAV_TMAX_GW ? MFD_SERVICE : 0);
  tx::forget(kFd);
  auto m = std::make_unique<mthr>();

  Reading out;
  // The form comes from the first bytes, as the peek before the first read
  // finds it.
  if (s.size() >= 4) {
    tx::header_check(1, kFd, s.data(), 4, 0);
    FUZZ_CHECK(r.hsize >= 0 && r.hsize <= static_cast<int>(tx::kHeaderMax));
  }
  for (size_t at = 0, reads = 0; at < s.size(); ++reads) {
    FUZZ_CHECK(reads <= s.size());
    const size_t asked = cuts ? cuts->upto(200) : 65536;
    size_t n = asked;
    if (tx::following(r)) n = tx::before_read(m.get(), kFd, r, n);
    FUZZ_CHECK(n <= asked);
    if (n == 0) n = asked;  // nothing capped it: a plain read
    const size_t rc = std::min(n, s.size() - at);
    std::vector<uint8_t> buf(s.begin() + at, s.begin() + at + rc);  // exact size
    const bool follow = tx::following(r);
    const tx::Seen seen = tx::header_read(kFd, r, follow, buf.data(), static_cast<ssize_t>(rc));
    if (seen.head) out.header_ends.push_back(at + static_cast<size_t>(r.hsize) - seen.before);
    tx::recognise(kFd, r, seen, buf.data(), static_cast<ssize_t>(rc));
    if (follow) tx::after_read(m.get(), kFd, r, seen, buf.data(), static_cast<ssize_t>(rc));
    const tmax_gtuid& t = en_tmax_gtuid[kFd];
    FUZZ_CHECK(t.hgot >= 0 && (r.hsize <= 0 || t.hgot < r.hsize));
    FUZZ_CHECK(t.rbyte == 0 || t.rbyte >= 96 || !follow);
    at += rc;
  }
  const tmax_gtuid& t = en_tmax_gtuid[kFd];
  out.info = r.info;
  out.rsize = r.rsize;
  out.rbyte = t.rbyte;
  out.hgot = t.hgot;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<mfd> fds(64);
  en_mfd = fds.data();
  en_fd_max = static_cast<int>(fds.size());
  Cursor in{data, size};
  const uint8_t cls = in.byte();
  tav_tmax_proc = cls & 1 ? TAV_TMAX_GW : TAV_TMAX_CLH;
  static const bool made = tx::make_records();
  FUZZ_CHECK(made && en_tmax_gtuid);
  qel::fuzz::Rng rng = qel::fuzz::rng_from(in);
  const bool well_formed = cls & 2;
  std::vector<uint8_t> stream;
  if (well_formed) {
    // Messages of one header form: the header's own bytes from the input,
    // its body length in host order at the form's offset, then the body.
    const bool long_form = cls & 4;
    const size_t hsize = long_form ? 136 : 96, doffs = long_form ? 100 : 84;
    static constexpr uint8_t kShort[4] = {0x00, 0x00, 0x27, 0x0F}, kLong[4] = {0x90, 0x35, 0x20, 0x82};
    for (int k = 1 + in.byte() % 6; k > 0; --k) {
      std::vector<uint8_t> head(hsize);
      memcpy(head.data(), long_form ? kLong : kShort, 4);
      for (size_t i = 4; i < hsize; ++i) head[i] = in.byte();
      const int32_t body = in.byte();
      memcpy(head.data() + doffs, &body, 4);
      stream.insert(stream.end(), head.begin(), head.end());
      for (int32_t i = 0; i < body; ++i) stream.push_back(in.byte());
    }
  } else {
    stream = in.rest();
  }

  // The form and the exclusion check on exactly the bytes given.
  for (size_t k = 0; k <= std::min<size_t>(stream.size(), tx::kHeaderMax); k += 1 + (cls >> 4)) {
    const std::vector<uint8_t> head(stream.begin(), stream.begin() + k);
    tx::Form f{0, 0, 0, 0};
    if (tx::header_form(head.data(), head.size(), f)) {
      FUZZ_CHECK(f.hform == 3 || f.hform == 4 || f.hform == 7);
      FUZZ_CHECK(f.hsize >= 0 && f.hsize <= static_cast<int>(tx::kHeaderMax));
      mfd& r = en_mfd[kFd];
      r = mfd{};
      r.hsize = f.hsize;
      r.doffs = f.doffs;
      r.svcsz = f.svcsz;
      tav_tmax_gexcept(nullptr, kFd, head.data(), head.size());
    }
  }

  const Reading whole = read_stream(stream, nullptr);
  const Reading cut = read_stream(stream, &rng);
  // Bytes that are no message are judged by the reads they come in: a
  // header is looked for again at the next read. Only messages are followed
  // alike for any cut.
  if (!well_formed) return 0;
  FUZZ_CHECK(whole.header_ends == cut.header_ends);
  if (!(whole == cut))
    fprintf(stderr, "whole: info %#x rsize %d rbyte %d hgot %d; cut: info %#x rsize %d rbyte %d hgot %d\n",
            whole.info, whole.rsize, whole.rbyte, whole.hgot, cut.info, cut.rsize, cut.rbyte, cut.hgot);
  FUZZ_CHECK(whole == cut);
  return 0;
}
