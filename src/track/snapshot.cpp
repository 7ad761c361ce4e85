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
// they are the two cases of one letter.
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

// The leading fields of CompareRows as one number that compares like them.
uint64_t RowPrefix(const TConn& row) {
  return uint64_t{row.pid} << 32 | uint32_t{row.src_port} << 16 | row.dst_port;
}

struct SortItem {
  uint64_t prefix = 0;
  std::size_t index = 0;
};

}  // namespace

void ConnectionKeyInto(const TConn& row, std::string& out) {
  out.clear();
  out += ProtoName(row.proto);
  out += '|';
  AppendDecimal(out, row.pid);
  out += '|';
  out += Ipv6ToText(row.src_ip);
  out += '|';
  AppendDecimal(out, row.src_port);
  out += '|';
  out += Ipv6ToText(row.dst_ip);
  out += '|';
  AppendDecimal(out, row.dst_port);
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

int CompareRows(const TConn& a, const TConn& b) {
  const uint64_t pa = RowPrefix(a), pb = RowPrefix(b);
  if (pa != pb) return pa < pb ? -1 : 1;
  if (a.proto != b.proto) return a.proto < b.proto ? -1 : 1;
  if (int order = std::memcmp(a.src_ip.data(), b.src_ip.data(), a.src_ip.size()); order != 0) return order;
  return std::memcmp(a.dst_ip.data(), b.dst_ip.data(), a.dst_ip.size());
}

void AddRow(Snapshot& table, TConn row, int64_t now_ms) {
  row.first_seen = now_ms;
  table.rows.push_back(std::move(row));
}

void SealSnapshot(Snapshot& table) {
  std::deque<TConn>& rows = table.rows;
  if (table.sealed == rows.size()) return;
  const bool from_empty = table.sealed == 0;
  // Sort small items, not rows; the offered position breaks ties, so that of
  // the rows of one key the first offered (a sealed one before any staged)
  // comes first.
  std::vector<SortItem> order(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) order[i] = SortItem{RowPrefix(rows[i]), i};
  std::sort(order.begin(), order.end(), [&rows](const SortItem& x, const SortItem& y) {
    if (x.prefix != y.prefix) return x.prefix < y.prefix;
    const int rest = CompareRows(rows[x.index], rows[y.index]);
    return rest != 0 ? rest < 0 : x.index < y.index;
  });

  // source[j]: the row that goes to position j; the later rows of a key go
  // to the end, to be cut off.
  std::vector<std::size_t> source;
  source.reserve(rows.size());
  std::vector<std::size_t> dropped;
  for (std::size_t k = 0; k < order.size(); ++k) {
    const bool repeat = k > 0 && order[k].prefix == order[k - 1].prefix &&
                        CompareRows(rows[order[k].index], rows[order[k - 1].index]) == 0;
    (repeat ? dropped : source).push_back(order[k].index);
  }
  const std::size_t kept = source.size();
  table.placed.clear();
  if (from_empty && rows.size() < kNotKept) {
    table.placed.assign(rows.size(), kNotKept);
    for (std::size_t j = 0; j < kept; ++j) table.placed[source[j]] = static_cast<uint32_t>(j);
  }
  source.insert(source.end(), dropped.begin(), dropped.end());
  order = {};

  // Permute in place, cycle by cycle; a visited position points at itself.
  for (std::size_t start = 0; start < source.size(); ++start) {
    if (source[start] == start) continue;
    TConn held = std::move(rows[start]);
    std::size_t at = start;
    while (source[at] != start) {
      const std::size_t from = source[at];
      rows[at] = std::move(rows[from]);
      source[at] = at;
      at = from;
    }
    rows[at] = std::move(held);
    source[at] = at;
  }
  rows.resize(kept);
  table.sealed = kept;
}

void ClearSnapshot(Snapshot& table) {
  table.rows.clear();
  table.sealed = 0;
  table.placed.clear();
}

namespace {

bool SameFacts(const ProcessName& a, const ProcessName& b) {
  if (a == b) return true;
  if (a == nullptr || b == nullptr) return false;
  return a->name == b->name && a->unit == b->unit;
}

bool SameRow(const TConn& a, const TConn& b) {
  return a.src_ip == b.src_ip && a.dst_ip == b.dst_ip && a.pid == b.pid && a.state == b.state &&
         a.src_port == b.src_port && a.dst_port == b.dst_port && a.proto == b.proto &&
         a.life_ms == b.life_ms && a.direction == b.direction && a.owner_from == b.owner_from &&
         a.uid == b.uid && SameFacts(a.process, b.process);
}

}  // namespace

bool SameOffer(const Snapshot& staged, const Snapshot& sealed) {
  // Every kept row was offered once: fewer places than rows means none were kept.
  if (staged.sealed != 0 || staged.rows.size() != sealed.placed.size() ||
      sealed.placed.size() < sealed.rows.size())
    return false;
  for (std::size_t i = 0; i < staged.rows.size(); ++i) {
    const uint32_t at = sealed.placed[i];
    if (at >= sealed.rows.size() || !SameRow(staged.rows[i], sealed.rows[at])) return false;
  }
  return true;
}

}  // namespace sockvane::track
