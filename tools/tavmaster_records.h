// Batches of monitoring records as they arrive from a relay or from an
// adapter link, and their records as JSON lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/tav_mzp.h"
#include "base/tav_master_proto.h"

namespace tavmaster {

// A record on the wire is the queue message without its leading 8-byte
// message type: the bytes from the identifier text to the end.
template <typename T>
inline constexpr size_t kWireSize = sizeof(T) - offsetof(T, gtuid);

inline constexpr size_t kGtuidRecord = kWireSize<mzp1_t>;
inline constexpr size_t kTcode2Record = kWireSize<mzp2_t>;
inline constexpr size_t kTcode4Record = kWireSize<mzp4_t>;
static_assert(kGtuidRecord == 288);
static_assert(kTcode2Record == 104);
static_assert(kTcode4Record == 168);
static_assert(offsetof(mzp1_t, gtuid) == sizeof(long));

// The fixed part of a batch message in front of its records.
struct BatchHead {
  _tavMasterbuf frame;
  _tavMasterhdr hdr;
  tav::be32 count;
  uint8_t reserved[4];
};
static_assert(sizeof(BatchHead) == tav::master::kBatchRecordsAt);
static_assert(offsetof(BatchHead, count) == tav::master::kBatchCountAt);

struct BatchKind {
  const char* code;  // message code, 10 characters
  int type;          // record type: 1, 2 or 4
  size_t record_size;
};

// The kind of batch a header announces, or nullptr when it announces none.
const BatchKind* batch_kind(const _tavMasterhdr& hdr);

enum class BatchError {
  kNone,
  kShort,         // not even the count field is there
  kSizeMismatch,  // count × record size is not what the message holds
};

// Checks a whole batch message (length field included) against its kind and
// returns its record count in *count.
BatchError check_batch(const uint8_t* msg, size_t size, const BatchKind& kind, uint32_t* count);

// Where a record came from: the master's session number and the peer's
// address and port.
struct Origin {
  uint64_t session;
  std::string_view peer;
};

// Appends one JSON line for one wire record of the given kind.
void append_record_json(std::string& out, const Origin& origin, const BatchKind& kind,
                        const uint8_t* wire);

// Appends one JSON line per record of a checked batch message.
void append_batch_json(std::string& out, const Origin& origin, const BatchKind& kind,
                       const uint8_t* msg, uint32_t count);

// Appends one JSON line for a message that is neither an opening, a poll nor
// a batch (the adapter's serialised packets): its code and type, its size
// and the first bytes of its body as text.
void append_message_json(std::string& out, const Origin& origin, const uint8_t* msg, size_t size);
inline constexpr size_t kMessageBodyShown = 4096;

}  // namespace tavmaster
