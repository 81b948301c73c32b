#include "rly_ring_status.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "base/tav_atomic.h"
#include "base/tav_ring.h"
#include "rly_settings.h"
#include "rly_state.h"

namespace ring = tav::ring;

namespace {

unsigned long long load(const uint64_t& field) {
  return tav::atomic_in(const_cast<uint64_t&>(field)).load(std::memory_order_relaxed);
}

// "12345 running", "stopped" (it left in order) or "12345 gone".
void relay_state(int32_t pid, char (&out)[32]) {
  if (pid <= 0) {
    snprintf(out, sizeof out, "stopped");
    return;
  }
  const bool alive = kill(pid, 0) == 0 || errno == EPERM;
  snprintf(out, sizeof out, "%d %s", pid, alive ? "running" : "gone");
}

// One line for the ring with `key`; true when there is one.
bool show(FILE* out, const char* family, unsigned key) {
  ring::View v;
  const ring::OpenResult r = ring::open_existing(static_cast<key_t>(key), false, &v);
  if (r != ring::OpenResult::kOpened) {
    fprintf(out, "0x%08x  %-6s  %s\n", key, family, ring::open_result_text(r));
    return false;
  }
  const ring::Header& h = *v.h;
  const unsigned long long head = load(h.head), tail = load(h.tail);
  const unsigned long long fill = head - tail <= v.capacity() ? head - tail : v.capacity();
  char relay[32];
  relay_state(tav::atomic_in(const_cast<int32_t&>(h.relay_pid)).load(std::memory_order_relaxed), relay);
  fprintf(out, "0x%08x  %-6s  %7llu  %7llu  %12llu  %10llu  %8llu  %8llu  %s%s\n", key, family,
          static_cast<unsigned long long>(v.capacity()), fill, load(h.taken), load(h.dropped), load(h.skipped),
          load(h.rejected), relay, ring::live(v) ? "" : " (retired)");
  ring::unmap(&v);
  return true;
}

bool scan(const char* text, unsigned* key) { return text && sscanf(text, "0x%x", key) == 1; }

}  // namespace

int rly_ring_status(const rly_build_t& b, const char* path, FILE* out) {
  rly_select_build(b);
  rly_state_reset();
  const int rc = tav_cfg_init(path);
  en_log = 0;  // nothing of this look goes into the relay's log
  unsigned gbase = 0, tbase = 0;
  if (rc < 0 || !scan(en_gtuid_queue_name, &gbase)) {
    fprintf(out, "settings file (%s) not usable. code(%d)\n", path ? path : "", rc < 0 ? rc : -1);
    return 2;
  }
  if (!en_ring_on) fprintf(out, "rings are off in these settings (TAV_RLY_RINGS = OFF)\n");
  fprintf(out, "%-10s  %-6s  %7s  %7s  %12s  %10s  %8s  %8s  %s\n", "key", "family", "slots", "fill", "taken",
          "dropped", "skipped", "rejected", "relay");
  bool all = true;
  for (int i = 0; i < en_gtuid_queue_count; ++i) all = show(out, "gtuid", gbase + i) && all;
  if (en_tcode_thread_count > 0 && scan(en_tcode_queue_name, &tbase))
    for (int i = 0; i < en_tcode_queue_count; ++i) all = show(out, "tcode", tbase + i) && all;
  return all ? 0 : 1;
}
