// Local wall clock, pauses and the locale's time separator on Linux.
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "source/clock.h"
#include "source/naming.h"
#include "track/day_count.h"

namespace sockvane::source {

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

double NowDays() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  // The civil fields change once a second; a busy poll reads the clock per row.
  static time_t cached_second = -1;
  static int64_t cached_days = 0;
  static int64_t cached_second_ms = 0;
  if (now.tv_sec != cached_second) {
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) return 0;
    cached_days = track::DayNumber(int64_t{local.tm_year} + 1900, local.tm_mon + 1, local.tm_mday);
    // Leap seconds (tm_sec 60) fold into the last second of the minute.
    const int second = local.tm_sec > 59 ? 59 : local.tm_sec;
    cached_second_ms = ((int64_t{local.tm_hour} * 60 + local.tm_min) * 60 + second) * 1000;
    cached_second = now.tv_sec;
  }
  const int64_t ms = cached_second_ms + now.tv_nsec / 1000000;
  return static_cast<double>(cached_days) + static_cast<double>(ms) / 86400000.0;
}

void PauseMs(uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::string TimeSeparator() {
  locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return ":";
  std::string format = nl_langinfo_l(T_FMT, locale);
  freelocale(locale);
  return TimeSeparatorFromFormat(format);
}

}  // namespace sockvane::source
