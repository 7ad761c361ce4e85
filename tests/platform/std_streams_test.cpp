#include "platform/std_streams.h"

#include <gtest/gtest.h>

#include <string>

namespace sockvane::platform {
namespace {

TEST(WholeLinesPrefix, CutsOnlyAfterLineBreaks) {
  const std::string long_line = std::string(10, 'x') + "\n";
  struct Case {
    std::string text;
    std::size_t limit;
    std::size_t expected;
  } cases[] = {
      {"", 8, 0},
      {"ab\n", 8, 3},               // fits
      {"ab\ncd\nef\n", 8, 6},       // two whole lines, the third waits
      {"ab\ncd\n", 6, 6},           // exactly the limit
      {"ab\ncdefgh\n", 8, 3},       // the second line does not fit
      {long_line + "ab\n", 8, 11},  // a long first line goes alone
      {long_line, 8, 11},
      {"abcdefghij", 8, 10},    // no line break: all of it
      {"ab\ncdefghijk", 8, 3},  // an unfinished tail waits
      {"abcdefghij\nkl", 4, 11},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WholeLinesPrefix(c.text, c.limit), c.expected) << c.text << " limit " << c.limit;
  }
}

TEST(WholeLinesPrefix, ChunksCoverTheTextInWholeLines) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += std::string(static_cast<std::size_t>(i * 37 % 300), 'a') + "\n";
  std::string_view rest = text;
  std::string joined;
  while (!rest.empty()) {
    const std::size_t n = WholeLinesPrefix(rest, 4096);
    ASSERT_GT(n, 0u);
    ASSERT_LE(n, 4096u);
    ASSERT_EQ(rest[n - 1], '\n');
    joined.append(rest.substr(0, n));
    rest.remove_prefix(n);
  }
  EXPECT_EQ(joined, text);
}

}  // namespace
}  // namespace sockvane::platform
