#include "track/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"TCP", "tcp", true},
      {"tcp", "TCP", true},
      {"tcp", "tc", false},
      {"tc", "tcp", false},
      {"FE80::1", "fe", false},
      {"@", "`", false},         // 0x40 and 0x60 differ by the case bit, but are no letters
      {"[", "{", false},         // likewise 0x5B and 0x7B
      {"\xC4", "\xE4", false},   // Latin-1 letters do not fold
      {"a\0b"s, "A\0B"s, true},  // embedded NUL
      {"a\0b"s, "A\0C"s, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AsciiEqualsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(AsciiEqualsIgnoringCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
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

constexpr std::optional<int32_t> kFail = std::nullopt;

std::vector<std::string> Split(std::string_view text, char delimiter) {
  std::vector<std::string> items;
  ForEachItem(text, delimiter, [&items](std::string_view item) {
    items.emplace_back(item);
    return true;
  });
  return items;
}

TEST(ParseIntegerTest, Table) {
  struct Case {
    std::string text;
    std::optional<int32_t> want;
  };
  const std::vector<Case> cases = {
      // decimal, sign, leading zeros, leading blanks and tabs
      {"42", 42},
      {"+42", 42},
      {"0042", 42},
      {" 42", 42},
      {"\t42", 42},
      {" \t 42", 42},
      {"-7", -7},
      {"0", 0},
      {"-0", 0},
      {"010", 10},
      // base prefixes
      {"0x1F", 31},
      {"0X1f", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"$1F", 31},
      {"%101", 5},
      {"&17", 15},
      {"-0x10", -16},
      {"+$ff", 255},
      {"-%11", -3},
      {" &0", 0},
      // range
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", kFail},
      {"-2147483649", kFail},
      {"0x7fffffff", INT32_MAX},
      {"0x80000000", kFail},
      {"-0x80000000", INT32_MIN},
      {"-0x80000001", kFail},
      {"%1" + std::string(31, '0'), kFail},
      {"%1" + std::string(30, '0'), 1 << 30},
      {"99999999999999999999999", kFail},
      {"0x" + std::string(40, 'f'), kFail},
      {"00000000000000000000000000000000001", 1},
      // must be the whole text
      {"42 ", kFail},
      {"4 2", kFail},
      {"1.5", kFail},
      {"1e3", kFail},
      {"12ab", kFail},
      {"20ms", kFail},
      {"1\n", kFail},
      {"4\0"
       "2"s,
       kFail},
      {"\xff", kFail},
      // nothing left after sign or prefix
      {"", kFail},
      {" ", kFail},
      {"-", kFail},
      {"+", kFail},
      {"0x", kFail},
      {"x", kFail},
      {"$", kFail},
      {"%", kFail},
      {"&", kFail},
      {"- 1", kFail},
      // digits outside the base, doubled signs and prefixes
      {"%102", kFail},
      {"&8", kFail},
      {"0xg", kFail},
      {"--1", kFail},
      {"+-1", kFail},
      {"0x-1", kFail},
      {"0x0x1", kFail},
      {"$0x1", kFail},
      {"0b101", kFail},
      {"1-", kFail},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseInteger(c.text), c.want) << "text [" << c.text << "]";
  }
}

TEST(ParseIntegerTest, LengthLimitCountsEveryByte) {
  struct Case {
    std::string text;
    std::optional<int32_t> want;
  };
  const std::vector<Case> cases = {
      {std::string(254, '0') + "7", 7},         {std::string(255, '0') + "7", kFail},
      {std::string(250, ' ') + "12345", 12345}, {std::string(251, ' ') + "12345", kFail},
      {"-" + std::string(253, '0') + "9", -9},  {"-" + std::string(254, '0') + "9", kFail},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseInteger(c.text), c.want) << "length " << c.text.size();
  }
}

TEST(ForEachItemTest, Table) {
  using Items = std::vector<std::string>;
  struct Case {
    std::string text;
    char delimiter;
    Items want;
  };
  const std::vector<Case> cases = {
      {"", ',', {}},
      {"a", ',', {"a"}},
      {"a,b", ',', {"a", "b"}},
      {"a,", ',', {"a", ""}},
      {",a", ',', {"", "a"}},
      {"a,,b", ',', {"a", "", "b"}},
      {",", ',', {"", ""}},
      {",,", ',', {"", "", ""}},
      {" a , b ", ',', {" a ", " b "}},
      // quoted items
      {"\"x,y\"", ',', {"x,y"}},
      {"\"x,y\",z", ',', {"x,y", "z"}},
      {"a,\"b,c\",d", ',', {"a", "b,c", "d"}},
      {"\"\"", ',', {""}},
      {"\"\",a", ',', {"", "a"}},
      {"\"x\",", ',', {"x", ""}},
      {"\"say \"\"hi\"\"\"", ',', {"say \"hi\""}},
      {"\"\"\"\"", ',', {"\""}},
      {"\"a\"\"\"\"b\",c", ',', {"a\"\"b", "c"}},
      // a quote only opens an item at its start
      {"a\"b,c", ',', {"a\"b", "c"}},
      // scanning resumes right after the closing quote
      {"\"x\"y,z", ',', {"x", "y", "z"}},
      // unclosed quote runs to the end
      {"\"abc,def", ',', {"abc,def"}},
      {"a,\"b", ',', {"a", "b"}},
      {"\"", ',', {""}},
      {"\"a\"\"", ',', {"a\""}},
      // other delimiters
      {"1.2.3.4", '.', {"1", "2", "3", "4"}},
      {"1.2.3.4.", '.', {"1", "2", "3", "4", ""}},
      {"1,2.3", '.', {"1,2", "3"}},
      {"a;b", ';', {"a", "b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Split(c.text, c.delimiter), c.want) << "text [" << c.text << "]";
  }
}

TEST(TextHelpersTest, AsciiLowerAndTrim) {
  struct Case {
    std::string text;
    std::string lower;
    std::string trimmed;
  };
  const std::vector<Case> cases = {
      {"ABC xyz", "abc xyz", "ABC xyz"},
      {"@[`{", "@[`{", "@[`{"},
      {"\xC4\xD6", "\xC4\xD6", "\xC4\xD6"},
      {"  A b  ", "  a b  ", "A b"},
      {"\x01\x20X\x1f", "\x01\x20x\x1f", "X"},
      {"\x21X\x7f", "\x21x\x7f", "\x21X\x7f"},
      {"\xa0X\xa0", "\xa0x\xa0", "\xa0X\xa0"},
      {"\0Z\0"s, "\0z\0"s, "Z"},
      {"", "", ""},
      {" \t\r\n", " \t\r\n", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AsciiLower(c.text), c.lower);
    EXPECT_EQ(TrimControlAndBlank(c.text), c.trimmed);
  }
}

}  // namespace
}  // namespace sockvane::track
