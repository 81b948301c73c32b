// Settings values as text, and the lists in them: items separated by
// commas, blanks around each item trimmed, empty items skipped.
#pragma once

#include <cstdlib>
#include <memory>
#include <string_view>

#include "base/tav_util.h"

namespace tav {

struct FreeText {
  void operator()(char* p) const { free(p); }
};
// A value read from a settings file, freed with its holder; null when absent.
using SettingText = std::unique_ptr<char, FreeText>;

// The value of `key` in the settings file named by TAV_CONFIG_FILE (read
// directly, so usable before the settings are taken over).
inline SettingText setting_text(const char* key) {
  const char* file = getenv("TAV_CONFIG_FILE");
  return SettingText(file ? tav_gets(file, key) : nullptr);
}

template <typename F>
void each_item(std::string_view text, F fn) {
  while (!text.empty()) {
    const size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (!item.empty()) fn(item);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
}

// Each item of the list that `key` holds in the settings file.
template <typename F>
void each_setting_item(const char* key, F fn) {
  if (const SettingText text = setting_text(key)) each_item(text.get(), fn);
}

}  // namespace tav
