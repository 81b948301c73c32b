#include "rly_batch.h"

#include <algorithm>

#include "base/tav_master_proto.h"

using namespace tav::master;

int rly_margin(int configured) { return configured >= 1 ? std::min(configured, 100) : 30; }

rly_batch_plan rly_batch_plan_for(const rly_build_t& b, int qtype, int gtuid_msend, int tcode_msend) {
  rly_batch_plan p{};
  p.exact = b.exact_sizes;
  if (qtype == 0) {
    p.record = RLY_GTUID_RECORD;
    p.max = RLY_GTUID_MAX;
    p.code = kGtuidBatch;
  } else {
    p.record = b.tcode_record;
    p.max = b.tcode_max;
    p.code = b.tcode_code;
  }
  if (b.exact_sizes) {
    p.threshold = p.max;
    p.limit = RLY_EXACT_RECV_LIMIT;
  } else {
    const int m_g = rly_margin(gtuid_msend);
    const int m_t = rly_margin(tcode_msend);
    p.threshold = p.max - (qtype == 0 ? m_g : m_t);
    // The same limit for both kinds of queue: up to m_g type-1 records.
    p.limit = static_cast<size_t>(RLY_GTUID_RECORD) * m_g + 32;
  }
  return p;
}

size_t rly_recv_room(const rly_batch_plan& p, int n) {
  const size_t at = rly_batch_at(p, n);
  const size_t room = at < RLY_BATCH_BUFFER ? RLY_BATCH_BUFFER - at : 0;
  return std::min(p.limit, room);
}

int rly_records_in(const rly_batch_plan& p, size_t bytes) {
  if (p.exact) return bytes == static_cast<size_t>(p.record) ? 1 : 0;
  return static_cast<int>(bytes / static_cast<size_t>(p.record));
}

void rly_batch_init(char* buf, const rly_batch_plan& p) {
  fill_header(*reinterpret_cast<_tavMasterhdr*>(buf + kLenField), '0', p.code);
}

size_t rly_batch_seal(char* buf, const rly_batch_plan& p, int n) {
  const uint32_t len = batch_length(static_cast<size_t>(p.record), static_cast<size_t>(n));
  reinterpret_cast<_tavMasterbuf*>(buf)->pksz = len;
  reinterpret_cast<tav::be32*>(buf + kBatchCountAt)->set(static_cast<uint32_t>(n));
  return len + kLenField;
}
