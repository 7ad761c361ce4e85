#include "track/snapshot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/key_order.h"
#include "support/text_rows.h"
#include "track/compare.h"

namespace sockvane::track {
namespace {

TConn Row(std::string pid, uint16_t src_port = 50123, std::string dst_ip = "8.8.8.8",
          uint16_t dst_port = 443) {
  return testing::RowFromTexts({"TCP", std::move(pid), "browser.exe", "192.168.1.20", src_port,
                                std::move(dst_ip), dst_port, "ESTABLISHED"});
}

std::string ConnectionKey(const TConn& row) {
  std::string key;
  ConnectionKeyInto(row, key);
  return key;
}

std::string Pid(const TConn& row) {
  return testing::TextsOfRow(row).pid;
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
  // A v4-mapped IPv6 socket is shown, and keyed, as its IPv4 address.
  row.proto = Proto::kUdp;
  row.dst_ip = testing::AddressFromText("::ffff:203.0.113.5");
  row.src_ip = testing::AddressFromText("fe80::1");
  EXPECT_EQ(ConnectionKey(row), "UDP|4312|fe80::1|65535|203.0.113.5|80");
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
    ASSERT_EQ((got > 0) - (got < 0), testing::ReferenceCompareKeys(a, b)) << a << " vs " << b;
  }
}

// The table's own order is free; what shows is the order of the events.
TEST(Snapshot, NewSocketsAreReportedInKeyOrder) {
  Snapshot table, empty;
  for (const char* pid : {"101", "1000", "100"}) AddRow(table, Row(pid), 1);
  SealSnapshot(table);
  std::vector<std::string> keys;
  Counters counters;
  ProcessCounts counts;
  CompareSnapshots(
      table, empty, counters, counts,
      [&keys](Event, const TConn& row, int32_t) { keys.push_back(ConnectionKey(row)); }, 1);
  EXPECT_EQ(keys, (std::vector<std::string>{"TCP|100|192.168.1.20|50123|8.8.8.8|443",
                                            "TCP|1000|192.168.1.20|50123|8.8.8.8|443",
                                            "TCP|101|192.168.1.20|50123|8.8.8.8|443"}));
}

TEST(Snapshot, FirstRowOfAKeyWins) {
  Snapshot table;
  TConn first = Row("7");
  first.process = MakeProcessName("first.exe");
  first.state = testing::StateFromName("SYN_SENT");
  TConn second = Row("7");
  second.process = MakeProcessName("second.exe");
  second.state = testing::StateFromName("ESTABLISHED");
  AddRow(table, first, 2);
  AddRow(table, Row("8"), 2);
  AddRow(table, second, 3);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 2u);
  EXPECT_EQ(ProcessText(table.rows[0]), "first.exe");
  EXPECT_EQ(TcpStateName(table.rows[0].state), "SYN_SENT");
  EXPECT_EQ(table.rows[0].first_seen, 2);

  // A row sealed before also beats a later one with its key.
  AddRow(table, second, 4);
  AddRow(table, Row("6"), 4);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 3u);
  EXPECT_EQ(ProcessText(table.rows[1]), "first.exe");
  EXPECT_EQ(Pid(table.rows[0]), "6");
  EXPECT_EQ(table.sealed, table.rows.size());
}

// Rows equal in the key's texts are one socket, whatever family they came in.
TEST(Snapshot, MappedIpv6AndIpv4RowsAreOneKey) {
  Snapshot table;
  TConn v4 = Row("7", 50123, "8.8.8.8");
  TConn mapped = Row("7", 50123, "::ffff:8.8.8.8");
  mapped.process = MakeProcessName("second.exe");
  EXPECT_EQ(CompareRows(v4, mapped), 0);
  AddRow(table, v4, 1);
  AddRow(table, mapped, 1);
  AddRow(table, Row("7", 50123, "::8.8.8.8"), 1);  // IPv4-compatible: shown as ::808:808
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 2u);
}

TEST(Snapshot, ClearLeavesAnEmptyTableThatFillsAgain) {
  Snapshot table;
  ClearSnapshot(table);
  EXPECT_TRUE(table.rows.empty());
  AddRow(table, Row("1"), 1);
  SealSnapshot(table);
  AddRow(table, Row("2"), 1);  // staged, not yet sealed
  ClearSnapshot(table);
  EXPECT_TRUE(table.rows.empty());
  EXPECT_EQ(table.sealed, 0u);
  AddRow(table, Row("3"), 5);
  SealSnapshot(table);
  ASSERT_EQ(table.rows.size(), 1u);
  EXPECT_EQ(Pid(table.rows[0]), "3");
}

// Sealing in one go must keep the winners that inserting row by row in key
// order would keep.
TEST(Snapshot, SealEqualsInsertionOneRowAtATime) {
  std::mt19937 random(99);
  std::vector<TConn> offered;
  for (int i = 0; i < 2000; ++i) {
    TConn row = Row(std::to_string(random() % 300), static_cast<uint16_t>(random() % 5 + 1),
                    "10.0.0." + std::to_string(random() % 4), 443);
    row.process = MakeProcessName("p" + std::to_string(i));
    offered.push_back(row);
  }
  Snapshot sealed;
  std::vector<std::pair<std::string, std::string>> inserted;  // key, process
  for (const TConn& row : offered) {
    AddRow(sealed, row, 1);
    const std::string key = ConnectionKey(row);
    auto at =
        std::lower_bound(inserted.begin(), inserted.end(), key,
                         [](const auto& r, const std::string& k) { return CompareKeys(r.first, k) < 0; });
    if (at != inserted.end() && CompareKeys(at->first, key) == 0) continue;
    inserted.insert(at, {key, std::string(ProcessText(row))});
  }
  SealSnapshot(sealed);
  ASSERT_EQ(sealed.rows.size(), inserted.size());
  std::vector<std::pair<std::string, std::string>> got;
  for (std::size_t i = 0; i < sealed.rows.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(CompareRows(sealed.rows[i - 1], sealed.rows[i]), 0);
    }
    got.emplace_back(ConnectionKey(sealed.rows[i]), std::string(ProcessText(sealed.rows[i])));
  }
  std::sort(got.begin(), got.end(),
            [](const auto& a, const auto& b) { return CompareKeys(a.first, b.first) < 0; });
  EXPECT_EQ(got, inserted);
}

// A poll that offers the rows of the last one, in the same order and field
// for field, may skip the compare; any other offer may not.
TEST(Snapshot, SameOfferOnlyForTheSameRowsInTheSameOrder) {
  const std::vector<TConn> rows = {Row("10", 40001), Row("20", 40002, "1.1.1.1"), Row("30", 40003)};
  Snapshot before;
  for (const TConn& row : rows) AddRow(before, row, 1000);
  SealSnapshot(before);
  using Change = void (*)(std::vector<TConn>&);
  const std::vector<std::pair<const char*, Change>> cases = {
      {"same", [](std::vector<TConn>&) {}},
      {"state", [](std::vector<TConn>& r) { r[1].state += 1; }},
      {"pid", [](std::vector<TConn>& r) { r[1].pid += 1; }},
      {"dst_ip", [](std::vector<TConn>& r) { r[1].dst_ip[15] ^= 1; }},
      {"src_port", [](std::vector<TConn>& r) { r[1].src_port += 1; }},
      {"process", [](std::vector<TConn>& r) { r[1].process = MakeProcessName("other.exe"); }},
      {"direction", [](std::vector<TConn>& r) { r[1].direction = Direction::kOut; }},
      {"owner_from", [](std::vector<TConn>& r) { r[1].owner_from = OwnerFrom::kCached; }},
      {"uid", [](std::vector<TConn>& r) { r[1].uid = 7; }},
      {"order", [](std::vector<TConn>& r) { std::swap(r[0], r[2]); }},
      {"one less", [](std::vector<TConn>& r) { r.pop_back(); }},
      {"a repeated key", [](std::vector<TConn>& r) { r.push_back(r[0]); }},
  };
  for (const auto& [name, change] : cases) {
    std::vector<TConn> offered = rows;
    change(offered);
    Snapshot now;
    for (TConn& row : offered) AddRow(now, row, 2000);
    EXPECT_EQ(SameOffer(now, before), std::string(name) == "same") << name;
  }
  // A table sealed with a repeated key cannot vouch for its offer.
  Snapshot repeated;
  for (const TConn& row : {rows[0], rows[0]}) AddRow(repeated, row, 1000);
  SealSnapshot(repeated);
  Snapshot again;
  for (const TConn& row : {rows[0], rows[0]}) AddRow(again, row, 2000);
  EXPECT_FALSE(SameOffer(again, repeated));
}

}  // namespace
}  // namespace sockvane::track
