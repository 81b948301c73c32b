// The master link's wire format, shared by the relay, the adapter's sender
// threads and the development master: a 4-byte big-endian length, then a
// 28-byte header of fixed-width texts, then the body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/tav_be.h"

struct _tavMasterbuf {
  tav::be32 pksz;  // bytes that follow this field
};
static_assert(sizeof(_tavMasterbuf) == 4);

struct _tavMasterhdr {
  char id[4];       // "$TAV"
  char mtype[1];    // "0" request, "1" reply
  char trcode[10];  // message code
  char rtype[1];    // "2"
  char trnum[2];    // two zero bytes
  char ercode[5];   // "00000" success, anything else a refusal
  char etc[5];      // five spaces
};
static_assert(sizeof(_tavMasterhdr) == 28);
static_assert(offsetof(_tavMasterhdr, mtype) == 4);
static_assert(offsetof(_tavMasterhdr, trcode) == 5);
static_assert(offsetof(_tavMasterhdr, rtype) == 15);
static_assert(offsetof(_tavMasterhdr, trnum) == 16);
static_assert(offsetof(_tavMasterhdr, ercode) == 18);
static_assert(offsetof(_tavMasterhdr, etc) == 23);

namespace tav::master {

inline constexpr char kOpen[] = "SSSC000000";       // session opening
inline constexpr char kPoll[] = "SSSP000000";       // poll
inline constexpr char kGtuidBatch[] = "MZZP000001"; // type-1 records, 288 bytes each
inline constexpr char kTcodeBatch[] = "MZZP000002"; // type-2 records, 104 bytes each
inline constexpr char kTcode4Batch[] = "MZZP000004";// type-4 records, 168 bytes each
inline constexpr char kOk[] = "00000";

inline constexpr size_t kLenField = sizeof(_tavMasterbuf);
inline constexpr size_t kHeader = sizeof(_tavMasterhdr);
// A batch: length field, header, record count (big-endian), four zero bytes,
// then the records back to back.
inline constexpr size_t kBatchCountAt = kLenField + kHeader;  // 32
inline constexpr size_t kBatchRecordsAt = kBatchCountAt + 8;  // 40
// The length field of a batch counts from the header: 36 + size * n.
constexpr uint32_t batch_length(size_t record_size, size_t n) {
  return static_cast<uint32_t>(kBatchRecordsAt - kLenField + record_size * n);
}

// Session opening message: 261 bytes, length field 257. Offsets from the
// start of the message; the body is space-filled and texts carry no NUL.
inline constexpr size_t kOpenSize = 261;
inline constexpr size_t kOpenAgentAt = 32, kOpenAgentLen = 33;    // "%s_%d", NUL, last byte space
inline constexpr size_t kOpenAliasAt = 65, kOpenAliasLen = 64;
inline constexpr size_t kOpenHostAt = 129, kOpenHostLen = 32;
inline constexpr size_t kOpenIpAt = 161, kOpenIpLen = 15;
inline constexpr size_t kOpenDomainAt = 176, kOpenDomainLen = 32;
inline constexpr size_t kOpenProdAt = 208, kOpenProdLen = 2;
inline constexpr size_t kOpenStartAt = 210, kOpenStartLen = 14;  // YYYYMMDDhhmmss
inline constexpr size_t kOpenCodeAt = 256, kOpenCodeLen = 5;     // "00000"

// Fills a header as the relay builds it: "$TAV", the type, the code, "2",
// two zero bytes, "00000", five spaces.
inline void fill_header(_tavMasterhdr& h, char mtype, const char* code) {
  memcpy(h.id, "$TAV", 4);
  h.mtype[0] = mtype;
  memcpy(h.trcode, code, sizeof h.trcode);
  h.rtype[0] = '2';
  h.trnum[0] = h.trnum[1] = 0;
  memcpy(h.ercode, kOk, sizeof h.ercode);
  memset(h.etc, ' ', sizeof h.etc);
}

inline bool is_code(const _tavMasterhdr& h, const char* code) {
  return memcmp(h.trcode, code, sizeof h.trcode) == 0;
}

}  // namespace tav::master
