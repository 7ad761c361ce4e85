#include "config/lists.h"

#include <cstddef>

namespace sockvane::config {
namespace {

constexpr size_t kMaxIntegerText = 255;

char LowerByte(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerByte(a[i]) != LowerByte(b[i])) return false;
  }
  return true;
}

// Walks the items of `text` in order, handing each to `visit` as a view;
// a false return from `visit` stops the walk. Items are views into `text`
// except quoted ones holding doubled quotes, which are rebuilt in `scratch`.
// Returns false when the walk was stopped.
template <typename Visit>
bool ForEachItem(std::string_view text, char delimiter, std::string& scratch, Visit visit) {
  const size_t n = text.size();
  size_t pos = 0;
  bool first = true;
  while (pos < n) {
    if (!first && text[pos] == delimiter) ++pos;
    first = false;
    if (pos >= n) return visit(std::string_view());
    if (text[pos] == '"') {
      ++pos;
      const size_t begin = pos;
      bool doubled = false;
      size_t end = n;
      while (pos < n) {
        if (text[pos] == '"') {
          if (pos + 1 < n && text[pos + 1] == '"') {
            doubled = true;
            pos += 2;
            continue;
          }
          end = pos;
          ++pos;
          break;
        }
        ++pos;
      }
      std::string_view raw = text.substr(begin, end - begin);
      if (!doubled) {
        if (!visit(raw)) return false;
        continue;
      }
      scratch.clear();
      for (size_t i = 0; i < raw.size(); ++i) {
        scratch.push_back(raw[i]);
        if (raw[i] == '"') ++i;  // the second quote of a pair
      }
      if (!visit(std::string_view(scratch))) return false;
      continue;
    }
    size_t end = text.find(delimiter, pos);
    if (end == std::string_view::npos) end = n;
    if (!visit(text.substr(pos, end - pos))) return false;
    pos = end;
  }
  return true;
}

}  // namespace

std::optional<int32_t> ParseInteger(std::string_view text) {
  if (text.size() > kMaxIntegerText) return std::nullopt;
  size_t pos = 0;
  const size_t n = text.size();
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
    const int digit = DigitValue(text[pos]);
    if (digit >= base) return std::nullopt;
    magnitude = magnitude * base + digit;
    if (magnitude > kLimit) return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::vector<std::string> SplitDelimited(std::string_view text, char delimiter) {
  std::vector<std::string> items;
  std::string scratch;
  ForEachItem(text, delimiter, scratch, [&items](std::string_view item) {
    items.emplace_back(item);
    return true;
  });
  return items;
}

bool ListContains(std::string_view list, std::string_view item) {
  // Same result as searching "," + item + "," in "," + list + "," with the
  // list's blanks removed and both lower-cased, but without building either.
  if (item.find(' ') != std::string_view::npos) return false;  // the list has no blanks left
  const size_t n = list.size();
  auto skip_blanks = [&list, n](size_t k) {
    while (k < n && list[k] == ' ') ++k;
    return k;
  };
  // Every comma of the virtual haystack can start a match: the leading one
  // and each comma of the list.
  size_t start = 0;  // index just after the comma being tried
  while (true) {
    size_t k = start;
    bool matched = true;
    for (char c : item) {
      k = skip_blanks(k);
      if (k >= n || LowerByte(list[k]) != LowerByte(c)) {
        matched = false;
        break;
      }
      ++k;
    }
    if (matched) {
      k = skip_blanks(k);
      if (k >= n || list[k] == ',') return true;
    }
    const size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) return false;
    start = comma + 1;
  }
}

std::optional<uint32_t> Ipv4FromText(std::string_view text) {
  uint32_t value = 0;
  int count = 0;
  std::string scratch;
  const bool read_all = ForEachItem(text, '.', scratch, [&value, &count](std::string_view item) {
    if (++count > 4) return false;
    const std::optional<int32_t> number = ParseInteger(item);
    if (!number || *number < 0 || *number > 255) return false;
    value = (value << 8) + static_cast<uint32_t>(*number);
    return true;
  });
  if (!read_all || count != 4) return std::nullopt;
  return value;
}

bool MatchesNetwork(std::string_view address, std::string_view entry) {
  const size_t slash = entry.find('/');
  if (slash == std::string_view::npos) return EqualIgnoringAsciiCase(address, entry);
  const std::optional<int32_t> prefix = ParseInteger(entry.substr(slash + 1));
  if (!prefix || *prefix < 0 || *prefix > 32) return false;
  const std::optional<uint32_t> address_value = Ipv4FromText(address);
  if (!address_value) return false;
  const std::optional<uint32_t> network_value = Ipv4FromText(entry.substr(0, slash));
  if (!network_value) return false;
  const uint32_t mask = *prefix == 0 ? 0 : ~uint32_t{0} << (32 - *prefix);
  return (*address_value & mask) == (*network_value & mask);
}

bool MatchesAddressList(std::string_view address, std::string_view list) {
  if (list.empty()) return false;
  std::string scratch;
  // The walk stops at the first match, which shows as an interrupted walk.
  return !ForEachItem(list, ',', scratch, [address](std::string_view item) {
    return !MatchesNetwork(address, TrimControlAndBlank(item));
  });
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = LowerByte(c);
  return lower;
}

std::string_view TrimControlAndBlank(std::string_view text) {
  auto is_trimmed = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_trimmed(text[begin])) ++begin;
  while (end > begin && is_trimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace sockvane::config
