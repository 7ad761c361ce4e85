// Byte-string helpers every subsystem shares: ASCII case folding, decimal
// numbers, integers as the options write them, delimited items. Texts are
// bytes; only 'A' to 'Z' have another case here. Pure.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace sockvane::track {

constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLower(std::string_view text);

// Equal once both sides are folded.
bool AsciiEqualsIgnoringCase(std::string_view a, std::string_view b);

// `text` without the bytes 0 to 32 at either end.
std::string_view TrimControlAndBlank(std::string_view text);

// Plain decimal: a '-' for negative values, no leading zeros, no blanks.
template <typename Number>
requires std::is_integral_v<Number>
void AppendDecimal(std::string& out, Number value) {
  char digits[24];
  const std::to_chars_result result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

template <typename Number>
requires std::is_integral_v<Number> std::string DecimalText(Number value) {
  std::string text;
  AppendDecimal(text, value);
  return text;
}

// 0 to 15 for a hexadecimal digit of either case, 99 for any other byte.
int HexDigitValue(char c);

// Whole-text signed 32-bit integer: optional blanks/tabs, sign, base prefix
// ("$", "x", "X", "0x", "0X" hex; "%" binary; "&" octal), digits, nothing after.
std::optional<int32_t> ParseInteger(std::string_view text);

// Hands `visit` the items of `text` cut at `delimiter` in order; a false
// return stops the walk, and the walk then returns false. An item that begins
// with '"' runs to the next lone '"' (or the end), its delimiters kept and
// each doubled quote standing for one; scanning resumes after it.
template <typename Visit>
bool ForEachItem(std::string_view text, char delimiter, Visit visit) {
  const std::size_t n = text.size();
  std::string scratch;  // a quoted item with doubled quotes, rebuilt
  std::size_t pos = 0;
  bool first = true;
  while (pos < n) {
    if (!first && text[pos] == delimiter) ++pos;
    first = false;
    if (pos >= n) return visit(std::string_view());
    if (text[pos] != '"') {
      std::size_t end = text.find(delimiter, pos);
      if (end == std::string_view::npos) end = n;
      if (!visit(text.substr(pos, end - pos))) return false;
      pos = end;
      continue;
    }
    const std::size_t begin = ++pos;
    std::size_t end = n;
    bool doubled = false;
    for (; pos < n; ++pos) {
      if (text[pos] != '"') continue;
      if (pos + 1 < n && text[pos + 1] == '"') {
        doubled = true;
        ++pos;
        continue;
      }
      end = pos++;
      break;
    }
    std::string_view item = text.substr(begin, end - begin);
    if (doubled) {
      scratch.clear();
      for (std::size_t i = 0; i < item.size(); ++i) {
        scratch.push_back(item[i]);
        if (item[i] == '"') ++i;  // the second quote of a pair
      }
      item = scratch;
    }
    if (!visit(item)) return false;
  }
  return true;
}

}  // namespace sockvane::track
