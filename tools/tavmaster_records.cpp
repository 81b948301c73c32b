#include "tavmaster_records.h"

#include <cstring>

#include "tavmaster_json.h"

namespace tavmaster {

namespace {

constexpr BatchKind kKinds[] = {
    {tav::master::kGtuidBatch, 1, kGtuidRecord},
    {tav::master::kTcodeBatch, 2, kTcode2Record},
    {tav::master::kTcode4Batch, 4, kTcode4Record},
};

// The record behind its message type, filled from the wire bytes.
template <typename T>
T from_wire(const uint8_t* wire) {
  T r{};
  memcpy(reinterpret_cast<unsigned char*>(&r) + offsetof(T, gtuid), wire, kWireSize<T>);
  return r;
}

// A one-letter field: its first byte, or nothing when that is NUL.
std::string_view letter(const char (&f)[2]) { return field_text(f, 1); }

void append_origin(JsonLine& j, const Origin& origin, const BatchKind& kind) {
  j.number("session", origin.session)
      .text("peer", origin.peer)
      .text("batch", std::string_view(kind.code, 10))
      .number("type", static_cast<uint64_t>(kind.type));
}

void append_mzp1(JsonLine& j, const mzp1_t& r) {
  j.field("gtuid", r.gtuid)
      .field("seq", r.seq)
      .text("event", letter(r.start))
      .text("direction", letter(r.send))
      .field("dtime", r.dtime)
      .field("nid", r.nid)
      .field("pid", r.pid)
      .field("tid", r.tid)
      .field("trcode", r.trcode)
      .field("domain", r.dmname)
      .field("node", r.ndname)
      .field("process", r.srname)
      .field("service", r.svname)
      .text("scode", letter(r.scode))
      .field("pcode", r.pcode)
      .text("iotype", letter(r.iotype))
      .field("ipaddr", r.ipaddr)
      .number("port", r.port.get())
      .number("iosize", r.iosize.get())
      .number("etime", r.etime.get())
      .number("rtime", r.rtime.get())
      .hex("pattern", r.pattern, sizeof r.pattern)
      .hex("filler", r.filler, sizeof r.filler);
}

// The head that the transaction-code records share.
template <typename T>
void append_tcode_head(JsonLine& j, const T& r) {
  j.field("gtuid", r.gtuid)
      .field("trcode", r.trcode)
      .field("seq", r.seq)
      .field("dtime", r.dtime)
      .field("ipaddr", r.ipaddr)
      .number("blocking", static_cast<uint8_t>(r.blocking[0]));
}

}  // namespace

const BatchKind* batch_kind(const _tavMasterhdr& hdr) {
  for (const auto& k : kKinds)
    if (tav::master::is_code(hdr, k.code)) return &k;
  return nullptr;
}

BatchError check_batch(const uint8_t* msg, size_t size, const BatchKind& kind, uint32_t* count) {
  if (size < sizeof(BatchHead)) return BatchError::kShort;
  BatchHead head;
  memcpy(&head, msg, sizeof head);
  *count = head.count.get();
  // 64-bit products: a count near 2^32 must not wrap into a plausible size.
  uint64_t want = sizeof(BatchHead) + static_cast<uint64_t>(*count) * kind.record_size;
  return want == size ? BatchError::kNone : BatchError::kSizeMismatch;
}

void append_record_json(std::string& out, const Origin& origin, const BatchKind& kind,
                        const uint8_t* wire) {
  JsonLine j(out);
  append_origin(j, origin, kind);
  switch (kind.type) {
    case 1:
      append_mzp1(j, from_wire<mzp1_t>(wire));
      break;
    case 2:
      append_tcode_head(j, from_wire<mzp2_t>(wire));
      break;
    case 4: {
      auto r = from_wire<mzp4_t>(wire);
      append_tcode_head(j, r);
      j.field("custinfo", r.custinfo).field("userinfo", r.userinfo);
      break;
    }
  }
  j.end();
}

void append_batch_json(std::string& out, const Origin& origin, const BatchKind& kind,
                       const uint8_t* msg, uint32_t count) {
  const uint8_t* rec = msg + sizeof(BatchHead);
  for (uint32_t i = 0; i < count; ++i, rec += kind.record_size)
    append_record_json(out, origin, kind, rec);
}

void append_message_json(std::string& out, const Origin& origin, const uint8_t* msg, size_t size) {
  namespace tm = tav::master;
  _tavMasterhdr h;
  memcpy(&h, msg + tm::kLenField, sizeof h);
  const size_t head = tm::kLenField + tm::kHeader;
  const size_t body = size > head ? size - head : 0;
  const size_t shown = body < kMessageBodyShown ? body : kMessageBodyShown;
  JsonLine j(out);
  j.number("session", origin.session)
      .text("peer", origin.peer)
      .text("message", std::string_view(h.trcode, sizeof h.trcode))
      .text("mtype", std::string_view(h.mtype, 1))
      .number("size", size)
      .text("body", std::string_view(reinterpret_cast<const char*>(msg) + head, shown));
  j.end();
}

}  // namespace tavmaster
