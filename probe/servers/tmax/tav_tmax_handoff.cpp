#include "servers/tmax/tav_tmax_handoff.h"

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/tav_hash.h"
#include "base/tav_log.h"

namespace tav::tmax {
namespace {

// What a block holds: the transaction, then the host's 16 bytes.
struct Block {
  gtuid_t gtuid;
  unsigned char bytes[kHandoffBytes];
};
static_assert(sizeof(Block) == 112);

// The 16 bytes that stand for a block in the host's buffer.
struct Ticket {
  int32_t marker;
  int32_t zero;
  Block* block;
};
static_assert(sizeof(Ticket) == kHandoffBytes);

// The blocks handed out, by address.
enhash_table* live() {
  static enhash_table* table;
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  pthread_once(&once, [] { table = enhash_create(256); });
  return table;
}

}  // namespace

bool handoff_out(const gtuid_t& g, void* buf, size_t n) {
  enhash_table* t = live();
  if (!t || !buf || n < kHandoffBytes || handoff_count() >= kMaxBlocks) return false;
  auto* b = static_cast<Block*>(malloc(sizeof(Block)));
  if (!b) return false;
  b->gtuid = g;
  memcpy(b->bytes, buf, kHandoffBytes);
  if (enhash_add(t, &b, sizeof b, b, nullptr) != 0) {
    free(b);
    return false;
  }
  const Ticket ticket{kHandoffMarker, 0, b};
  memcpy(buf, &ticket, sizeof ticket);
  TAV_LOG_D("M", "(0x%p)(%ld). bcnt(%d).\n", static_cast<void*>(b), reinterpret_cast<long>(b),
            handoff_count());
  TAV_LOG_G("M", &b->gtuid, "(0x%p)(%ld).\n", static_cast<void*>(b), reinterpret_cast<long>(b));
  TAV_LOG_H("M", b->bytes, static_cast<int>(kHandoffBytes), "buf");
  return true;
}

bool handoff_in(const void* ticket_bytes, gtuid_t& g, unsigned char (&bytes)[kHandoffBytes]) {
  enhash_table* t = live();
  if (!t || !ticket_bytes) return false;
  Ticket ticket;
  memcpy(&ticket, ticket_bytes, sizeof ticket);
  if (ticket.marker != kHandoffMarker) return false;
  // Only an address this library handed out is taken; its entry goes with
  // it, so a block is taken back once.
  auto* b = static_cast<Block*>(enhash_remove(t, &ticket.block, sizeof ticket.block));
  if (!b) {
    TAV_LOG_D("M", "hand-off marker without a block of ours (0x%p)\n", static_cast<void*>(ticket.block));
    return false;
  }
  memcpy(bytes, b->bytes, kHandoffBytes);
  g = b->gtuid;
  TAV_LOG_D("M", "(0x%p)(%ld). bcnt(%d).\n", static_cast<void*>(b), reinterpret_cast<long>(b),
            handoff_count());
  TAV_LOG_G("M", &g, "(0x%p)(%ld).\n", static_cast<void*>(b), reinterpret_cast<long>(b));
  free(b);
  return true;
}

int handoff_count() {
  enhash_table* t = live();
  if (!t) return 0;
  pthread_mutex_lock(&t->lock);
  const int n = t->entries;
  pthread_mutex_unlock(&t->lock);
  return n;
}

}  // namespace tav::tmax
