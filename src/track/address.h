// Socket addresses: one 16-byte type for IPv4 and IPv6, their text forms,
// networks. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sockvane::track {

// Network byte order. IPv4 is held as ::ffff:a.b.c.d, the form a v4-mapped
// IPv6 socket has, since both are shown as the same dotted text: equal texts
// must be equal bytes.
using Address = std::array<uint8_t, 16>;

// A network-order IPv4 value (first octet in the lowest byte), as sockets hold it.
Address AddressFromIpv4(uint32_t network_order_address);

// a*2^24 + b*2^16 + c*2^8 + d as ::ffff:a.b.c.d, and back; nullopt for an
// address that is not v4-mapped.
Address MappedAddress(uint32_t value);
std::optional<uint32_t> MappedIpv4(const Address& address);

enum class Ipv4Numbers {
  kDotted,          // decimal 0 to 255, no leading zero: the form rows show
  kOptionIntegers,  // each part an integer as options write them (ParseInteger), cut as lists are
};

// Four numbers joined by '.', as a*2^24 + b*2^16 + c*2^8 + d.
std::optional<uint32_t> ParseIpv4(std::string_view text, Ipv4Numbers numbers);

// The RFC 4291 text forms: eight groups of one to four hex digits, "::" for
// one or more zero groups, a dotted IPv4 tail in place of the last two
// groups. No zone, no blanks.
std::optional<Address> ParseIpv6(std::string_view text);

// Network-order value (first octet in the lowest byte) to dotted text.
std::string Ipv4ToText(uint32_t network_order_address);

// RFC 5952 text, lower case; v4-mapped addresses as plain dotted IPv4.
std::string Ipv6ToText(const Address& address);

// `address` with all but its `length` (0 to 128) leading bits cleared.
Address Masked(const Address& address, int length);

// The addresses whose first `length` bits are those of `address`. An IPv4
// network a.b.c.d/n is ::ffff:a.b.c.d/(96 + n). Rows show v4-mapped addresses
// as IPv4, so a network shorter than 96 bits holds none of them.
struct Prefix {
  Address address{};  // masked
  uint8_t length = 0;
  bool operator==(const Prefix&) const = default;
};

// An address list's entry (trimmed): an IPv4 address as rows show it, an
// IPv6 address in any form, "a.b.c.d/n" (parts as options write integers)
// or "x::y/n". Nullopt for an entry that can match no address.
std::optional<Prefix> ParseNetwork(std::string_view entry);

}  // namespace sockvane::track
