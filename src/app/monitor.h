// The main sequence and the poll loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "source/socket_table.h"

namespace sockvane::app {

// The socket source the loop reads; tests hand their own rows in.
using TableReader = std::function<bool(const source::RowConsumer&)>;

int RunMonitor(int argc, const char* const* argv, const TableReader& read_table);

}  // namespace sockvane::app
