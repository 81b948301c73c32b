// WebLogic build: which bytes open one of the server's messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/tav_build.h"

#if defined(TAV_BUILD_WEBLOGIC)
#include "servers/weblogic/tav_wls.h"

namespace {

std::string head(int len, int cmd, char letter, size_t size = 20) {
  std::string s(size, 'x');
  memcpy(&s[0], &len, 4);
  s[4] = static_cast<char>(cmd);
  s[5] = letter;
  return s;
}

TEST(WlsHeader, RecognisedOnlyWhenItCanBeOne) {
  struct Case {
    const char* name;
    std::string bytes;
    bool header;
    int len, cmd;
  } cases[] = {
      {"request", head(518, 1, 'e'), true, 518, 1},
      {"one-way command", head(100, 4, 'e'), true, 100, 4},
      {"read shorter than a header", head(518, 1, 'e', 19), false, 0, 0},
      {"command 12", head(518, 12, 'e'), false, 0, 0},
      {"no letter", head(518, 1, 'f'), false, 0, 0},
      {"negative length", head(-5, 1, 'e'), false, 0, 0},
      {"length below the header", head(5, 1, 'e'), false, 0, 0},
      {"huge length", head(0x7fffffff, 1, 'e'), false, 0, 0},
      {"JEUS magic", std::string("\x82\x20\x35\x90", 4) + head(518, 1, 'e').substr(4), false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tav::wls::Header h{-1, -1};
    EXPECT_EQ(tav::wls::header(c.bytes.data(), c.bytes.size(), h), c.header);
    if (c.header) {
      EXPECT_EQ(h.len, c.len);
      EXPECT_EQ(h.cmd, c.cmd);
    }
  }
}

}  // namespace
#endif
