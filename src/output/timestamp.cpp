#include "output/timestamp.h"

#include <cstdio>

namespace sockvane::output {
namespace {

// Zero-padded to `width` digits; the values here are never negative.
void AppendDigits(std::string& text, int value, int width) {
  char digits[8];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(digits, static_cast<std::size_t>(width));
}

}  // namespace

std::string TimestampText(const platform::CivilTime& t, config::TimestampStyle style,
                          std::string_view separator) {
  std::string text;
  text.reserve(24);
  if (style == config::TimestampStyle::kIso8601) {
    if (t.year >= 0 && t.year <= 9999) {
      AppendDigits(text, t.year, 4);
    } else {
      char year[16];
      std::snprintf(year, sizeof year, "%04d", t.year);
      text += year;
    }
    text += '-';
    AppendDigits(text, t.month, 2);
    text += '-';
    AppendDigits(text, t.day, 2);
    text += 'T';
    separator = ":";
  }
  AppendDigits(text, t.hour, 2);
  text += separator;
  AppendDigits(text, t.minute, 2);
  text += separator;
  AppendDigits(text, t.second, 2);
  text += '.';
  AppendDigits(text, t.millisecond, 3);
  return text;
}

}  // namespace sockvane::output
