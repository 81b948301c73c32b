// Lists in settings values: items separated by commas, blanks around each
// item trimmed, empty items skipped.
#pragma once

#include <string_view>

namespace tav {

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

}  // namespace tav
