// The record ring as its reader sees it: a segment that every process of
// the host may write, so anything may be in it.
//
// Input: a family byte, then operations on a fresh ring of the smallest
// size: records put by producers, positions reserved and never published
// (a writer killed between the steps), bytes of the segment overwritten
// anywhere, and reader passes. Checked beside "no crash":
//  - the reader's check accepts the segment only with a geometry that fits
//    its bytes, and nothing outside them is touched (exact-size heap buffer);
//  - a pass ends within a lap and a half of positions, whatever the slots say;
//  - a record taken has the size its kind has in the ring's family, never
//    more than a slot holds;
//  - while nobody overwrote the segment, the reader takes exactly the
//    records that were published, in order and byte for byte.
#include <cstring>
#include <deque>
#include <new>
#include <string>

#include "base/tav_ring.h"
#include "fuzz_check.h"
#include "rly_ring.h"

namespace {

namespace ring = tav::ring;
using qel::fuzz::Cursor;

constexpr uint32_t kSlots = ring::kMinSlots;
constexpr size_t kBytes = ring::bytes_for(kSlots);

struct Segment {
  void* base = ::operator new(kBytes, std::align_val_t{64});
  ~Segment() { ::operator delete(base, std::align_val_t{64}); }
  uint8_t* bytes() const { return static_cast<uint8_t*>(base); }
};

struct Record {
  uint32_t kind;
  std::string bytes;
  bool rejected;  // not a record of the family: the reader drops it
};

// One reader pass from `tail`, as the relay's reader goes: published
// records are taken, freed slots passed, unpublished ones given up.
void pass(const ring::View& v, ring::Family family, uint64_t& tail, std::deque<Record>* want,
          bool trusted) {
  for (uint64_t steps = 0;; ++steps) {
    FUZZ_CHECK(steps <= kSlots + kSlots / 2);
    uint64_t seen = 0;
    const ring::Peek p = ring::peek(v, tail, &seen);
    if (p == ring::Peek::kEmpty) {
      ring::repair_empty(v, tail, seen);
      return;
    }
    if (p == ring::Peek::kSpoiled) {
      FUZZ_CHECK(!trusted);
      return;
    }
    if (p == ring::Peek::kReady) {
      const ring::Slot& s = ring::slot_at(v, tail);
      const uint32_t size = s.size, kind = s.kind;
      const uint32_t record = rly_ring_record_size(family, kind);
      if (record != 0 && record == size) {
        FUZZ_CHECK(size <= ring::kPayloadMax);
        const std::string got(reinterpret_cast<const char*>(s.payload), size);
        if (trusted) {
          FUZZ_CHECK(!want->empty());
          FUZZ_CHECK(!want->front().rejected);
          FUZZ_CHECK(want->front().kind == kind && want->front().bytes == got);
          want->pop_front();
        }
      } else if (trusted) {
        FUZZ_CHECK(!want->empty() && want->front().rejected && want->front().kind == kind);
        want->pop_front();
      }
      ring::release(v, tail);
    } else if (p == ring::Peek::kPending) {
      if (!ring::skip(v, tail, seen)) continue;  // published after all
    }
    ++tail;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Cursor in{data, size};
  const ring::Family family = in.byte() & 1 ? ring::kTcodeFamily : ring::kGtuidFamily;
  Segment seg;
  ring::format(seg.base, kSlots, family, 0x4242, 99, 0600, 1);
  ring::View v;
  FUZZ_CHECK(ring::check(seg.base, kBytes, &v) == ring::OpenResult::kOpened);

  static const uint32_t kinds[2][4] = {{1, 1, 1, 3}, {2, 4, 6, 1}};
  std::deque<Record> want;
  uint64_t tail = 0;
  bool trusted = true;
  while (in.n > 0) {
    const uint8_t op = in.byte();
    switch (op % 5) {
      case 0:
      case 1: {  // a producer's record
        const uint32_t kind = kinds[family][op >> 6];
        const uint32_t record = rly_ring_record_size(family, kind);
        const size_t len = record ? record : in.byte();
        std::string bytes(len, static_cast<char>(in.byte()));
        if (ring::put(v, kind, bytes.data(), bytes.size()) == ring::Put::kDone)
          want.push_back({kind, bytes, record == 0});
        break;
      }
      case 2: {  // reserved, never published
        ring::Reservation r;
        ring::reserve(v, &r);
        break;
      }
      case 3: {  // anyone may write the segment
        const size_t at = (size_t{in.byte()} << 8 | in.byte()) * 7 % kBytes;
        seg.bytes()[at] = in.byte();
        trusted = false;
        break;
      }
      case 4:
        pass(v, family, tail, &want, trusted);
        break;
    }
  }
  pass(v, family, tail, &want, trusted);
  if (trusted) FUZZ_CHECK(want.empty());

  // A later reader attaching the same bytes checks them again.
  ring::View again;
  if (ring::check(seg.base, kBytes, &again) == ring::OpenResult::kOpened) {
    FUZZ_CHECK(ring::capacity_ok(static_cast<uint32_t>(again.capacity())));
    FUZZ_CHECK(ring::bytes_for(static_cast<uint32_t>(again.capacity())) <= kBytes);
    uint64_t t = again.h->tail;
    pass(again, family, t, nullptr, false);
  }
  return 0;
}
