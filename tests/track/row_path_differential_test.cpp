// The binary row path (filters, snapshot, comparison) against the text path it
// replaced, kept here as the reference: every row made into its texts, keyed
// by the key text, tables ordered by that text. Same events, same order, same
// texts, same counters and tallies, poll after poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "filter/filters.h"
#include "support/key_order.h"
#include "support/plain_filters.h"
#include "support/text_rows.h"
#include "track/compare.h"
#include "track/snapshot.h"

namespace sockvane::track {
namespace {

struct KeyLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return testing::ReferenceCompareKeys(a, b) < 0;
  }
};

struct TextRecord {
  testing::TextRow row;
  int64_t first_seen = 0;
};
using TextTable = std::map<std::string, TextRecord, KeyLess>;

std::string TextKey(const testing::TextRow& r) {
  return r.proto + "|" + r.pid + "|" + r.src_ip + "|" + std::to_string(r.src_port) + "|" + r.dst_ip + "|" +
         std::to_string(r.dst_port);
}

struct Event {
  std::string event;
  testing::TextRow row;
  int32_t age = 0;
};

std::string Show(const Event& e) {
  return e.event + " " + e.row.proto + "|" + e.row.pid + "|" + e.row.process + "|" + e.row.src_ip + "|" +
         std::to_string(e.row.src_port) + "|" + e.row.dst_ip + "|" + std::to_string(e.row.dst_port) + "|" +
         e.row.state + " age " + std::to_string(e.age);
}

// The text path: counters and tallies kept as the old core kept them.
struct TextPath {
  TextTable previous;
  Counters counters;
  std::vector<std::pair<std::string, uint64_t>> tallies;

  void Tally(const testing::TextRow& r) {
    const std::string name = r.process + " (" + r.pid + ")";
    for (auto& [known, count] : tallies) {
      if (track::AsciiLower(known) == track::AsciiLower(name)) {
        ++count;
        return;
      }
    }
    tallies.emplace_back(name, 1);
  }

  std::vector<Event> Poll(const std::vector<testing::TextRow>& offered, const testing::OptionTexts& settings,
                          int64_t now) {
    TextTable current;
    for (const testing::TextRow& r : offered) {
      if (!testing::PassesFiltersPlain(r, settings, {})) continue;
      current.emplace(TextKey(r), TextRecord{r, now});  // the first row of a key stays
    }
    std::vector<Event> events;
    for (auto& [key, record] : current) {
      auto before = previous.find(key);
      if (before == previous.end()) {
        ++counters.new_count;
        Tally(record.row);
        events.push_back({"new", record.row, 0});
        continue;
      }
      record.first_seen = before->second.first_seen;
      if (record.row.state != before->second.row.state) {
        ++counters.state_count;
        events.push_back({"state", record.row, AgeSeconds(record.first_seen, now)});
      }
    }
    for (const auto& [key, record] : previous) {
      if (current.count(key) != 0) continue;
      ++counters.closed_count;
      events.push_back({"closed", record.row, AgeSeconds(record.first_seen, now)});
    }
    previous.swap(current);
    return events;
  }
};

int64_t g_now = 0;

struct BinaryPath {
  Snapshot tables[2];
  Snapshot* previous = &tables[0];
  Snapshot* current = &tables[1];
  Counters counters;
  ProcessCounts tallies;

  std::vector<Event> Poll(const std::vector<TConn>& offered, const filter::Filters& filters) {
    ClearSnapshot(*current);
    for (const TConn& row : offered) {
      if (filter::PassesFilters(row, filters)) AddRow(*current, row, g_now);
    }
    SealSnapshot(*current);
    std::vector<Event> events;
    CompareSnapshots(
        *current, *previous, counters, tallies,
        [&events](track::Event event, const TConn& row, int32_t age) {
          events.push_back({std::string(EventName(event)), testing::TextsOfRow(row), age});
        },
        g_now);
    std::swap(previous, current);
    return events;
  }
};

// Small domains, so that keys meet: duplicates within a poll, one socket as
// IPv4 and as mapped IPv6, PIDs whose texts order unlike their numbers,
// addresses with hex letters, both protocols.
TConn RandomRow(std::mt19937& random) {
  static const char* const kAddresses[] = {
      "8.8.8.8",      "8.8.4.4", "::ffff:8.8.8.8", "1.1.1.1",      "10.0.0.1", "2606:4700::1",
      "2606:4700::a", "fe80::1", "127.0.0.1",      "2001:db8::ff", "::1",      "100.64.0.9"};
  static const char* const kProcesses[] = {"browser.exe", "BROWSER.EXE", "svc", "unknown", "a\"b", ""};
  static const uint32_t kPids[] = {100, 1000, 101, 10, 1, 0, 4294967295u};
  static const uint16_t kPorts[] = {0, 443, 80, 4430, 53};
  static const uint32_t kStates[] = {5, 5, 5, 2, 3, 8, 11, 1, 13};
  const auto pick = [&random](const auto& items) { return items[random() % std::size(items)]; };
  TConn row;
  row.proto = random() % 4 == 0 ? Proto::kUdp : Proto::kTcp;
  row.pid = pick(kPids);
  row.process = MakeProcessName(pick(kProcesses));
  row.src_ip = testing::AddressFromText(pick(kAddresses));
  row.src_port = static_cast<uint16_t>(50000 + random() % 6);
  row.dst_ip = testing::AddressFromText(pick(kAddresses));
  row.dst_port = pick(kPorts);
  row.state = pick(kStates);
  return row;
}

TEST(RowPathDifferential, SameEventsOrderAndTextsAsTheTextPath) {
  std::mt19937 random(20261209);
  std::size_t events_seen = 0, states_seen = 0, closed_seen = 0;
  for (int run = 0; run < 60; ++run) {
    testing::OptionTexts settings;
    settings.include_all = random() % 4 != 0;
    if (random() % 4 == 0) settings.dst_port_filter = "443,80";
    if (random() % 5 == 0) settings.pid_filter = random() % 2 ? "100" : "0100";
    if (random() % 5 == 0) settings.dst_ip_filter = random() % 2 ? "8.8.8.8,2606:4700::a" : "::ffff:8.8.8.8";
    if (random() % 5 == 0) settings.process_filter = "BROW";
    if (random() % 5 == 0) settings.proto_filter = "udp";
    const filter::Filters filters = filter::CompileFilters(testing::Parsed(settings), {});
    TextPath text;
    BinaryPath binary;
    g_now = 0;
    std::vector<TConn> table;
    for (int poll = 0; poll < 12; ++poll) {
      // The table changes a little between polls: rows go, come, change state.
      for (TConn& row : table) {
        if (random() % 8 == 0) row.state = random() % 2 ? 8u : 5u;
      }
      std::erase_if(table, [&random](const TConn&) { return random() % 6 == 0; });
      for (int n = static_cast<int>(random() % 40); n > 0; --n) table.push_back(RandomRow(random));
      std::shuffle(table.begin(), table.end(), random);
      if (poll == 7) table.clear();  // an empty poll closes everything

      std::vector<testing::TextRow> texts;
      for (const TConn& row : table) texts.push_back(testing::TextsOfRow(row));
      const std::vector<Event> want = text.Poll(texts, settings, g_now);
      const std::vector<Event> got = binary.Poll(table, filters);
      ASSERT_EQ(got.size(), want.size()) << "run " << run << " poll " << poll;
      for (std::size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(Show(got[i]), Show(want[i])) << "run " << run << " poll " << poll << " event " << i;
        states_seen += want[i].event == "state";
        closed_seen += want[i].event == "closed";
      }
      events_seen += want.size();
      g_now += 1 + random() % 3000;
    }
    EXPECT_EQ(binary.counters.new_count, text.counters.new_count);
    EXPECT_EQ(binary.counters.state_count, text.counters.state_count);
    EXPECT_EQ(binary.counters.closed_count, text.counters.closed_count);
    ASSERT_EQ(binary.tallies.entries.size(), text.tallies.size());
    for (std::size_t i = 0; i < text.tallies.size(); ++i) {
      EXPECT_EQ(binary.tallies.entries[i].name, text.tallies[i].first);
      EXPECT_EQ(binary.tallies.entries[i].count, text.tallies[i].second);
    }
  }
  // Every kind of event must have been compared, many times.
  EXPECT_GT(events_seen, 5000u);
  EXPECT_GT(states_seen, 200u);
  EXPECT_GT(closed_seen, 1000u);
}

}  // namespace
}  // namespace sockvane::track
