// The relay's settings readers: the key = value form is the probe's own
// reader (probe/base/tav_cfg_reader.cpp, compiled into the relay as well);
// the XML-like form of the Java library is read here.
#include "rly_cfg_reader.h"

#include <cerrno>
#include <cstring>

#include "base/tav_util.h"

namespace {

constexpr int kXmlLine = 4095;

}  // namespace

extern "C" {

int tav_xfgets(const char* path, const char* key, char* buf, int n) {
  if (!buf || n <= 0) return 0;
  buf[0] = '\0';
  if (!key || !*key) return 0;
  FILE* fp = path ? fopen(path, "re") : nullptr;
  if (!fp) {
    int e = path ? errno : ENOENT;
    printf("file(%s) (%d:%s) error.\n", path ? path : "", e, strerror(e));
    fflush(stdout);
    return -1;
  }
  char line[kXmlLine + 1];
  int result = 0;
  while (fgets(line, sizeof line, fp)) {
    if (!strstr(line, key)) continue;
    // The first matching line decides, with or without a value.
    char* attr = strstr(line, "value");
    char* open = attr ? strchr(attr, '"') : nullptr;
    char* close = open ? strchr(open + 1, '"') : nullptr;
    if (close) {
      *close = '\0';
      char* value = tav_trim(open + 1);
      size_t len = strlen(value);
      if (len > static_cast<size_t>(n - 1)) len = static_cast<size_t>(n - 1);
      memcpy(buf, value, len);
      buf[len] = '\0';
      result = static_cast<int>(len);
    }
    break;
  }
  fclose(fp);
  return result;
}

}  // extern "C"
