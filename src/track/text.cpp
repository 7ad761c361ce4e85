#include "track/text.h"

namespace sockvane::track {

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

bool AsciiEqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::string_view TrimControlAndBlank(std::string_view text) {
  auto is_trimmed = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_trimmed(text[begin])) ++begin;
  while (end > begin && is_trimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

std::optional<int32_t> ParseInteger(std::string_view text) {
  constexpr std::size_t kMaxText = 255;
  if (text.size() > kMaxText) return std::nullopt;
  std::size_t pos = 0;
  const std::size_t n = text.size();
  while (pos < n && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  bool negative = false;
  if (pos < n && (text[pos] == '-' || text[pos] == '+')) {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (pos < n) {
    const char c = text[pos];
    if (c == '$' || c == 'x' || c == 'X') {
      base = 16;
      ++pos;
    } else if (c == '0' && pos + 1 < n && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
      base = 16;
      pos += 2;
    } else if (c == '%') {
      base = 2;
      ++pos;
    } else if (c == '&') {
      base = 8;
      ++pos;
    }
  }
  if (pos >= n) return std::nullopt;
  // One past the magnitude of the most negative value: enough to tell
  // overflow without the accumulator itself overflowing.
  constexpr int64_t kLimit = int64_t{1} << 31;
  int64_t magnitude = 0;
  for (; pos < n; ++pos) {
    const int digit = HexDigitValue(text[pos]);
    if (digit >= base) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > kLimit) return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace sockvane::track
