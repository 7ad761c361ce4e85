// Turning raw socket-table values into the texts a row carries. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace sockvane::source {

// Network-order value (first octet in the lowest byte) to dotted text.
std::string Ipv4ToText(uint32_t network_order_address);

// RFC 5952 text, lower case; IPv4-mapped addresses as plain dotted IPv4.
std::string Ipv6ToText(const std::array<uint8_t, 16>& address);

// MIB state number to name; 1, 0 and 13+ as decimal text.
std::string TcpStateName(uint32_t state);

// Low 16 bits of a network-order port field, in host order.
uint16_t PortFromNetworkOrder(uint32_t value);

// The part after the last '\\', '/' or ':'; the whole path without one.
std::string ProcessNameFromPath(std::string_view path);

// Whether a locale's time separator can stand in a timestamp: it must not
// break a CSV or JSON field nor read as a digit.
bool IsUsableTimeSeparator(std::string_view separator);

}  // namespace sockvane::source
