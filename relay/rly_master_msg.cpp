#include "rly_master_msg.h"

#include <cstdio>
#include <cstring>

#include "rly_state.h"

using namespace tav::master;

rly_master_kind rly_master_classify(const _tavMasterhdr& h) {
  if (h.mtype[0] == '0' && is_code(h, kPoll)) return RLY_MASTER_POLL;
  if (h.mtype[0] == '1' && is_code(h, kOpen))
    return memcmp(h.ercode, kOk, sizeof h.ercode) == 0 ? RLY_MASTER_OPEN_OK : RLY_MASTER_OPEN_REFUSED;
  return RLY_MASTER_OTHER;
}

namespace {
// Copies a text without its terminator, cut to the field.
void field(unsigned char* msg, size_t at, size_t len, const char* text) {
  size_t n = strnlen(text, len);
  memcpy(msg + at, text, n);
}
}  // namespace

void rly_build_open(unsigned char out[kOpenSize], int session) {
  memset(out, ' ', kOpenSize);
  reinterpret_cast<_tavMasterbuf*>(out)->pksz = static_cast<uint32_t>(kOpenSize - kLenField);
  fill_header(*reinterpret_cast<_tavMasterhdr*>(out + kLenField), '0', kOpen);
  // "<agent>_<n>" and a NUL within the first 32 bytes; the last byte stays a space.
  char name[sizeof en_agent + 16];
  snprintf(name, sizeof name, "%.*s_%d", static_cast<int>(sizeof en_agent), en_agent, session + 1);
  const size_t n = strnlen(name, kOpenAgentLen - 2);
  memcpy(out + kOpenAgentAt, name, n);
  out[kOpenAgentAt + n] = '\0';
  field(out, kOpenAliasAt, kOpenAliasLen, en_agtalias);
  field(out, kOpenHostAt, kOpenHostLen, en_hostname);
  field(out, kOpenIpAt, kOpenIpLen, en_ipaddr);
  field(out, kOpenDomainAt, kOpenDomainLen, en_domainname);
  field(out, kOpenProdAt, kOpenProdLen, en_prodcode);
  field(out, kOpenStartAt, kOpenStartLen, en_starttime);
  memcpy(out + kOpenCodeAt, kOk, kOpenCodeLen);
}

void rly_build_poll(unsigned char out[RLY_POLL_SIZE], const _tavMasterhdr* received, char mtype) {
  reinterpret_cast<_tavMasterbuf*>(out)->pksz = static_cast<uint32_t>(kHeader);
  auto* h = reinterpret_cast<_tavMasterhdr*>(out + kLenField);
  if (!received) {
    fill_header(*h, '0', kPoll);
    return;
  }
  memcpy(h, received, kHeader);
  h->mtype[0] = mtype;
  memcpy(h->ercode, kOk, sizeof h->ercode);
}
