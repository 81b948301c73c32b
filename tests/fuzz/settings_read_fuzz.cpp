// The settings readers of the probe and the relay: the key = value reader
// (logical lines, comments, continuations, quoted values), the simpler
// line reader, the XML-like reader and the relay's number reader.
//
// Input: a buffer size byte, a key length byte, the key, then the file.
// Checked beside "no crash":
//  - logical lines carry no newline and no comment, and are NUL-terminated
//    at their length;
//  - a value found is not empty and has no white space at either end;
//  - the line and XML-like readers keep within the caller's buffer (an
//    exact-size heap buffer) and return the length of what they put there;
//  - a key = value line written from any plain value reads back as it.
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/tav_util.h"
#include "fuzz_check.h"
#include "rly_cfg_reader.h"
#include "rly_settings.h"

namespace {

using qel::fuzz::Cursor;

// A file in memory, reachable by path.
struct MemFile {
  int fd;
  std::string path;
  explicit MemFile(const std::string& content) {
    fd = memfd_create("settings", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()));
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~MemFile() { close(fd); }
};

bool space(char c) { return isspace(static_cast<unsigned char>(c)); }

void check_value(const char* v) {
  if (!v) return;
  const size_t n = strlen(v);
  // Quotes keep the white space inside them: only an unquoted value is
  // known to be trimmed (checked by the round trip below).
  FUZZ_CHECK(n > 0 && !strchr(v, '\n'));
}

void logical_lines(const std::string& content) {
  FILE* fp = fmemopen(const_cast<char*>(content.data()), content.size(), "r");
  if (!fp) return;  // fmemopen refuses an empty buffer
  size_t total = 0;
  for (int calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= static_cast<int>(content.size()) + 1);
    char* line = nullptr;
    const int rc = tav_cfg_fgets(fp, &line);
    if (rc < 0) {
      FUZZ_CHECK(line == nullptr);
      if (feof(fp)) break;
      continue;
    }
    FUZZ_CHECK(line != nullptr && line[rc] == '\0');
    FUZZ_CHECK(!memchr(line, '\n', static_cast<size_t>(rc)) && !memchr(line, '#', static_cast<size_t>(rc)));
    total += static_cast<size_t>(rc);
    FUZZ_CHECK(total <= content.size());
    free(line);
  }
  fclose(fp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Cursor in{data, size};
  const int n = 1 + in.byte() % 64;
  std::string key;
  for (int k = in.byte() % 16; k > 0; --k) key.push_back(static_cast<char>(in.byte() | 1));
  const std::vector<uint8_t> rest = in.rest();
  const std::string content(rest.begin(), rest.end());

  logical_lines(content);
  const MemFile file(content);
  for (const char* k : {key.c_str(), "QEL_LOG", "TAV_LOG_PATH"}) {
    char* v = tav_gets(file.path.c_str(), k);
    check_value(v);
    free(v);

    std::vector<char> buf(static_cast<size_t>(n));
    const int got = tav_fgets(file.path.c_str(), k, buf.data(), n);
    FUZZ_CHECK(got >= 0 && got < n && strlen(buf.data()) == static_cast<size_t>(got));
    std::vector<char> xbuf(static_cast<size_t>(n));
    const int xgot = tav_xfgets(file.path.c_str(), k, xbuf.data(), n);
    FUZZ_CHECK(xgot >= 0 && xgot < n && strlen(xbuf.data()) == static_cast<size_t>(xgot));
  }

  int number = 7;
  if (rly_parse_int(std::string(content.c_str()).c_str(), &number)) {
    long long want = 0;
    const char* p = content.c_str();
    while (space(*p)) ++p;
    const bool neg = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    for (; isdigit(static_cast<unsigned char>(*p)) && want <= INT_MAX + 1LL; ++p) want = want * 10 + (*p - '0');
    want = neg ? -want : want;
    want = want > INT_MAX ? INT_MAX : want < INT_MIN ? INT_MIN : want;
    FUZZ_CHECK(number == want);
  }

  // Round trip: a plain value (no line end, comment, continuation, quote or
  // NUL, nothing to trim) reads back exactly, plain and quoted.
  std::string plain;
  for (char c : content)
    if (!strchr("\n#\\\"", c) && c != '\0' && c != '\r') plain.push_back(c);
  while (!plain.empty() && space(plain.back())) plain.pop_back();
  while (!plain.empty() && space(plain.front())) plain.erase(0, 1);
  if (!plain.empty()) {
    for (const std::string& line : {"FUZZ_KEY = " + plain + "\n", "FUZZ_KEY=\"" + plain + "\"\n"}) {
      const MemFile f("OTHER = 1\n" + line);
      char* v = tav_gets(f.path.c_str(), "FUZZ_KEY");
      FUZZ_CHECK(v && plain == v);
      free(v);
    }
  }
  return 0;
}
