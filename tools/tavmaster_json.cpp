#include "tavmaster_json.h"

#include <charconv>
#include <cstring>

namespace tavmaster {

namespace {

// Length of the valid UTF-8 sequence of two or more bytes starting at p, or 0
// when p does not start one (overlong forms, surrogates and values above
// U+10FFFF are not valid).
size_t utf8_sequence(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n;
  unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
  if (c >= 0xc2 && c <= 0xdf) {
    n = 2;
  } else if (c >= 0xe0 && c <= 0xef) {
    n = 3;
    if (c == 0xe0) lo = 0xa0;  // overlong
    if (c == 0xed) hi = 0x9f;  // surrogates
  } else if (c >= 0xf0 && c <= 0xf4) {
    n = 4;
    if (c == 0xf0) lo = 0x90;  // overlong
    if (c == 0xf4) hi = 0x8f;  // above U+10FFFF
  } else {
    return 0;
  }
  if (left < n) return 0;
  if (p[1] < lo || p[1] > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xbf) return 0;
  return n;
}

void escape_byte(std::string& out, unsigned char c) {
  static const char kDigits[] = "0123456789abcdef";
  const char e[] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xf]};
  out.append(e, sizeof e);
}

}  // namespace

void json_escape(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t run = 0;  // start of the bytes that pass unchanged
  for (size_t i = 0; i < n;) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    size_t len = c >= 0x80 ? utf8_sequence(p + i, n - i) : 0;
    if (len > 0) {
      i += len;
      continue;
    }
    out.append(bytes.data() + run, i - run);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      escape_byte(out, c);
    }
    run = ++i;
  }
  out.append(bytes.data() + run, n - run);
}

std::string_view field_text(const char* field, size_t size) {
  const void* nul = memchr(field, '\0', size);
  return {field, nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : size};
}

JsonLine::JsonLine(std::string& out) : out_(out) { out_ += '{'; }

void JsonLine::key(const char* name) {
  if (!first_) out_ += ',';
  first_ = false;
  out_ += '"';
  out_ += name;
  out_ += "\":";
}

JsonLine& JsonLine::text(const char* name, std::string_view value) {
  key(name);
  out_ += '"';
  json_escape(out_, value);
  out_ += '"';
  return *this;
}

JsonLine& JsonLine::number(const char* name, uint64_t value) {
  key(name);
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  out_.append(buf, r.ptr);
  return *this;
}

JsonLine& JsonLine::hex(const char* name, const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  key(name);
  out_ += '"';
  for (size_t i = 0; i < size; ++i) {
    out_ += kDigits[bytes[i] >> 4];
    out_ += kDigits[bytes[i] & 0xf];
  }
  out_ += '"';
  return *this;
}

void JsonLine::end() { out_ += "}\n"; }

}  // namespace tavmaster
