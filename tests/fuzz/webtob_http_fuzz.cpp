// WebtoB build: what the HTTP handler's reads and writes look at, requests
// from clients and framed answers from service processes.
//
// Input: a flags byte (bit 0 an active transaction on the answers), a
// buffer room byte, two seed bytes (read sizes), a request length byte, the
// request, then the answer stream. Checked beside "no crash":
//  - a request read never grows beyond the host's buffer (an exact-size
//    heap buffer); when it grows, it grew by the header line alone, put
//    after the request line, and writing the request on hands its
//    transaction back to the thread;
//  - an answer read is never asked for, nor returns, more than the buffer;
//    the header bytes collected and the block bytes owed stay within their
//    arrays;
//  - without a transaction the answers reach the host unchanged, whatever
//    the cuts.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/tav_tables.h"
#include "fuzz_check.h"
#include "servers/webtob/tav_webtob.h"
#include "servers/webtob/tav_webtob_io.h"

namespace {

namespace wt = tav::webtob;
using qel::fuzz::Cursor;

constexpr int kEntry = 40, kService = 41;  // descriptor numbers, never opened

void active(mthr& m) {
  memcpy(m.gtuid.init, TAV_GTUID_INIT, 4);
  memset(m.gtuid.gtuid, 12, sizeof m.gtuid.gtuid);
  m.gtuid.gflag = 1;
}

void request(mthr& m, const std::string& req, size_t room) {
  wt::forget(kEntry);
  mfd& r = en_mfd[kEntry];
  r = mfd{};
  r.info = MFD_START | MFD_FIRSTREAD | MFD_INET;
  std::vector<char> buf(req.size() + room);
  memcpy(buf.data(), req.data(), req.size());
  active(m);
  const ssize_t rc = wt::request_read(&m, kEntry, r, buf.data(), buf.size(), static_cast<ssize_t>(req.size()));
  FUZZ_CHECK(rc >= static_cast<ssize_t>(req.size()) && static_cast<size_t>(rc) <= buf.size());
  const std::string got(buf.data(), static_cast<size_t>(rc));
  if (got.size() == req.size()) {
    FUZZ_CHECK(got == req);
    return;
  }
  const std::string line = std::string(wt::kTraceKey) + ": 0040\r\n";
  const size_t at = req.find("\r\n") + 2;
  FUZZ_CHECK(got.size() == req.size() + line.size());
  FUZZ_CHECK(got.compare(at, line.size(), line) == 0);
  FUZZ_CHECK(got.substr(0, at) + got.substr(at + line.size()) == req);
  // Written on to a service process behind a 96-byte header: the request's
  // transaction is the thread's again.
  mthr other{};
  const std::string wire = std::string(96, 'h') + got;
  const std::vector<char> out(wire.begin(), wire.end());
  wt::request_write(&other, out.data(), out.size());
  FUZZ_CHECK(memcmp(&other.gtuid.gtuid, &m.gtuid.gtuid, sizeof m.gtuid.gtuid) == 0);
  FUZZ_CHECK(en_webtob_gtuid[kEntry].rbyte == 0);
}

std::string answers(mthr& m, const std::vector<uint8_t>& s, bool with_block, qel::fuzz::Rng& rng) {
  wt::forget(kService);
  mfd& r = en_mfd[kService];
  r = mfd{};
  r.info = MFD_SERVICE | MFD_FIRSTREAD | MFD_INET;
  webtob_gtuid& w = en_webtob_gtuid[kService];
  if (with_block) active(m), w.gtuid = m.gtuid;
  std::string host;
  for (size_t at = 0, reads = 0; at < s.size() || w.bpend > 0; ++reads) {
    FUZZ_CHECK(reads <= 2 * s.size() + 200);
    const size_t n = rng.upto(400);
    std::vector<char> buf(n);
    const ssize_t owed = wt::answer_owed(kService, buf.data(), n);
    if (owed >= 0) {
      FUZZ_CHECK(static_cast<size_t>(owed) <= n);
      host.append(buf.data(), static_cast<size_t>(owed));
      continue;
    }
    if (at >= s.size()) break;
    const size_t cap = wt::answer_cap(&m, kService, r, n);
    FUZZ_CHECK(cap >= 1 && cap <= n);
    const size_t got = std::min(cap, s.size() - at);
    memcpy(buf.data(), s.data() + at, got);
    at += got;
    const ssize_t rc = wt::answer_read(&m, kService, r, buf.data(), n, static_cast<ssize_t>(got));
    FUZZ_CHECK(rc >= static_cast<ssize_t>(got) && static_cast<size_t>(rc) <= n);
    FUZZ_CHECK(w.hgot >= 0 && w.hgot < 96 && w.bpend >= 0 && w.bpend <= 96 && w.rbyte >= 0);
    host.append(buf.data(), static_cast<size_t>(rc));
  }
  return host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<mfd> fds(64);
  en_mfd = fds.data();
  en_fd_max = static_cast<int>(fds.size());
  tav_webtob_proc = TAV_WEBTOB_HTH;
  static const bool made = wt::make_records();
  FUZZ_CHECK(made && en_webtob_gtuid);

  Cursor in{data, size};
  const uint8_t flags = in.byte();
  const size_t room = in.byte();
  qel::fuzz::Rng rng = qel::fuzz::rng_from(in);
  std::string req;
  for (int k = in.byte(); k > 0 && in.n > 0; --k) req.push_back(static_cast<char>(in.byte()));
  const std::vector<uint8_t> stream = in.rest();

  auto m = std::make_unique<mthr>();
  if (!req.empty()) request(*m, req, room);
  const std::string host = answers(*m, stream, flags & 1, rng);
  if (!(flags & 1)) FUZZ_CHECK(host == std::string(stream.begin(), stream.end()));
  m->gtuid.gflag = 0;
  return 0;
}
