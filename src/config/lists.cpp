#include "config/lists.h"

#include <algorithm>
#include <cstddef>

#include "track/text.h"

namespace sockvane::config {
namespace {

constexpr size_t kMaxIntegerText = 255;

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
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

// Dotted decimal as RFC 4291 writes an IPv4 tail: four numbers 0 to 255,
// digits only, no leading zero.
std::optional<uint32_t> StrictIpv4(std::string_view text) {
  uint32_t value = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0 && (pos >= text.size() || text[pos++] != '.')) return std::nullopt;
    const size_t start = pos;
    uint32_t number = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      number = number * 10 + static_cast<uint32_t>(text[pos++] - '0');
    }
    if (pos == start || number > 255 || (text[start] == '0' && pos - start > 1)) return std::nullopt;
    value = value << 8 | number;
  }
  if (pos != text.size()) return std::nullopt;
  return value;
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

void ForEachDelimited(std::string_view text, char delimiter,
                      const std::function<void(std::string_view)>& visit) {
  std::string scratch;
  ForEachItem(text, delimiter, scratch, [&visit](std::string_view item) {
    visit(item);
    return true;
  });
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
      if (k >= n || track::AsciiLower(list[k]) != track::AsciiLower(c)) {
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

std::optional<Ipv6Address> Ipv6FromText(std::string_view text) {
  const size_t n = text.size();
  std::array<uint16_t, 8> groups{};
  size_t count = 0;
  std::optional<size_t> gap;  // groups before the "::"
  size_t pos = 0;
  if (text.starts_with("::")) {
    gap = 0;
    pos = 2;
  }
  while (pos < n) {
    const size_t start = pos;
    uint32_t value = 0;
    while (pos < n && DigitValue(text[pos]) < 16)
      value = value * 16 + static_cast<uint32_t>(DigitValue(text[pos++]));
    if (pos < n && text[pos] == '.') {
      // The IPv4 tail ends the text and fills two groups.
      const std::optional<uint32_t> tail = StrictIpv4(text.substr(start));
      if (!tail || count > 6) return std::nullopt;
      groups[count++] = static_cast<uint16_t>(*tail >> 16);
      groups[count++] = static_cast<uint16_t>(*tail & 0xFFFF);
      pos = n;
      break;
    }
    if (pos == start || pos - start > 4 || count == 8) return std::nullopt;
    groups[count++] = static_cast<uint16_t>(value);
    if (pos == n) break;
    if (text[pos] != ':') return std::nullopt;
    if (++pos == n) return std::nullopt;  // a lone trailing ':'
    if (text[pos] == ':') {
      if (gap) return std::nullopt;  // a second "::"
      gap = count;
      ++pos;
    }
  }
  // "::" stands for at least one zero group.
  if (gap ? count > 7 : count != 8) return std::nullopt;
  Ipv6Address address{};
  size_t group = 0;
  for (size_t i = 0; i < count; ++i) {
    if (gap && i == *gap) group += 8 - count;
    address[2 * group] = static_cast<uint8_t>(groups[i] >> 8);
    address[2 * group + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
    ++group;
  }
  return address;
}

Ipv6Address MaskedIpv6(const Ipv6Address& address, int prefix) {
  Ipv6Address masked{};
  for (int i = 0; i < 16; ++i) {
    const int bits = std::clamp(prefix - 8 * i, 0, 8);
    masked[i] = static_cast<uint8_t>(address[i] & (0xFF00 >> bits));
  }
  return masked;
}

std::optional<uint32_t> MappedIpv4(const Ipv6Address& address) {
  for (int i = 0; i < 10; ++i) {
    if (address[i] != 0) return std::nullopt;
  }
  if (address[10] != 0xFF || address[11] != 0xFF) return std::nullopt;
  return uint32_t{address[12]} << 24 | uint32_t{address[13]} << 16 | uint32_t{address[14]} << 8 | address[15];
}

namespace {

// `address`, IPv6 or dotted IPv4 text, against an IPv6 network. The source
// shows v4-mapped addresses as dotted IPv4, so a v4-mapped network that fits
// in the IPv4 part matches those too.
bool MatchesIpv6Network(std::string_view address, const Ipv6Address& network, int prefix) {
  if (const std::optional<Ipv6Address> value = Ipv6FromText(address)) {
    return MaskedIpv6(*value, prefix) == MaskedIpv6(network, prefix);
  }
  const std::optional<uint32_t> network4 = MappedIpv4(network);
  if (prefix < 96 || !network4) return false;
  const std::optional<uint32_t> value = Ipv4FromText(address);
  if (!value) return false;
  const uint32_t mask = prefix == 96 ? 0 : ~uint32_t{0} << (128 - prefix);
  return (*value & mask) == (*network4 & mask);
}

}  // namespace

bool MatchesNetwork(std::string_view address, std::string_view entry) {
  const size_t slash = entry.find('/');
  if (slash == std::string_view::npos) {
    if (track::AsciiEqualsIgnoringCase(address, entry)) return true;
    const std::optional<Ipv6Address> network = Ipv6FromText(entry);
    return network && MatchesIpv6Network(address, *network, 128);
  }
  const std::optional<int32_t> prefix = ParseInteger(entry.substr(slash + 1));
  if (!prefix) return false;
  if (const std::optional<Ipv6Address> network = Ipv6FromText(entry.substr(0, slash))) {
    return *prefix >= 0 && *prefix <= 128 && MatchesIpv6Network(address, *network, *prefix);
  }
  if (*prefix < 0 || *prefix > 32) return false;
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

std::string_view TrimControlAndBlank(std::string_view text) {
  auto is_trimmed = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && is_trimmed(text[begin])) ++begin;
  while (end > begin && is_trimmed(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

}  // namespace sockvane::config
