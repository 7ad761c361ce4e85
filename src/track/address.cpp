#include "track/address.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "track/text.h"

namespace sockvane::track {
namespace {

void AppendHexGroup(std::string& out, unsigned value) {
  char digits[4];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value, 16).ptr);
}

// A part as rows write it: one to three digits, no leading zero.
std::optional<int32_t> DottedNumber(std::string_view part) {
  if (part.empty() || part.size() > 3 || (part[0] == '0' && part.size() > 1)) return std::nullopt;
  int32_t value = 0;
  for (char c : part) value = value * 10 + (c - '0');
  return value;
}

}  // namespace

Address AddressFromIpv4(uint32_t network_order_address) {
  Address address{};
  address[10] = 0xFF;
  address[11] = 0xFF;
  std::memcpy(address.data() + 12, &network_order_address, 4);
  return address;
}

Address MappedAddress(uint32_t value) {
  Address address{};
  address[10] = address[11] = 0xFF;
  for (int i = 0; i < 4; ++i) address[12 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return address;
}

std::optional<uint32_t> MappedIpv4(const Address& address) {
  for (int i = 0; i < 10; ++i) {
    if (address[i] != 0) return std::nullopt;
  }
  if (address[10] != 0xFF || address[11] != 0xFF) return std::nullopt;
  return uint32_t{address[12]} << 24 | uint32_t{address[13]} << 16 | uint32_t{address[14]} << 8 | address[15];
}

std::optional<uint32_t> ParseIpv4(std::string_view text, Ipv4Numbers numbers) {
  // Rows' digits only: a quote must not open an item here.
  if (numbers == Ipv4Numbers::kDotted && text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return std::nullopt;
  }
  uint32_t value = 0;
  int count = 0;
  const bool read_all = ForEachItem(text, '.', [&value, &count, numbers](std::string_view part) {
    if (++count > 4) return false;
    const std::optional<int32_t> number =
        numbers == Ipv4Numbers::kDotted ? DottedNumber(part) : ParseInteger(part);
    if (!number || *number < 0 || *number > 255) return false;
    value = value << 8 | static_cast<uint32_t>(*number);
    return true;
  });
  if (!read_all || count != 4) return std::nullopt;
  return value;
}

std::optional<Address> ParseIpv6(std::string_view text) {
  const std::size_t n = text.size();
  std::array<uint16_t, 8> groups{};
  std::size_t count = 0;
  std::optional<std::size_t> gap;  // groups before the "::"
  std::size_t pos = 0;
  if (text.starts_with("::")) {
    gap = 0;
    pos = 2;
  }
  while (pos < n) {
    const std::size_t start = pos;
    uint32_t value = 0;
    while (pos < n && HexDigitValue(text[pos]) < 16)
      value = value * 16 + static_cast<uint32_t>(HexDigitValue(text[pos++]));
    if (pos < n && text[pos] == '.') {
      // The IPv4 tail ends the text and fills two groups.
      const std::optional<uint32_t> tail = ParseIpv4(text.substr(start), Ipv4Numbers::kDotted);
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
  Address address{};
  std::size_t group = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (gap && i == *gap) group += 8 - count;
    address[2 * group] = static_cast<uint8_t>(groups[i] >> 8);
    address[2 * group + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
    ++group;
  }
  return address;
}

std::string Ipv4ToText(uint32_t network_order_address) {
  // Built in place, one allocation at most.
  char text[16];
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text[length++] = '.';
    const unsigned octet = (network_order_address >> (8 * i)) & 0xFF;
    if (octet >= 100) text[length++] = static_cast<char>('0' + octet / 100);
    if (octet >= 10) text[length++] = static_cast<char>('0' + octet / 10 % 10);
    text[length++] = static_cast<char>('0' + octet % 10);
  }
  return std::string(text, length);
}

std::string Ipv6ToText(const Address& address) {
  if (MappedIpv4(address)) {
    return Ipv4ToText(uint32_t{address[12]} | uint32_t{address[13]} << 8 | uint32_t{address[14]} << 16 |
                      uint32_t{address[15]} << 24);
  }

  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = unsigned{address[2 * i]} << 8 | address[2 * i + 1];

  // Longest run of two or more zero groups; the first one wins a tie.
  int best_start = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }

  std::string out;
  out.reserve(39);
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out.push_back(':');
    AppendHexGroup(out, groups[i]);
  }
  return out;
}

Address Masked(const Address& address, int length) {
  Address masked{};
  for (int i = 0; i < 16; ++i) {
    const int bits = std::clamp(length - 8 * i, 0, 8);
    masked[i] = static_cast<uint8_t>(address[i] & (0xFF00 >> bits));
  }
  return masked;
}

std::optional<Prefix> ParseNetwork(std::string_view entry) {
  const std::size_t slash = entry.find('/');
  if (slash == std::string_view::npos) {
    // Equal to an IPv6 row's text is equal in value; an IPv4 row's text is
    // the plain dotted form, which no other spelling equals.
    if (const std::optional<Address> address = ParseIpv6(entry)) return Prefix{*address, 128};
    if (const std::optional<uint32_t> value = ParseIpv4(entry, Ipv4Numbers::kDotted)) {
      return Prefix{MappedAddress(*value), 128};
    }
    return std::nullopt;
  }
  const std::optional<int32_t> length = ParseInteger(entry.substr(slash + 1));
  if (!length || *length < 0) return std::nullopt;
  if (const std::optional<Address> network = ParseIpv6(entry.substr(0, slash))) {
    if (*length > 128) return std::nullopt;
    return Prefix{Masked(*network, *length), static_cast<uint8_t>(*length)};
  }
  const std::optional<uint32_t> network = ParseIpv4(entry.substr(0, slash), Ipv4Numbers::kOptionIntegers);
  if (!network || *length > 32) return std::nullopt;
  const int bits = 96 + *length;
  return Prefix{Masked(MappedAddress(*network), bits), static_cast<uint8_t>(bits)};
}

}  // namespace sockvane::track
