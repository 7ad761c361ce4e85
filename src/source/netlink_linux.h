// Socket tables from the kernel's sock_diag netlink dumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "source/socket_table_linux.h"

namespace sockvane::source {

enum class DiagStatus { kMore, kDone, kError };

// Parses one datagram of a sock_diag dump reply (of either request kind). Appends the sockets of
// messages with sequence number `seq`; kDone at NLMSG_DONE, kError on an
// error message or a malformed buffer. With `protocol` 0 each message names
// its own (the INET_DIAG_PROTOCOL attribute of destroy notifications);
// messages without one are skipped.
DiagStatus ParseDiagReply(const uint8_t* data, std::size_t size, uint32_t seq, uint8_t protocol,
                          std::vector<RawSocket>& out);

// One dump of the sockets of a family (AF_INET, AF_INET6, or AF_UNSPEC for
// both, TCP only) and protocol, filtered by `bytecode` (and leaving out
// listening sockets) when it is not empty. Appends its rows; false (nothing
// appended) when it failed.
bool DumpByNetlink(TableReads& reads, int family, uint8_t protocol, const std::vector<uint8_t>& bytecode,
                   std::vector<RawSocket>& out);

// The TCP listening sockets of both families, which a filtered dump leaves
// out; false (nothing appended) when the dump failed.
bool DumpTcpListeners(TableReads& reads, std::vector<RawSocket>& out);

// Whether the kernel still lists `socket` (same tuple and cookie) with a file,
// that is, held by some process or in flight; true also when it cannot tell.
bool StillHeld(TableReads& reads, const RawSocket& socket);

}  // namespace sockvane::source
