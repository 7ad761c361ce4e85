// The keyed table of the sockets of one poll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "track/conn.h"

namespace sockvane::track {

// The key text proto|pid|src_ip|src_port|dst_ip|dst_port, ports in plain
// decimal, into `out`. Built only for rows whose events are printed, to order them.
void ConnectionKeyInto(const TConn& row, std::string& out);

// Key order: '.' < ':' < '|' < digits < letters (ASCII case ignored), other
// bytes after those; a prefix ranks first. Negative, zero or positive.
int CompareKeys(std::string_view a, std::string_view b);

// A total order on the six key fields in binary form. Zero exactly when the
// key texts are equal; otherwise unrelated to the key order.
int CompareRows(const TConn& a, const TConn& b);

// One record per key (the first row offered wins), sorted by CompareRows.
// AddRow stages rows after the sealed ones; SealSnapshot sorts them in.
// Readers see a sealed table only.
struct Snapshot {
  // In blocks: a vector would grow by doubling, holding two copies of a
  // large first poll at once and up to twice the room for good.
  std::deque<TConn> rows;
  std::size_t sealed = 0;  // rows[0, sealed) are in order
  // Where each row offered to an empty table went at its seal, in the order
  // offered (kNotKept for a later row of a key); empty otherwise.
  std::vector<uint32_t> placed;
};

inline constexpr uint32_t kNotKept = UINT32_MAX;

// Stages a row that passed the filters, with first_seen = now_ms.
void AddRow(Snapshot& table, TConn row, int64_t now_ms);

// Sorts staged rows into the table, dropping later rows of a key.
void SealSnapshot(Snapshot& table);

void ClearSnapshot(Snapshot& table);

// Whether the rows staged in `staged` (an empty table until then) are, in the
// order offered, those `sealed` was sealed from, field by field (first_seen
// aside): a poll that finds the table as it was. Pure.
bool SameOffer(const Snapshot& staged, const Snapshot& sealed);

}  // namespace sockvane::track
