// Byte-string helpers every subsystem shares: ASCII case folding and decimal
// numbers. Texts are bytes; only 'A' to 'Z' have another case here. Pure.
#pragma once

#include <charconv>
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

// `text` begins with `prefix`, both folded.
bool AsciiStartsWithIgnoringCase(std::string_view text, std::string_view prefix);

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

}  // namespace sockvane::track
