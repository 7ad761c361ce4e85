// Socket tables from the text files under /proc/net, for systems where the
// netlink dump is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "source/socket_table_linux.h"

namespace sockvane::source {

// One line of /proc/net/{tcp,tcp6,udp,udp6}; false for the header and for
// anything malformed.
bool ParseProcNetLine(std::string_view line, bool ipv6, uint8_t protocol, RawSocket& out);

// All the rows of one such file.
void ParseProcNetText(std::string_view text, bool ipv6, uint8_t protocol, std::vector<RawSocket>& out);

// Appends the rows of `root`/net/{tcp,tcp6,udp,udp6}; false when the file
// could not be read (a missing IPv6 file is an empty table).
bool ReadProcNet(const std::string& root, bool ipv6, uint8_t protocol, std::vector<RawSocket>& out);

// The TCP and UDP sockets in use that /proc/net/sockstat{,6} counts ("TCP:
// inuse N", and UDP, TCP6, UDP6 alike), summed. Pure.
std::size_t SocketsInUse(std::string_view sockstat);

// That count for the network namespace of `root`; false when it cannot be read.
bool ReadSocketsInUse(const std::string& root, std::size_t& count);

}  // namespace sockvane::source
