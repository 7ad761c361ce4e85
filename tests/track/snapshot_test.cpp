#include "track/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace sockvane::track {
namespace {

TConn Row(std::string pid, uint16_t src_port = 50123, std::string dst_ip = "8.8.8.8",
          uint16_t dst_port = 443) {
  TConn row;
  row.proto = "TCP";
  row.pid = std::move(pid);
  row.process = "browser.exe";
  row.src_ip = "192.168.1.20";
  row.src_port = src_port;
  row.dst_ip = std::move(dst_ip);
  row.dst_port = dst_port;
  row.state = "ESTABLISHED";
  return row;
}

filter::Filters AllDestinations() {
  config::Settings settings;
  settings.include_all = true;
  return filter::CompileFilters(settings, {});
}

std::vector<std::string> Keys(const Snapshot& table) {
  std::vector<std::string> keys;
  for (const TConn& row : table.rows) keys.push_back(row.key);
  return keys;
}

TEST(ConnectionKey, JoinsTheSixFieldsWithPlainPorts) {
  TConn row = Row("4312", 50123, "203.0.113.5", 443);
  EXPECT_EQ(ConnectionKey(row), "TCP|4312|192.168.1.20|50123|203.0.113.5|443");
  row.src_port = 0;
  row.dst_port = 80;
  EXPECT_EQ(ConnectionKey(row), "TCP|4312|192.168.1.20|0|203.0.113.5|80");
  row.src_port = 65535;
  std::string reused = "left over text that must go";
  ConnectionKeyInto(row, reused);
  EXPECT_EQ(reused, "TCP|4312|192.168.1.20|65535|203.0.113.5|80");
}

TEST(CompareKeys, RanksBytesInKeyOrder) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"TCP|100|", "TCP|1000|", -1},
      {"TCP|1000|", "TCP|101|", -1},
      {"TCP|100|", "TCP|101|", -1},
      {"a.", "a:", -1},
      {"a:", "a|", -1},
      {"a|", "a0", -1},
      {"a0", "a9", -1},
      {"a9", "aa", -1},
      {"tcp|1", "TCP|1", 0},
      {"TCP|1", "tcp|2", -1},
      {"aZ", "a_", -1},  // letters before every other byte, whatever its value
      {"a!", "a_", -1},  // other bytes by value
      {"a_", "a\xE9", -1},
      {"a", "a\x01", -1},  // a prefix first
      {"", "", 0},
      {"", ".", -1},
      {"abc", "ABC", 0},
      {"fe80::1", "FE80::1", 0},
  };
  for (const Case& c : cases) {
    const int forward = CompareKeys(c.a, c.b);
    const int backward = CompareKeys(c.b, c.a);
    EXPECT_EQ((forward > 0) - (forward < 0), c.sign) << c.a << " vs " << c.b;
    EXPECT_EQ((backward > 0) - (backward < 0), -c.sign) << c.b << " vs " << c.a;
  }
}

// The rank of a byte, spelled out: the order the comparison must give.
int ReferenceRank(unsigned char c) {
  if (c == '.') return 0;
  if (c == ':') return 1;
  if (c == '|') return 2;
  if (c >= '0' && c <= '9') return 3 + (c - '0');
  if (c >= 'a' && c <= 'z') return 13 + (c - 'a');
  if (c >= 'A' && c <= 'Z') return 13 + (c - 'A');
  return 39 + c;
}

int ReferenceCompare(const std::string& a, const std::string& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int ra = ReferenceRank(static_cast<unsigned char>(a[i]));
    const int rb = ReferenceRank(static_cast<unsigned char>(b[i]));
    if (ra != rb) return ra < rb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

TEST(CompareKeys, AgreesWithByteByByteRanking) {
  std::mt19937 random(5);
  const std::string alphabet = ".:|09aAzZ_\xE9\x01";
  for (int round = 0; round < 20000; ++round) {
    // Long shared stretches, then a difference anywhere, case differences included.
    std::string a;
    for (std::size_t n = random() % 40; n > 0; --n) a += alphabet[random() % alphabet.size()];
    std::string b = a;
    for (int edits = static_cast<int>(random() % 3); edits > 0 && !b.empty(); --edits) {
      const std::size_t at = random() % b.size();
      if (random() % 2) {
        b[at] = alphabet[random() % alphabet.size()];
      } else if (b[at] >= 'a' && b[at] <= 'z') {
        b[at] = static_cast<char>(b[at] - 'a' + 'A');
      }
    }
    if (random() % 4 == 0) b.resize(random() % (b.size() + 1));
    if (random() % 4 == 0) b += alphabet[random() % alphabet.size()];
    const int got = CompareKeys(a, b);
    ASSERT_EQ((got > 0) - (got < 0), ReferenceCompare(a, b)) << a << " vs " << b;
  }
}

TEST(Snapshot, StoresKeysInKeyOrder) {
  const filter::Filters filters = AllDestinations();
  Snapshot table;
  for (const char* pid : {"101", "1000", "100"}) EXPECT_TRUE(AddRow(table, Row(pid), filters, 1.0));
  SealSnapshot(table);
  EXPECT_EQ(Keys(table), (std::vector<std::string>{"TCP|100|192.168.1.20|50123|8.8.8.8|443",
                                                   "TCP|1000|192.168.1.20|50123|8.8.8.8|443",
                                                   "TCP|101|192.168.1.20|50123|8.8.8.8|443"}));
  EXPECT_EQ(FindKey(table, "TCP|1000|192.168.1.20|50123|8.8.8.8|443"), 1u);
  EXPECT_EQ(FindKey(table, "tcp|101|192.168.1.20|50123|8.8.8.8|443"), 2u);
  EXPECT_EQ(FindKey(table, "TCP|10|192.168.1.20|50123|8.8.8.8|443"), kNotFound);
}

TEST(Snapshot, FirstRowOfAKeyWins) {
  const filter::Filters filters = AllDestinations();
  Snapshot table;
  TConn first = Row("7");
  first.process = "first.exe";
  first.state = "SYN_SENT";
  TConn second = Row("7");
  second.process = "second.exe";
  second.state = "ESTABLISHED";
  AddRow(table, first, filters, 2.0);
  AddRow(table, Row("8"), filters, 2.5);
  AddRow(table, second, filters, 3.0);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(table.rows[0].process, "first.exe");
  EXPECT_EQ(table.rows[0].state, "SYN_SENT");
  EXPECT_EQ(table.rows[0].first_seen, 2.0);

  // A row sealed before also beats a later one with its key.
  AddRow(table, second, filters, 4.0);
  AddRow(table, Row("6"), filters, 4.0);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 3u);
  EXPECT_EQ(table.rows[1].process, "first.exe");
  EXPECT_EQ(table.rows[0].pid, "6");
  EXPECT_TRUE(table.pending.empty());
}

TEST(Snapshot, RowsTheFiltersDropAreNotStored) {
  const filter::Filters filters = AllDestinations();
  Snapshot table;
  EXPECT_FALSE(AddRow(table, Row("1", 50123, "8.8.8.8", 0), filters, 1.0));
  const filter::Filters defaults = filter::CompileFilters(config::Settings{}, {});
  EXPECT_FALSE(AddRow(table, Row("1", 50123, "127.0.0.1", 443), defaults, 1.0));
  SealSnapshot(table);
  EXPECT_TRUE(table.rows.empty());
}

TEST(Snapshot, ClearLeavesAnEmptyTableThatFillsAgain) {
  const filter::Filters filters = AllDestinations();
  Snapshot table;
  ClearSnapshot(table);
  EXPECT_TRUE(table.rows.empty());
  AddRow(table, Row("1"), filters, 1.0);
  SealSnapshot(table);
  AddRow(table, Row("2"), filters, 1.0);  // staged, not yet sealed
  ClearSnapshot(table);
  EXPECT_TRUE(table.rows.empty());
  EXPECT_TRUE(table.pending.empty());
  AddRow(table, Row("3"), filters, 5.0);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 1u);
  EXPECT_EQ(table.rows[0].pid, "3");
}

// Sealing in one go must give the order and the winners that inserting row
// by row would give.
TEST(Snapshot, SealEqualsInsertionOneRowAtATime) {
  const filter::Filters filters = AllDestinations();
  std::mt19937 random(99);
  std::vector<TConn> offered;
  for (int i = 0; i < 2000; ++i) {
    TConn row = Row(std::to_string(random() % 300), static_cast<uint16_t>(random() % 5 + 1),
                    "10.0.0." + std::to_string(random() % 4), 443);
    row.process = "p" + std::to_string(i);
    offered.push_back(row);
  }
  Snapshot sealed;
  std::vector<TConn> inserted;
  for (const TConn& row : offered) {
    AddRow(sealed, row, filters, 1.0);
    const std::string key = ConnectionKey(row);
    auto at =
        std::lower_bound(inserted.begin(), inserted.end(), key,
                         [](const TConn& r, const std::string& k) { return CompareKeys(r.key, k) < 0; });
    if (at != inserted.end() && CompareKeys(at->key, key) == 0) continue;
    TConn copy = row;
    copy.key = key;
    inserted.insert(at, copy);
  }
  SealSnapshot(sealed);
  ASSERT_EQ(sealed.rows.size(), inserted.size());
  for (std::size_t i = 0; i < inserted.size(); ++i) {
    EXPECT_EQ(sealed.rows[i].key, inserted[i].key);
    EXPECT_EQ(sealed.rows[i].process, inserted[i].process);
  }
}

}  // namespace
}  // namespace sockvane::track
