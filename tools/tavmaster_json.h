// One JSON object per line, built field by field into a string. Texts come
// from fixed-width record fields: they end at the first NUL or at the field's
// end, whichever comes first, and bytes that are not printable UTF-8 are
// escaped as \u00XX so that every line is valid JSON whatever a peer sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavmaster {

// Appends the bytes as the inside of a JSON string (no quotes): '"' and '\'
// get a backslash, control bytes, DEL and bytes that do not belong to a valid
// UTF-8 sequence become \u00XX; valid UTF-8 passes unchanged.
void json_escape(std::string& out, std::string_view bytes);

// The text of a fixed-width field: its bytes up to the first NUL, never past
// the field.
std::string_view field_text(const char* field, size_t size);

class JsonLine {
 public:
  explicit JsonLine(std::string& out);
  JsonLine& text(const char* name, std::string_view value);
  // A fixed-width text field.
  template <size_t N>
  JsonLine& field(const char* name, const char (&f)[N]) {
    return text(name, field_text(f, N));
  }
  JsonLine& number(const char* name, uint64_t value);
  // Raw bytes as lower-case hexadecimal digits.
  JsonLine& hex(const char* name, const uint8_t* bytes, size_t size);
  // Closes the object and ends the line.
  void end();

 private:
  void key(const char* name);
  std::string& out_;
  bool first_ = true;
};

}  // namespace tavmaster
