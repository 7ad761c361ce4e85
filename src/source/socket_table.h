// One read of the operating system's socket table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "track/conn.h"

namespace sockvane::source {

using RowConsumer = std::function<void(track::TConn&& row)>;

// Judges a row whose pid and process are not filled yet: false when the row is
// not wanted whoever owns it. Such rows are not handed over, and their owners
// are not looked for (the costly part of a read).
using RowWanted = std::function<bool(const track::TConn& row)>;

// Hands every endpoint (that `wanted`, when given, accepts) to `consume` with
// proto, pid, process, addresses, ports and state filled. Returns false when
// the read failed (no rows were handed over), true otherwise, an empty table
// included. `ipv6` adds the IPv6 TCP table where it is read only on request
// (Windows); the Linux build reads IPv6 always and ignores it.
bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted = nullptr, bool ipv6 = false);

// File name of the process's image, or "unknown".
std::string ProcessNameForPid(uint32_t pid);

// Why the last read could not search for the owners of its sockets (every row
// then has PID 0), or "" when it could.
std::string OwnerSearchProblem();

}  // namespace sockvane::source
