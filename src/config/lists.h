// Integer, list and IPv4/IPv6 address matching on byte strings. All pure.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sockvane::config {

// Whole-text signed 32-bit integer: optional blanks/tabs, sign, base prefix
// ("$", "x", "X", "0x", "0X" hex; "%" binary; "&" octal), digits, nothing after.
std::optional<int32_t> ParseInteger(std::string_view text);

// Items of `text` cut at `delimiter`, honouring double-quoted items.
std::vector<std::string> SplitDelimited(std::string_view text, char delimiter);

// The same items handed to `visit` one at a time, for texts too long to copy.
void ForEachDelimited(std::string_view text, char delimiter,
                      const std::function<void(std::string_view)>& visit);

// Comma-list membership: blanks removed from the list, ASCII case ignored.
bool ListContains(std::string_view list, std::string_view item);

// a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d.
std::optional<uint32_t> Ipv4FromText(std::string_view text);

// An IPv6 address, most significant byte first.
using Ipv6Address = std::array<uint8_t, 16>;

// The RFC 4291 text forms: eight groups of one to four hex digits, "::" for
// one or more zero groups, a dotted-decimal IPv4 tail in place of the last
// two groups. No zone, no blanks.
std::optional<Ipv6Address> Ipv6FromText(std::string_view text);

// `address` with all but its `prefix` (0 to 128) leading bits cleared.
Ipv6Address MaskedIpv6(const Ipv6Address& address, int prefix);

// The a.b.c.d of ::ffff:a.b.c.d, which the socket source shows as dotted
// IPv4; nullopt for any other address.
std::optional<uint32_t> MappedIpv4(const Ipv6Address& address);

// Address against one entry: plain text equality (ASCII case ignored), IPv4
// network "a.b.c.d/n", or an IPv6 address or network "x::y[/n]" that matches
// IPv6 addresses by value. A v4-mapped IPv6 entry with n >= 96 (or none) also
// matches the dotted IPv4 addresses it covers.
bool MatchesNetwork(std::string_view address, std::string_view entry);

// Address against a comma list of entries, each trimmed of bytes 0..32.
bool MatchesAddressList(std::string_view address, std::string_view list);

// `text` without the bytes 0 to 32 at either end.
std::string_view TrimControlAndBlank(std::string_view text);

}  // namespace sockvane::config
