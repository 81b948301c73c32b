// WebtoB build: process classes and the URL exclusion list.
#include "servers/webtob/tav_webtob.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/tav_globals.h"
#include "base/tav_items.h"
#include "base/tav_log.h"
#include "base/tav_util.h"

extern "C" {
int tav_webtob_proc;
tavlist_t* en_gelist;
}

namespace tav::webtob {
namespace {

// The request line is looked for within this many bytes of a read.
constexpr size_t kUrlWindow = 512;

}  // namespace

int process_class(const char* name) {
  const std::string_view n = name ? name : "";
  if (n.substr(0, 3) == "hth") return TAV_WEBTOB_HTH;
  if (n.substr(0, 4) == "html") return TAV_WEBTOB_HTML;
  return TAV_WEBTOB_OTHER;
}

void init() { tav_webtob_proc = process_class(en_my_pname); }

void read_settings() {
  if (en_gelist) return;
  const SettingText text = setting_text("QEL_GTUID_EXCEPT");
  if (!text) return;
  en_gelist = tav_list_create();
  if (en_gelist) tav_geinfo(text.get());
}

}  // namespace tav::webtob

extern "C" {

int tav_geinfo(const char* text) {
  if (!en_gelist || !text) return 0;
  tav::each_item(text, [](std::string_view item) {
    // The trailing space makes an entry match a URL that ends with it.
    auto* entry = static_cast<char*>(malloc(item.size() + 2));
    int rc = -1;
    if (entry) {
      memcpy(entry, item.data(), item.size());
      entry[item.size()] = ' ';
      entry[item.size() + 1] = 0;
      rc = tav_list_add(en_gelist, 0, entry, static_cast<int>(item.size() + 1));
      if (rc != 0) free(entry);
    }
    TAV_LOG_D("W", "gelist: (%.*s ). rc(%d)\n", static_cast<int>(item.size()), item.data(), rc);
  });
  return 0;
}

int tav_gtuid_url_expect(const void* buf, size_t n) {
  if (!en_gelist || !buf) return 0;
  const auto* p = static_cast<const char*>(buf);
  const size_t window = std::min(n, tav::webtob::kUrlWindow);
  const void* http = memmem(p, window, "HTTP", 4);
  if (!http) return 0;
  const size_t k = static_cast<size_t>(static_cast<const char*>(http) - p);
  TAV_LOG_D("M", "HTTP(%.*s)\n", static_cast<int>(k), p);
  int excluded = 0;
  pthread_mutex_lock(&en_gelist->lock);
  for (const tavlist* e = en_gelist->head; e && !excluded; e = e->next)
    excluded = e->size > 0 && memmem(p, k, e->data, static_cast<size_t>(e->size)) != nullptr;
  pthread_mutex_unlock(&en_gelist->lock);
  return excluded;
}

}  // extern "C"
