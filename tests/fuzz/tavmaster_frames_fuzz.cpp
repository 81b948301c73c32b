// tavmaster's reading of a relay's byte stream: the frame reader, fed the
// stream cut at arbitrary points, and the record decoder on every message.
//
// Input: two seed bytes (the cuts), then the stream. Checked beside "no
// crash": the messages and the final status do not depend on the cuts;
// every message is exactly its length field plus four bytes; a batch that
// passes the check gives one JSON line per record; a message never reads
// past its own bytes (each is copied into an exact-size buffer).
#include <cstring>
#include <string>
#include <vector>

#include "base/tav_master_proto.h"
#include "fuzz_check.h"
#include "tavmaster_frames.h"
#include "tavmaster_records.h"

namespace {

using qel::fuzz::Cursor;
using tavmaster::FrameReader;

constexpr uint32_t kMax = 1 << 16;

struct Run {
  std::vector<std::vector<uint8_t>> messages;
  FrameReader::Status status = FrameReader::Status::kOk;
};

size_t lines(const std::string& s) {
  size_t k = 0;
  for (char c : s) k += c == '\n';
  return k;
}

bool on_message(Run& run, const uint8_t* msg, size_t size) {
  FUZZ_CHECK(size >= tav::master::kLenField + tav::master::kHeader && size <= kMax + 4);
  _tavMasterbuf b;
  memcpy(&b, msg, sizeof b);
  FUZZ_CHECK(b.pksz.get() + tav::master::kLenField == size);
  const std::vector<uint8_t> own(msg, msg + size);
  run.messages.push_back(own);

  const tavmaster::Origin origin{7, "127.0.0.1:9"};
  _tavMasterhdr hdr;
  memcpy(&hdr, own.data() + tav::master::kLenField, sizeof hdr);
  std::string out;
  if (const tavmaster::BatchKind* kind = tavmaster::batch_kind(hdr)) {
    uint32_t count = 0;
    if (tavmaster::check_batch(own.data(), own.size(), *kind, &count) ==
        tavmaster::BatchError::kNone) {
      FUZZ_CHECK(sizeof(tavmaster::BatchHead) + uint64_t{count} * kind->record_size == own.size());
      tavmaster::append_batch_json(out, origin, *kind, own.data(), count);
      FUZZ_CHECK(lines(out) == count);
    }
  } else {
    tavmaster::append_message_json(out, origin, own.data(), own.size());
    FUZZ_CHECK(lines(out) == 1);
  }
  // A JSON line carries no raw control character.
  for (char c : out) FUZZ_CHECK(c == '\n' || static_cast<unsigned char>(c) >= 0x20);
  return true;
}

Run feed_all(const std::vector<uint8_t>& s, qel::fuzz::Rng* cuts) {
  Run run;
  FrameReader reader(kMax);
  auto cb = [&run](const uint8_t* m, size_t n) { return on_message(run, m, n); };
  for (size_t at = 0; at < s.size();) {
    const size_t piece = cuts ? std::min(cuts->upto(300), s.size() - at) : s.size();
    // Each piece in a buffer of its own exact size.
    const std::vector<uint8_t> chunk(s.begin() + at, s.begin() + at + piece);
    run.status = reader.feed(chunk.data(), chunk.size(), cb);
    at += piece;
    if (run.status != FrameReader::Status::kOk) break;
  }
  return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Cursor in{data, size};
  qel::fuzz::Rng rng = qel::fuzz::rng_from(in);
  const std::vector<uint8_t> stream = in.rest();
  const Run whole = feed_all(stream, nullptr);
  const Run cut = feed_all(stream, &rng);
  FUZZ_CHECK(whole.status == cut.status);
  FUZZ_CHECK(whole.messages == cut.messages);
  return 0;
}
