#include "track/snapshot.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "track/text.h"

namespace sockvane::track {
namespace {

// Rank of every byte in the key order: '.' < ':' < '|' < digits < letters
// (either case) < all other bytes by value. Two bytes share a rank only when
// they are the two cases of one letter. Ranks start at 1 so that 0 can stand
// for the end of a key, which ranks before every byte.
constexpr std::array<uint8_t, 256> MakeRanks() {
  std::array<uint8_t, 256> rank{};
  rank['.'] = 1;
  rank[':'] = 2;
  rank['|'] = 3;
  for (int d = 0; d < 10; ++d) rank['0' + d] = static_cast<uint8_t>(4 + d);
  for (int l = 0; l < 26; ++l) {
    rank['a' + l] = static_cast<uint8_t>(14 + l);
    rank['A' + l] = static_cast<uint8_t>(14 + l);
  }
  int next = 40;
  for (int b = 0; b < 256; ++b) {
    if (rank[b] == 0) rank[b] = static_cast<uint8_t>(next++);
  }
  return rank;
}

constexpr std::array<uint8_t, 256> kRank = MakeRanks();

// Eight ranks of `key` from `offset` as one number that compares like them.
uint64_t RankedPrefix(std::string_view key, std::size_t offset) {
  uint64_t packed = 0;
  for (std::size_t i = offset; i < offset + 8; ++i) {
    packed <<= 8;
    if (i < key.size()) packed |= kRank[static_cast<unsigned char>(key[i])];
  }
  return packed;
}

struct SortItem {
  uint64_t head = 0, mid = 0, tail = 0;
  std::size_t index = 0;
};

// First position at or after `i` where the bytes of a and b differ, or n.
std::size_t FirstDifference(const char* a, const char* b, std::size_t i, std::size_t n) {
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) return i + std::countr_zero(x ^ y) / 8;
      return i + std::countl_zero(x ^ y) / 8;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
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
  AppendDecimal(out, row.src_port);
  out += '|';
  out += row.dst_ip;
  out += '|';
  AppendDecimal(out, row.dst_port);
}

std::string ConnectionKey(const TConn& row) {
  std::string key;
  ConnectionKeyInto(row, key);
  return key;
}

int CompareKeys(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  // Equal bytes rank equal, so skip them at memory speed.
  for (std::size_t i = FirstDifference(a.data(), b.data(), 0, n); i < n;
       i = FirstDifference(a.data(), b.data(), i + 1, n)) {
    const uint8_t ra = kRank[static_cast<unsigned char>(a[i])];
    const uint8_t rb = kRank[static_cast<unsigned char>(b[i])];
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
  // Sorting the first 24 ranks of each key, held in place, spares most
  // look-ups of the rows (keys of one process share their first 16 bytes); the
  // offered position breaks ties, so that of rows with one key the first
  // offered comes first.
  std::vector<SortItem> order(table.pending.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    const std::string& key = table.pending[i].key;
    order[i] = SortItem{RankedPrefix(key, 0), RankedPrefix(key, 8), RankedPrefix(key, 16), i};
  }
  std::sort(order.begin(), order.end(), [&](const SortItem& x, const SortItem& y) {
    if (x.head != y.head) return x.head < y.head;
    if (x.mid != y.mid) return x.mid < y.mid;
    if (x.tail != y.tail) return x.tail < y.tail;
    const int rest = CompareKeys(table.pending[x.index].key, table.pending[y.index].key);
    return rest != 0 ? rest < 0 : x.index < y.index;
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
  const SortItem* before = nullptr;
  for (const SortItem& item : order) {
    TConn& row = table.pending[item.index];
    const bool may_repeat = before != nullptr && before->head == item.head && before->mid == item.mid &&
                            before->tail == item.tail;
    before = &item;
    while (old < table.rows.size() && CompareKeys(table.rows[old].key, row.key) < 0) {
      sealed.push_back(std::move(table.rows[old++]));
    }
    // A row sealed before was offered earlier and wins, as does the first of
    // several staged rows with one key.
    if (old < table.rows.size() && CompareKeys(table.rows[old].key, row.key) == 0) continue;
    if (may_repeat && !sealed.empty() && CompareKeys(sealed.back().key, row.key) == 0) continue;
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
