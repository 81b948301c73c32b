// Hexadecimal text form of byte records, both ways, including the refusal of
// text that is not hexadecimal.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/tav_hexa.h"

namespace {

std::string hexa(const std::vector<unsigned char>& in) {
  std::string out(2 * in.size() + 1, '#');  // '#': what was not written
  EXPECT_EQ(tav_gtuid_hexa(in.data(), static_cast<int>(in.size()), out.data()),
            static_cast<int>(2 * in.size()));
  EXPECT_EQ(out.back(), '#') << "no terminator is written";
  out.pop_back();
  return out;
}

struct Case {
  std::vector<unsigned char> bytes;
  const char* text;
};

TEST(Hexa, EncodesLowerCaseHighNibbleFirst) {
  const Case cases[] = {
      {{0x00, 0xab}, "00ab"},
      {{0x02, 0x0a, 0x24, 0x0f}, "020a240f"},
      {{0xff, 0x10, 0x01, 0x9c}, "ff10019c"},
      {{}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(hexa(c.bytes), c.text);
    std::vector<unsigned char> back(c.bytes.size() + 1, 0xee);
    EXPECT_EQ(tav_gtuid_unhexa(c.text, static_cast<int>(strlen(c.text)), back.data()),
              static_cast<int>(c.bytes.size()));
    EXPECT_EQ(back.back(), 0xee) << "nothing past n / 2 bytes";
    back.pop_back();
    EXPECT_EQ(back, c.bytes);
  }
}

TEST(Hexa, EveryByteValueRoundTrips) {
  std::vector<unsigned char> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  const std::string text = hexa(all);
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos);
  std::vector<unsigned char> back(256);
  ASSERT_EQ(tav_gtuid_unhexa(text.data(), 512, back.data()), 256);
  EXPECT_EQ(back, all);
}

TEST(Hexa, UpperCaseIsDecoded) {
  unsigned char out[4] = {};
  ASSERT_EQ(tav_gtuid_unhexa("ABcdEF0a", 8, out), 4);
  EXPECT_EQ(out[0], 0xab);
  EXPECT_EQ(out[1], 0xcd);
  EXPECT_EQ(out[2], 0xef);
  EXPECT_EQ(out[3], 0x0a);
}

// Text that is not hexadecimal decodes to nothing at all: not even the bytes
// before the bad character are written.
TEST(Hexa, BadTextIsRefusedAndLeavesTheOutputAlone) {
  struct Bad {
    const char* text;
    int n;
  } cases[] = {
      {"00ab0g", 6},  // 'g' just past 'f'
      {"0G", 2},      // just past 'F'
      {"0:", 2},      // just past '9'
      {"/0", 2},      // just before '0'
      {"`0", 2},      // just before 'a'
      {"@0", 2},      // just before 'A'
      {"00 1", 4},
      {"0\0", 2},
      {"00ab1", 5},  // odd
      {"00ab", -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text, c.n > 0 ? c.n : 0));
    unsigned char out[4];
    memset(out, 0x5a, sizeof out);
    EXPECT_EQ(tav_gtuid_unhexa(c.text, c.n, out), -1);
    for (unsigned char b : out) EXPECT_EQ(b, 0x5a);
  }
  unsigned char out[1] = {0x5a};
  EXPECT_EQ(tav_gtuid_unhexa(nullptr, 2, out), -1);
  EXPECT_EQ(out[0], 0x5a);
  EXPECT_EQ(tav_gtuid_unhexa("00", 0, out), 0);
  EXPECT_EQ(out[0], 0x5a);
}

TEST(Hexa, NegativeLengthEncodesNothing) {
  char out[4] = {'#', '#', '#', '#'};
  const unsigned char in[2] = {1, 2};
  EXPECT_EQ(tav_gtuid_hexa(in, -1, out), -1);
  EXPECT_EQ(tav_gtuid_hexa(nullptr, 2, out), -1);
  EXPECT_EQ(std::string(out, 4), "####");
}

}  // namespace
