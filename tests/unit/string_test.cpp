// In-place text helpers: trims, byte replacement, counting, substring search.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_util.h"

namespace {

struct TrimCase {
  const char* in;
  const char* rtrim;
  const char* ltrim;
  const char* trim;
};

TEST(StringTrim, RemovesWhiteSpaceOnTheRequestedSide) {
  const TrimCase cases[] = {
      {"  a b \t\n", "  a b", "a b \t\n", "a b"},
      {"\v\fx\r", "\v\fx", "x\r", "x"},
      {"plain", "plain", "plain", "plain"},
      {"   ", "", "", ""},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string r = c.in, l = c.in, t = c.in;
    EXPECT_EQ(tav_rtrim(r.data()), r.data());
    EXPECT_STREQ(r.c_str(), c.rtrim);
    EXPECT_EQ(tav_ltrim(l.data()), l.data());
    EXPECT_STREQ(l.c_str(), c.ltrim);
    EXPECT_EQ(tav_trim(t.data()), t.data());
    EXPECT_STREQ(t.c_str(), c.trim);
  }
  EXPECT_EQ(tav_rtrim(nullptr), nullptr);
  EXPECT_EQ(tav_ltrim(nullptr), nullptr);
  EXPECT_EQ(tav_trim(nullptr), nullptr);
}

struct ReplaceCase {
  const char* in;
  int from;
  int to;
  const char* out;
};

TEST(StringReplace, ReplacesEveryByteUpToTheEndOfTheText) {
  const ReplaceCase cases[] = {
      {"a.b.c", '.', '_', "a_b_c"},
      {"a.b.c", '.', 0, "a"},  // NUL cuts at the first occurrence
      {"abc", 'x', 'y', "abc"},
      {"\xff-\xff", 0xff, '+', "+-+"},  // high bytes passed as int
      {"", 'a', 'b', ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::string s = c.in;
    EXPECT_EQ(tav_replace(s.data(), c.from, c.to), s.data());
    EXPECT_STREQ(s.c_str(), c.out);
  }
  EXPECT_EQ(tav_replace(nullptr, 'a', 'b'), nullptr);
}

TEST(StringReplace, CountedVersionCoversExactlyNBytesIncludingNuls) {
  const struct {
    int n;
    std::string out;
  } cases[] = {
      {7, std::string("a b c  ", 7)},
      {4, std::string("a b c\0\0", 7)},
      {3, std::string("a b\0c\0\0", 7)},
      {0, std::string("a\0b\0c\0\0", 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    std::string buf("a\0b\0c\0\0", 7);
    EXPECT_EQ(tav_nreplace(buf.data(), 0, ' ', c.n), buf.data());
    EXPECT_EQ(buf, c.out);
  }
}

TEST(StringReplace, SetVersionUsesOnlyTheFirstNsetBytesOfTheSet) {
  const struct {
    const char* in;
    const char* set;
    int nset;
    int to;
    const char* out;
  } cases[] = {
      {"a,b;c d", ",; ", 3, '|', "a|b|c|d"},
      {"a,b;c d", ",; ", 2, '|', "a|b|c d"},
      {"a,b;c d", ",; ", 0, '|', "a,b;c d"},
      {"k=v;x", ";=", 2, 0, "k"},  // NUL cuts the text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.in) + " / " + std::to_string(c.nset));
    std::string s = c.in;
    EXPECT_EQ(tav_sreplace(s.data(), c.set, c.to, c.nset), s.data());
    EXPECT_STREQ(s.c_str(), c.out);
  }
  EXPECT_EQ(tav_sreplace(nullptr, ",", '|', 1), nullptr);
}

TEST(StringCount, CountsOccurrencesInTheText) {
  const struct {
    const char* s;
    int c;
    int count;
  } cases[] = {
      {"a.b.c", '.', 2}, {"aaa", 'a', 3}, {"abc", 'x', 0}, {"", 'a', 0}, {"abc", 0, 0},
      {nullptr, 'a', 0},
  };
  for (const auto& c : cases) EXPECT_EQ(tav_strccnt(c.s, c.c), c.count) << (c.s ? c.s : "NULL");
}

struct ChgCase {
  const char* src;
  const char* old;
  const char* neu;
  size_t outlen;
  const char* out;
  int count;
};

TEST(StringChange, ReplacesEachOccurrenceWithinTheOutputSize) {
  const ChgCase cases[] = {
      {"a.b.c", ".", "::", 64, "a::b::c", 2},
      {"abc", "x", "y", 64, "abc", 0},
      {"aaaa", "aa", "b", 64, "bb", 2},
      {"..", ".", "xyz", 64, "xyzxyz", 2},
      {"ab", "abc", "z", 64, "ab", 0},   // partial match at the end
      {"", ".", "::", 64, "", 0},
      {"a.b.c", ".", "::", 8, "a::b::c", 2},  // exactly fits
      {"a.b.c", ".", "::", 7, "a::b::", 2},
      {"a.b.c", ".", "::", 4, "a::", 1},
      {"a.b.c", ".", "::", 3, "a:", 1},   // cut inside the replacement
      {"a.b.c", ".", "::", 1, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.src) + " outlen " + std::to_string(c.outlen));
    // Exactly outlen bytes, so a write past them shows up under the sanitizer
    // and in the guard byte behind them.
    std::vector<char> out(c.outlen + 1, '#');
    EXPECT_EQ(tav_strchg(c.src, c.old, c.neu, out.data(), c.outlen), c.count);
    EXPECT_STREQ(out.data(), c.out);
    EXPECT_EQ(out[c.outlen], '#');
  }
}

TEST(StringChange, MissingOrEmptyPatternLeavesOutputUntouched) {
  const struct {
    const char* old;
    const char* neu;
  } cases[] = {{nullptr, "x"}, {"", "x"}, {".", nullptr}, {".", ""}};
  for (const auto& c : cases) {
    char out[16] = "untouched";
    EXPECT_EQ(tav_strchg("a.b", c.old, c.neu, out, sizeof out), 0);
    EXPECT_STREQ(out, "untouched");
  }
  char out[16] = "untouched";
  EXPECT_EQ(tav_strchg("a.b", ".", ":", out, 0), 0);
  EXPECT_STREQ(out, "untouched");
}

struct FindCase {
  std::string hay;  // the whole buffer, NULs included
  const char* needle;
  int n;
  int text_at;    // tav_strstr: offset of the match or -1
  int buffer_at;  // tav_strstr2: offset of the match or -1
};

TEST(StringFind, StartsWithinNBytesTextVersusBufferVersion) {
  const FindCase cases[] = {
      {"hello world", "world", 11, 6, 6},
      {"hello world", "world", 7, 6, -1},  // buffer of 7 bytes cannot hold it
      {"hello world", "world", 6, -1, -1},
      {"hello world", "hello", 1, 0, -1},  // starts in range, buffer too short
      {"hello world", "xyz", 11, -1, -1},
      {std::string("ab\0cd", 5), "cd", 5, -1, 3},  // text ends at the NUL
      {std::string("ab\0cd", 5), "b", 5, 1, 1},
      {std::string("\0\0\0GET", 6), "GET", 6, -1, 3},
      {std::string("ab\0cd", 5), "cd", 4, -1, -1},
      {"abc", "abcd", 3, -1, -1},
      {"abc", "a", 0, -1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.needle) + " n=" + std::to_string(c.n));
    // The buffer version gets exactly n bytes, with no NUL behind them.
    std::vector<char> buf(c.hay.begin(), c.hay.begin() + c.n);
    char* hit2 = tav_strstr2(buf.data(), c.needle, c.n);
    EXPECT_EQ(hit2 ? hit2 - buf.data() : -1, c.buffer_at);
    char* hit = tav_strstr(c.hay.c_str(), c.needle, c.n);
    EXPECT_EQ(hit ? hit - c.hay.c_str() : -1, c.text_at);
  }
  EXPECT_EQ(tav_strstr(nullptr, "a", 3), nullptr);
  EXPECT_EQ(tav_strstr("abc", nullptr, 3), nullptr);
  EXPECT_EQ(tav_strstr2(nullptr, "a", 3), nullptr);
}

TEST(StringDigits, AllDigitsBeforeEndOfTextOrNthPosition) {
  const struct {
    const char* s;
    int n;
    int rc;
  } cases[] = {
      {"123", 3, 0}, {"12a", 3, -1}, {"12a", 2, 0}, {"12", 10, 0}, {"", 5, 0},
      {"-1", 2, -1}, {" 1", 2, -1}, {"1 ", 2, -1}, {"x", 0, 0}, {nullptr, 3, -1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tav_isdigit(c.s, c.n), c.rc) << (c.s ? c.s : "NULL") << " n=" << c.n;
}

}  // namespace
