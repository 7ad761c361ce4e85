#include "track/snapshot.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <numeric>

namespace sockvane::track {
namespace {

// Rank of every byte in the key order: '.' < ':' < '|' < digits < letters
// (either case) < all other bytes by value. Two bytes share a rank only when
// they are the two cases of one letter.
constexpr std::array<uint16_t, 256> MakeRanks() {
  std::array<uint16_t, 256> rank{};
  rank['.'] = 0;
  rank[':'] = 1;
  rank['|'] = 2;
  for (int d = 0; d < 10; ++d) rank['0' + d] = static_cast<uint16_t>(3 + d);
  for (int l = 0; l < 26; ++l) {
    rank['a' + l] = static_cast<uint16_t>(13 + l);
    rank['A' + l] = static_cast<uint16_t>(13 + l);
  }
  for (int b = 0; b < 256; ++b) {
    const bool placed = b == '.' || b == ':' || b == '|' || (b >= '0' && b <= '9') ||
                        (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
    if (!placed) rank[b] = static_cast<uint16_t>(39 + b);
  }
  return rank;
}

constexpr std::array<uint16_t, 256> kRank = MakeRanks();

void AppendNumber(std::string& out, unsigned value) {
  char digits[8];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  (void)error;
  out.append(digits, end);
}

}  // namespace

void ConnectionKeyInto(const TConn& row, std::string& out) {
  out.clear();
  out.reserve(row.proto.size() + row.pid.size() + row.src_ip.size() + row.dst_ip.size() + 16);
  out += row.proto;
  out += '|';
  out += row.pid;
  out += '|';
  out += row.src_ip;
  out += '|';
  AppendNumber(out, row.src_port);
  out += '|';
  out += row.dst_ip;
  out += '|';
  AppendNumber(out, row.dst_port);
}

std::string ConnectionKey(const TConn& row) {
  std::string key;
  ConnectionKeyInto(row, key);
  return key;
}

int CompareKeys(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const int ra = kRank[static_cast<unsigned char>(a[i])];
    const int rb = kRank[static_cast<unsigned char>(b[i])];
    if (ra != rb) return ra < rb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AddRow(Snapshot& table, TConn row, const filter::Filters& filters, double now) {
  if (!filter::PassesFilters(row, filters)) return false;
  ConnectionKeyInto(row, row.key);
  row.first_seen = now;
  table.pending.push_back(std::move(row));
  return true;
}

void SealSnapshot(Snapshot& table) {
  if (table.pending.empty()) return;
  std::vector<std::size_t> order(table.pending.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Stable, so that of rows with one key the first offered comes first.
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return CompareKeys(table.pending[x].key, table.pending[y].key) < 0;
  });

  // The normal poll seals once into an empty table: fill it in place.
  std::vector<TConn> sealed;
  if (table.rows.empty()) {
    sealed.swap(table.rows);
    sealed.reserve(table.pending.size());
  } else {
    sealed.reserve(table.rows.size() + table.pending.size());
  }
  std::size_t old = 0;
  for (std::size_t index : order) {
    TConn& row = table.pending[index];
    while (old < table.rows.size() && CompareKeys(table.rows[old].key, row.key) < 0) {
      sealed.push_back(std::move(table.rows[old++]));
    }
    // A row sealed before was offered earlier and wins, as does the first of
    // several staged rows with one key.
    if (old < table.rows.size() && CompareKeys(table.rows[old].key, row.key) == 0) continue;
    if (!sealed.empty() && CompareKeys(sealed.back().key, row.key) == 0) continue;
    sealed.push_back(std::move(row));
  }
  while (old < table.rows.size()) sealed.push_back(std::move(table.rows[old++]));
  table.rows.swap(sealed);
  table.pending.clear();
}

void ClearSnapshot(Snapshot& table) {
  // The vectors keep their capacity for the next poll.
  table.rows.clear();
  table.pending.clear();
}

std::size_t FindKey(const Snapshot& table, std::string_view key) {
  auto it =
      std::lower_bound(table.rows.begin(), table.rows.end(), key,
                       [](const TConn& row, std::string_view k) { return CompareKeys(row.key, k) < 0; });
  if (it == table.rows.end() || CompareKeys(it->key, key) != 0) return kNotFound;
  return static_cast<std::size_t>(it - table.rows.begin());
}

}  // namespace sockvane::track
