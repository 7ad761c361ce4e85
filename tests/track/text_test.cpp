#include "track/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace sockvane::track {
namespace {

using namespace std::string_literals;

// Only 'A' to 'Z' fold; every other byte, the neighbours of the letter range
// and bytes from 0x80 up included, is itself.
TEST(AsciiLower, FoldsOnlyAsciiLetters) {
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const char want = (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : c;
    ASSERT_EQ(AsciiLower(c), want) << b;
  }
  EXPECT_EQ(AsciiLower("Firefox.EXE"), "firefox.exe");
  EXPECT_EQ(AsciiLower("\xC4\xD6@[`{\0Z"s), "\xC4\xD6@[`{\0z"s);
  EXPECT_EQ(AsciiLower(""), "");
}

TEST(AsciiEqualsIgnoringCase, ComparesFoldedBytes) {
  struct Case {
    std::string a, b;
    bool equal, a_starts_with_b;
  };
  const Case cases[] = {
      {"", "", true, true},
      {"TCP", "tcp", true, true},
      {"tcp", "TCP", true, true},
      {"tcp", "tc", false, true},
      {"tc", "tcp", false, false},
      {"FE80::1", "fe", false, true},
      {"@", "`", false, false},        // 0x40 and 0x60 differ by the case bit, but are no letters
      {"[", "{", false, false},        // likewise 0x5B and 0x7B
      {"\xC4", "\xE4", false, false},  // Latin-1 letters do not fold
      {"a\0b"s, "A\0B"s, true, true},  // embedded NUL
      {"a\0b"s, "A\0C"s, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AsciiEqualsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(AsciiEqualsIgnoringCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    EXPECT_EQ(AsciiStartsWithIgnoringCase(c.a, c.b), c.a_starts_with_b) << c.a << " / " << c.b;
  }
}

TEST(DecimalText, PlainDecimalForEveryWidth) {
  EXPECT_EQ(DecimalText(uint16_t{0}), "0");
  EXPECT_EQ(DecimalText(uint16_t{65535}), "65535");
  EXPECT_EQ(DecimalText(uint32_t{4294967295u}), "4294967295");
  EXPECT_EQ(DecimalText(int32_t{-3600}), "-3600");
  EXPECT_EQ(DecimalText(int32_t{INT32_MIN}), "-2147483648");
  EXPECT_EQ(DecimalText(int64_t{INT64_MIN}), "-9223372036854775808");
  EXPECT_EQ(DecimalText(uint64_t{UINT64_MAX}), "18446744073709551615");
  EXPECT_EQ(DecimalText(10u), "10");
  std::string text = "pid=";
  AppendDecimal(text, 4312);
  AppendDecimal(text, uint8_t{7});  // a number, not a character
  EXPECT_EQ(text, "pid=43127");
}

}  // namespace
}  // namespace sockvane::track
