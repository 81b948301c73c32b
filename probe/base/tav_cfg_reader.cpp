// Settings-file readers.
//
// Logical lines: "#" starts a comment that runs to the end of the physical
// line; a backslash joins the next physical line, dropping whatever follows
// it on its own line (a "#" there included) and the newline. The logical line
// ends after its last kept character: the rest of that physical line (its
// newline, or a comment and the newline) stays in the stream, and the next
// call reads it as a line without characters (-562). Callers therefore loop
// until end of file and skip negative results.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/tav_util.h"

namespace {

constexpr int kNoChars = -562;
constexpr int kNoMemory = -567;

// Growing byte buffer; frees itself unless released.
struct LineBuf {
  char* data = nullptr;
  size_t len = 0;
  size_t cap = 0;

  ~LineBuf() { free(data); }

  bool push(char c) {
    if (len + 1 >= cap) {
      size_t ncap = cap ? cap * 2 : 128;
      if (ncap <= cap) return false;
      auto* p = static_cast<char*>(realloc(data, ncap));
      if (!p) return false;
      data = p;
      cap = ncap;
    }
    data[len++] = c;
    return true;
  }

  char* release() {
    char* p = data;
    p[len] = '\0';
    data = nullptr;
    return p;
  }
};

// Drops the rest of the physical line, newline included.
void skip_to_eol(FILE* fp) {
  int c;
  while ((c = getc(fp)) != EOF && c != '\n') {
  }
}

}  // namespace

int tav_cfg_fgets(FILE* fp, char** line) {
  if (line) *line = nullptr;
  if (!fp || !line) return kNoChars;

  LineBuf buf;
  for (;;) {
    int c = getc(fp);
    if (c == EOF) break;
    if (c == '\n' || c == '#') {
      if (buf.len == 0) {
        // Blank or comment-only: consume the whole physical line.
        if (c == '#') skip_to_eol(fp);
        break;
      }
      ungetc(c, fp);  // left for the next call
      break;
    }
    if (c == '\\') {
      skip_to_eol(fp);  // join the next physical line
      continue;
    }
    if (!buf.push(static_cast<char>(c))) return kNoMemory;
  }
  if (buf.len == 0) return kNoChars;
  if (buf.len > static_cast<size_t>(INT_MAX)) return kNoMemory;
  int len = static_cast<int>(buf.len);
  *line = buf.release();
  return len;
}

char* tav_gets(const char* path, const char* key) {
  if (!path || !key || !*key) return nullptr;
  FILE* fp = fopen(path, "re");
  if (!fp) return nullptr;

  const size_t keylen = std::strlen(key);
  char* found = nullptr;  // the first logical line that begins with key
  while (!feof(fp) && !ferror(fp)) {
    char* line = nullptr;
    int rc = tav_cfg_fgets(fp, &line);
    if (rc == kNoMemory) break;
    if (rc < 0) continue;
    tav_ltrim(line);
    if (std::strlen(line) >= keylen && std::strncmp(line, key, keylen) == 0) {
      found = line;
      break;
    }
    free(line);
  }
  fclose(fp);
  if (!found) return nullptr;

  char* result = nullptr;
  if (char* eq = std::strchr(found, '=')) {
    char* value = tav_trim(eq + 1);
    if (*value == '"') {
      ++value;
      if (char* q = std::strchr(value, '"')) *q = '\0';
    }
    if (*value) result = strdup(value);
  }
  free(found);
  return result;
}

int tav_fgets(const char* path, const char* needle, char* buf, int n) {
  if (!buf || n <= 0) return 0;
  buf[0] = '\0';
  if (!path || !needle || n < 2) return 0;
  FILE* fp = fopen(path, "re");
  if (!fp) return 0;

  int result = 0;
  // Each read holds at most n - 1 bytes of a physical line; a longer line is
  // seen in pieces of that size.
  while (fgets(buf, n, fp)) {
    if (!std::strstr(buf, needle)) continue;
    char* eq = std::strchr(buf, '=');
    if (!eq) break;
    char* value = tav_trim(eq + 1);
    size_t len = std::strlen(value);
    std::memmove(buf, value, len + 1);
    result = static_cast<int>(len);
    break;
  }
  fclose(fp);
  if (result == 0) buf[0] = '\0';
  return result;
}
