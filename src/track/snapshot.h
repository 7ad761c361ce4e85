// The keyed table of the sockets of one poll.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "filter/filters.h"
#include "track/conn.h"

namespace sockvane::track {

// proto|pid|src_ip|src_port|dst_ip|dst_port, ports in plain decimal.
std::string ConnectionKey(const TConn& row);
void ConnectionKeyInto(const TConn& row, std::string& out);

// Key order: '.' < ':' < '|' < digits < letters (ASCII case ignored), other
// bytes after those; a prefix ranks first. Negative, zero or positive.
int CompareKeys(std::string_view a, std::string_view b);

// Sorted by key, one record per key (the first row offered wins).
// Rows offered by AddRow are staged and merged into order by SealSnapshot;
// readers see only sealed rows.
struct Snapshot {
  std::vector<TConn> rows;     // sorted, unique keys
  std::vector<TConn> pending;  // offered since the last seal, arrival order
};

// Filters the row, keys it and stages it with first_seen = now.
// Returns true when the row passed the filters.
bool AddRow(Snapshot& table, TConn row, const filter::Filters& filters, double now);

// Sorts staged rows into the table, dropping later duplicates of a key.
void SealSnapshot(Snapshot& table);

void ClearSnapshot(Snapshot& table);

// Position of `key` in the sealed rows, or npos.
inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);
std::size_t FindKey(const Snapshot& table, std::string_view key);

}  // namespace sockvane::track
