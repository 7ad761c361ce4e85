// One read of the operating system's socket table.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "track/conn.h"

namespace sockvane::source {

using RowConsumer = std::function<void(track::TConn&& row)>;

// Hands every endpoint to `consume` with proto, pid, process, addresses,
// ports and state filled. Returns false when the read failed (no rows were
// handed over), true otherwise, an empty table included.
bool ReadTcpTable(const RowConsumer& consume);

// File name of the process's image, or "unknown".
std::string ProcessNameForPid(uint32_t pid);

}  // namespace sockvane::source
