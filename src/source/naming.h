// Turning raw socket-table values into the texts a row carries. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "track/conn.h"

namespace sockvane::source {

// The texts of addresses and states are the row's own (track).
using track::Ipv4ToText;
using track::Ipv6ToText;
using track::TcpStateName;

// Low 16 bits of a network-order port field, in host order.
uint16_t PortFromNetworkOrder(uint32_t value);

// Path separators of each platform's image paths. A Linux file name may hold
// '\\' and ':', so only '/' separates there.
inline constexpr std::string_view kWindowsPathSeparators = "\\/:";
inline constexpr std::string_view kLinuxPathSeparators = "/";

// The part after the last of `separators`; the whole path without one.
std::string ProcessNameFromPath(std::string_view path, std::string_view separators);

// The process name from a /proc/PID/exe link: the part after the last '/',
// without the " (deleted)" the kernel appends once the image is unlinked.
std::string ProcessNameFromExeLink(std::string_view link);

}  // namespace sockvane::source
