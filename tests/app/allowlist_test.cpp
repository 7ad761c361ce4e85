#include "app/allowlist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace sockvane::app {
namespace {

using Lines = std::vector<std::string>;

struct DecodeCase {
  const char* name;
  std::string bytes;
  Lines lines;
};

// The same bytes arriving one at a time, as a slow pipe may hand them over.
Lines DecodeByteByByte(std::string_view bytes) {
  Lines lines;
  const LineSink keep = [&lines](std::string_view line) { lines.emplace_back(line); };
  AllowlistDecoder decoder;
  for (char c : bytes) FeedAllowlist(decoder, std::string_view(&c, 1), keep);
  EndAllowlist(decoder, keep);
  return lines;
}

LineSink Keep(Lines& lines) {
  return [&lines](std::string_view line) { lines.emplace_back(line); };
}

TEST(DecodeAllowlist, LinesAndMarks) {
  using namespace std::string_literals;
  const DecodeCase cases[] = {
      {"empty file", "", {}},
      {"three lines, no final break", "a\nb\nc", {"a", "b", "c"}},
      {"final break adds nothing", "a\nb\n", {"a", "b"}},
      {"lone break is one empty line", "\n", {""}},
      {"inner empty lines kept", "a\n\n\nb", {"a", "", "", "b"}},
      {"CRLF, lone CR and LF mixed", "a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"CR CR LF is two breaks", "a\r\r\nb", {"a", "", "b"}},
      {"LF CR is two breaks", "a\n\rb", {"a", "", "b"}},
      {"no trimming", "  10.0.0.1 # x\t", {"  10.0.0.1 # x\t"}},
      {"UTF-8 mark dropped", "\xEF\xBB\xBF" "10.0.0.1\n", {"10.0.0.1"}},
      {"UTF-8 Latin-1 letter to one byte", "\xEF\xBB\xBF\xC3\xA9", {"\xE9"}},
      {"UTF-8 beyond one byte", "\xEF\xBB\xBF\xE2\x82\xAC!", {"?!"}},
      {"UTF-8 overlong dot", "\xEF\xBB\xBF" "1\xE0\x80\xAE" "2", {"1?2"}},
      {"UTF-8 cut short at end", "\xEF\xBB\xBF" "a\xE2\x82", {"a?"}},
      {"UTF-8 stray continuation", "\xEF\xBB\xBF\x80x", {"?x"}},
      {"UTF-16LE", "\xFF\xFE" "1\0.\0" "2\0\r\0\n\0" "3\0"s, {"1.2", "3"}},
      {"UTF-16BE", "\xFE\xFF" "\0" "1\0.\0\n\0" "2"s, {"1.", "2"}},
      {"UTF-16 odd byte count", "\xFF\xFE" "a\0b"s, {"a?"}},
      {"UTF-16 lone high surrogate", "\xFF\xFE" "\x00\xD8" "a\0"s, {"?a"}},
      {"UTF-16 lone low surrogate", "\xFF\xFE" "\x00\xDC"s, {"?"}},
      {"UTF-16 surrogate pair is one character", "\xFF\xFE" "\x3D\xD8\x00\xDE" "x\0"s, {"?x"}},
      {"UTF-16 high surrogate at end", "\xFF\xFE" "x\0\x3D\xD8"s, {"x?"}},
      {"no mark: bytes as they are", "\xFF" "a\0b"s, {"\xFF" "a\0b"s}},
      {"two bytes of a mark only", "\xEF\xBB", {"\xEF\xBB"}},
      {"UTF-16 mark alone", "\xFF\xFE", {}},
      {"UTF-16 CR, LF in the next unit", "\xFF\xFE" "a\0\r\0\n\0\n\0"s, {"a", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeAllowlist(c.bytes), c.lines) << c.name;
    EXPECT_EQ(DecodeByteByByte(c.bytes), c.lines) << c.name;
  }
}

TEST(LoadAllowlist, MissingFileSaysWhy) {
  Lines lines;
  std::string error;
  EXPECT_FALSE(LoadAllowlist("/nonexistent/allow.txt", Keep(lines), error));
  EXPECT_EQ(error, "Unable to open file \"/nonexistent/allow.txt\": No such file or directory");
}

TEST(LoadAllowlist, DirectoryIsAnError) {
  Lines lines;
  std::string error;
  EXPECT_FALSE(LoadAllowlist(SOCKVANE_TEST_DATA, Keep(lines), error));
  EXPECT_NE(error.find("Unable to"), std::string::npos) << error;
}

TEST(LoadAllowlist, ReadsWholeFile) {
  const std::string path = testing::TempDir() + "sockvane-allow-big.txt";
  std::string content;
  for (int i = 0; i < 20000; ++i) content += "10.0.0." + std::to_string(i % 256) + "\n";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  Lines lines;
  std::string error;
  EXPECT_TRUE(LoadAllowlist(path, Keep(lines), error)) << error;
  std::remove(path.c_str());
  ASSERT_EQ(lines.size(), 20000u);
  EXPECT_EQ(lines[19999], "10.0.0.31");
}

}  // namespace
}  // namespace sockvane::app
