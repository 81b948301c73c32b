// Messages of the master link that the relay builds and reads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/tav_master_proto.h"

// Largest length field accepted from a master. The master sends only polls
// and opening replies, whose bodies are not read; anything announcing more
// closes the session before a byte of it is allocated.
inline constexpr uint32_t RLY_MASTER_MSG_MAX = 65536;

// What a message from the master asks of the relay.
enum rly_master_kind {
  RLY_MASTER_POLL,          // "0" "SSSP000000": answer with the header back
  RLY_MASTER_OPEN_OK,       // "1" "SSSC000000" with "00000": the session is accepted
  RLY_MASTER_OPEN_REFUSED,  // "1" "SSSC000000" with any other code: close
  RLY_MASTER_OTHER,         // anything else: ignored
};

// A length field from the master is usable when it covers at least a header
// and stays within the bound.
inline bool rly_master_length_ok(uint32_t len) {
  return len >= tav::master::kHeader && len <= RLY_MASTER_MSG_MAX;
}

rly_master_kind rly_master_classify(const _tavMasterhdr& h);

// The 261-byte opening request of session `session` (0-based) from the
// agent, alias, host, address, domain, product code and start time settings.
void rly_build_open(unsigned char out[tav::master::kOpenSize], int session);

// A 32-byte poll message: with `received` null a fresh request header
// ("0" "SSSP000000"); otherwise the received header with only its type set to
// `mtype` and its result code to "00000".
void rly_build_poll(unsigned char out[32], const _tavMasterhdr* received, char mtype);
inline constexpr size_t RLY_POLL_SIZE = tav::master::kLenField + tav::master::kHeader;
