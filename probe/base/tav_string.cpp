// In-place text helpers. Every function accepts a null pointer and then does
// nothing (returning the pointer, 0 or NULL as its result type suggests), so a
// missing field in a host structure never turns into a crash.
#include <cctype>
#include <cstring>

#include "base/tav_util.h"

namespace {

inline bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace

char* tav_rtrim(char* s) {
  if (!s) return s;
  size_t len = std::strlen(s);
  while (len > 0 && is_space(s[len - 1])) --len;
  s[len] = '\0';
  return s;
}

char* tav_ltrim(char* s) {
  if (!s) return s;
  size_t skip = 0;
  while (s[skip] && is_space(s[skip])) ++skip;
  if (skip > 0) std::memmove(s, s + skip, std::strlen(s + skip) + 1);
  return s;
}

char* tav_trim(char* s) { return tav_ltrim(tav_rtrim(s)); }

char* tav_replace(char* s, int from, int to) {
  if (!s) return s;
  const char f = static_cast<char>(from);
  const char t = static_cast<char>(to);
  for (char* p = s; *p; ++p) {
    if (*p != f) continue;
    *p = t;
    if (t == '\0') break;  // the text now ends here
  }
  return s;
}

char* tav_nreplace(char* buf, int from, int to, int n) {
  if (!buf) return buf;
  const char f = static_cast<char>(from);
  const char t = static_cast<char>(to);
  for (int i = 0; i < n; ++i)
    if (buf[i] == f) buf[i] = t;
  return buf;
}

char* tav_sreplace(char* s, const char* set, int to, int nset) {
  if (!s || !set || nset <= 0) return s;
  const char t = static_cast<char>(to);
  for (char* p = s; *p; ++p) {
    if (!std::memchr(set, *p, static_cast<size_t>(nset))) continue;
    *p = t;
    if (t == '\0') break;
  }
  return s;
}

int tav_strccnt(const char* s, int c) {
  if (!s) return 0;
  const char ch = static_cast<char>(c);
  int count = 0;
  for (const char* p = s; *p; ++p)
    if (*p == ch) ++count;
  return count;
}

// A replacement counts once its first character has been written, so a
// result cut at outlen may end in the middle of `neu`.
int tav_strchg(const char* src, const char* old, const char* neu, char* out, size_t outlen) {
  if (!src || !old || !neu || !*old || !*neu || !out || outlen == 0) return 0;
  const size_t oldlen = std::strlen(old);
  const size_t neulen = std::strlen(neu);
  const size_t room = outlen - 1;
  size_t w = 0;
  int count = 0;
  const char* p = src;
  while (*p && w < room) {
    if (std::strncmp(p, old, oldlen) == 0) {
      size_t take = neulen < room - w ? neulen : room - w;
      std::memcpy(out + w, neu, take);
      w += take;
      p += oldlen;
      ++count;
    } else {
      out[w++] = *p++;
    }
  }
  out[w] = '\0';
  return count;
}

char* tav_strstr(const char* hay, const char* needle, int n) {
  if (!hay || !needle || n <= 0) return nullptr;
  const size_t len = std::strlen(needle);
  for (int i = 0; i < n; ++i) {
    // strncmp stops at the end of hay's text, so a match never runs past it.
    if (std::strncmp(hay + i, needle, len) == 0) return const_cast<char*>(hay + i);
    if (hay[i] == '\0') break;
  }
  return nullptr;
}

// The buffer is taken to hold exactly n bytes: a match must lie inside it,
// so nothing past hay[n - 1] is ever read.
char* tav_strstr2(const char* hay, const char* needle, int n) {
  if (!hay || !needle || n <= 0) return nullptr;
  const size_t len = std::strlen(needle);
  const size_t size = static_cast<size_t>(n);
  if (len > size) return nullptr;
  for (size_t i = 0; i + len <= size; ++i)
    if (std::memcmp(hay + i, needle, len) == 0) return const_cast<char*>(hay + i);
  return nullptr;
}

int tav_isdigit(const char* s, int n) {
  if (!s) return -1;
  for (int i = 0; i < n && s[i]; ++i)
    if (s[i] < '0' || s[i] > '9') return -1;
  return 0;
}
