#include "platform/clock.h"

#include <vector>

namespace sockvane::platform {
namespace {

// One strftime conversion or a run of literal text.
struct FormatToken {
  bool conversion;
  char letter;            // the conversion letter
  std::string_view text;  // the literal text
};

// Splits at conversions, skipping glibc's flags, width and E/O modifiers.
std::vector<FormatToken> TokenizeFormat(std::string_view format) {
  std::vector<FormatToken> tokens;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      std::size_t end = format.find('%', i);
      if (end == std::string_view::npos) end = format.size();
      tokens.push_back({false, 0, format.substr(i, end - i)});
      i = end;
      continue;
    }
    std::size_t j = i + 1;
    while (j < format.size() && std::string_view("_-0^#").find(format[j]) != std::string_view::npos) ++j;
    while (j < format.size() && format[j] >= '0' && format[j] <= '9') ++j;
    if (j < format.size() && (format[j] == 'E' || format[j] == 'O')) ++j;
    if (j >= format.size()) break;
    if (format[j] == '%') {
      tokens.push_back({false, 0, format.substr(j, 1)});
    } else {
      tokens.push_back({true, format[j], {}});
    }
    i = j + 1;
  }
  return tokens;
}

}  // namespace

bool IsUsableTimeSeparator(std::string_view separator) {
  if (separator.empty() || separator.size() > 8) return false;
  for (char ch : separator) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F || ch == '"' || ch == '\\' || ch == ',' || (ch >= '0' && ch <= '9')) {
      return false;
    }
  }
  return true;
}

std::string TimeSeparatorFromFormat(std::string_view format) {
  std::vector<FormatToken> tokens = TokenizeFormat(format);
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!tokens[i].conversion) continue;
    char c = tokens[i].letter;
    if (c == 'T' || c == 'R' || c == 'r') return ":";
    if (c != 'H' && c != 'I' && c != 'k' && c != 'l') continue;
    // Hour, text, minute; where seconds follow they must use the same text,
    // or the text is a unit ("%Hh%Mm") rather than a separator.
    if (i + 2 >= tokens.size() || tokens[i + 1].conversion || !tokens[i + 2].conversion ||
        tokens[i + 2].letter != 'M') {
      return ":";
    }
    std::string_view separator = tokens[i + 1].text;
    if (i + 4 < tokens.size() && tokens[i + 4].conversion && tokens[i + 4].letter == 'S' &&
        (tokens[i + 3].conversion || tokens[i + 3].text != separator)) {
      return ":";
    }
    if (i + 3 < tokens.size() && tokens[i + 3].conversion && tokens[i + 3].letter == 'S') return ":";
    if (!IsUsableTimeSeparator(separator)) return ":";
    return std::string(separator);
  }
  return ":";
}

}  // namespace sockvane::platform
