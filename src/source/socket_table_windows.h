// The Windows socket source with its table call as a parameter, so that
// tests can script what the IP helper answers.
#pragma once

#include <cstdint>
#include <string>

#include "source/source.h"

namespace sockvane::source {

// Same contract as GetExtendedTcpTable(table, size, FALSE, family,
// TCP_TABLE_OWNER_PID_ALL, 0): fills `table` (may be null) and `size`,
// returns a Win32 status. `family` is AF_INET or AF_INET6.
using TcpTableCall = uint32_t (*)(uint32_t family, void* table, uint32_t* size);

// GetExtendedTcpTable itself, as a TcpTableCall.
uint32_t SystemTcpTableCall(uint32_t family, void* table, uint32_t* size);

// Source::ReadTcpTable with `call` in place of GetExtendedTcpTable.
// With `direction`, each row's direction by the listeners of the tables read.
bool ReadTcpTableWith(TcpTableCall call, const RowConsumer& consume, const RowWanted& wanted, bool ipv6,
                      bool direction = false);

// Read attempts when the table outgrows the buffer between size query and read.
inline constexpr int kTcpTableAttempts = 3;

// File name of the process's image, or "unknown".
std::string ProcessNameForPid(uint32_t pid);

}  // namespace sockvane::source
