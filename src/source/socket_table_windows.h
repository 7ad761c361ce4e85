// Test seam of the Windows socket source: the table call can be replaced.
#pragma once

#include <cstdint>

namespace sockvane::source {

// Same contract as GetExtendedTcpTable(table, size, FALSE, family,
// TCP_TABLE_OWNER_PID_ALL, 0): fills `table` (may be null) and `size`,
// returns a Win32 status. `family` is AF_INET or AF_INET6.
using TcpTableCall = uint32_t (*)(uint32_t family, void* table, uint32_t* size);

// Replaces the table call behind ReadTcpTable (nullptr restores the real one).
void SetTcpTableCallForTesting(TcpTableCall call);

// Read attempts when the table outgrows the buffer between size query and read.
inline constexpr int kTcpTableAttempts = 3;

}  // namespace sockvane::source
