// Two polls of arbitrary rows through the keyed table and the comparison,
// checked against an ordered map over the same rows.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "../support/key_order.h"
#include "../support/text_rows.h"
#include "config/options.h"
#include "filter/filters.h"
#include "fuzz_check.h"
#include "track/compare.h"
#include "track/conn.h"
#include "track/snapshot.h"

namespace {

namespace track = sockvane::track;

// Few distinct values, so that keys collide, also between an IPv4 row and
// the mapped IPv6 row shown as the same address.
constexpr track::Proto kProtos[] = {track::Proto::kTcp, track::Proto::kUdp};
constexpr uint32_t kPids[] = {0, 1, 12, 123, 100, 1000, 101};
constexpr const char* kAddresses[] = {"10.0.0.1", "10.0.0.10",   "fe80::a", "::ffff:10.0.0.1",
                                      "::a",      "2001:db8::1", "1.2.3.4"};
constexpr uint32_t kStates[] = {5, 8, 3};
constexpr uint16_t kPorts[] = {0, 1, 80, 443, 8080, 65535};

template <typename T, size_t N>
T Pick(FuzzedDataProvider& in, const T (&values)[N]) {
  return values[in.ConsumeIntegralInRange<size_t>(0, N - 1)];
}

std::string Fold(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

struct RefLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return sockvane::testing::ReferenceCompareKeys(a, b) < 0;
  }
};

track::TConn Row(FuzzedDataProvider& in, int tag) {
  track::TConn row;
  row.proto = Pick(in, kProtos);
  row.pid = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<uint32_t>() : Pick(in, kPids);
  row.src_ip = sockvane::testing::AddressFromText(Pick(in, kAddresses));
  row.dst_ip = sockvane::testing::AddressFromText(Pick(in, kAddresses));
  row.src_port = Pick(in, kPorts);
  row.dst_port = Pick(in, kPorts);
  row.state = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<uint32_t>() : Pick(in, kStates);
  if (in.ConsumeIntegralInRange(0, 7) == 0) {
    for (uint8_t& byte : row.dst_ip) byte = in.ConsumeIntegral<uint8_t>();
  }
  row.process =
      track::MakeProcessName("row" + std::to_string(tag));  // which of several rows with one key was kept
  return row;
}

// The key text, joined here from the row's texts.
std::string KeyOf(const track::TConn& row) {
  const sockvane::testing::TextRow t = sockvane::testing::TextsOfRow(row);
  return t.proto + "|" + t.pid + "|" + t.src_ip + "|" + std::to_string(t.src_port) + "|" + t.dst_ip + "|" +
         std::to_string(t.dst_port);
}

using RefTable = std::map<std::string, track::TConn, RefLess>;

// One poll offered in one or two batches; returns the reference table.
RefTable Fill(FuzzedDataProvider& in, track::Snapshot& table, const sockvane::filter::Filters& filters,
              int64_t now, int& tag) {
  RefTable ref;
  const int rows = in.ConsumeIntegralInRange(0, 24);
  const int seal_at = in.ConsumeIntegralInRange(0, rows);
  for (int i = 0; i < rows; ++i) {
    if (i == seal_at) track::SealSnapshot(table);
    track::TConn row = Row(in, tag++);
    const bool passed = sockvane::filter::PassesFilters(row, filters);
    FUZZ_CHECK(passed == (row.dst_port != 0));
    if (!passed) continue;
    track::AddRow(table, row, now);
    row.first_seen = now;
    ref.emplace(KeyOf(row), row);  // the first row offered with a key stays
  }
  track::SealSnapshot(table);
  FUZZ_CHECK(table.sealed == table.rows.size());
  FUZZ_CHECK(table.rows.size() == ref.size());
  std::string built;
  for (size_t i = 0; i < table.rows.size(); ++i) {
    const track::TConn& got = table.rows[i];
    const std::string key = KeyOf(got);
    auto want = ref.find(key);
    FUZZ_CHECK(want != ref.end());
    FUZZ_CHECK(track::ProcessText(got) == track::ProcessText(want->second));  // the same row won
    FUZZ_CHECK(got.first_seen == now);
    track::ConnectionKeyInto(got, built);
    FUZZ_CHECK(built == key);
    if (i > 0) FUZZ_CHECK(track::CompareRows(table.rows[i - 1], got) < 0);
  }
  return ref;
}

struct Event {
  std::string kind;
  std::string key;
  std::string process;
  int32_t age;
  bool operator==(const Event&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sockvane::config::Settings settings;
  settings.filters.include_all = true;  // only the remote port decides here
  const sockvane::filter::Filters filters = sockvane::filter::CompileFilters(settings, {});

  // The key order on arbitrary texts.
  const std::string a = in.ConsumeRandomLengthString(24), b = in.ConsumeRandomLengthString(24);
  FUZZ_CHECK(Sign(track::CompareKeys(a, b)) == Sign(sockvane::testing::ReferenceCompareKeys(a, b)));
  FUZZ_CHECK(Sign(track::CompareKeys(b, a)) == -Sign(track::CompareKeys(a, b)));
  FUZZ_CHECK(track::CompareKeys(a, a) == 0 && track::CompareKeys(a, Fold(a)) == 0);

  const int64_t first = in.ConsumeIntegralInRange<int64_t>(-(int64_t{1} << 62), int64_t{1} << 62);
  const int64_t second = first + in.ConsumeIntegralInRange<int64_t>(-5000, 5000000);
  int tag = 0;
  track::Snapshot previous, current;
  const RefTable before = Fill(in, previous, filters, first, tag);
  const RefTable after = Fill(in, current, filters, second, tag);

  std::vector<Event> events;
  track::Counters counters;
  track::ProcessCounts counts;
  track::CompareSnapshots(
      current, previous, counters, counts,
      [&events](track::Event kind, const track::TConn& row, int32_t age) {
        events.push_back(
            {std::string(track::EventName(kind)), KeyOf(row), std::string(track::ProcessText(row)), age});
      },
      second);

  std::vector<Event> expected;
  track::Counters want;
  for (const auto& [key, row] : after) {
    auto old = before.find(key);
    if (old == before.end()) {
      expected.push_back({"new", key, std::string(track::ProcessText(row)), 0});
      ++want.new_count;
    } else if (old->second.state != row.state) {
      expected.push_back({"state", key, std::string(track::ProcessText(row)),
                          track::AgeSeconds(old->second.first_seen, second)});
      ++want.state_count;
    }
  }
  for (const auto& [key, row] : before) {
    if (after.find(key) == after.end()) {
      expected.push_back(
          {"closed", key, std::string(track::ProcessText(row)), track::AgeSeconds(row.first_seen, second)});
      ++want.closed_count;
    }
  }
  FUZZ_CHECK(events == expected);
  FUZZ_CHECK(counters.new_count == want.new_count && counters.state_count == want.state_count &&
             counters.closed_count == want.closed_count);

  // A connection seen before keeps the time it was first seen.
  for (const track::TConn& row : current.rows) {
    auto old = before.find(KeyOf(row));
    FUZZ_CHECK(row.first_seen == (old == before.end() ? second : old->second.first_seen));
  }

  uint64_t tallied = 0;
  for (const track::ProcessEntry& entry : counts.entries) tallied += entry.count;
  FUZZ_CHECK(tallied == counters.new_count);
  FUZZ_CHECK(counts.index.size() == counts.entries.size());

  // Ages: whole seconds toward zero, their low 32 bits.
  const int32_t age = track::AgeSeconds(first, second);
  FUZZ_CHECK(age == static_cast<int32_t>(static_cast<uint32_t>((second - first) / 1000)));
  return 0;
}
