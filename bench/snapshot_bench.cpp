// One poll's worth of table work: the filters and AddRow for every row, SealSnapshot, and
// CompareSnapshots against the previous poll, over 100,000 rows offered in
// random order as a netlink dump hands them over.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "filter/filters.h"
#include "track/compare.h"
#include "track/snapshot.h"

namespace {

using sockvane::track::TConn;

constexpr std::size_t kRows = 100000;

std::vector<TConn> MakeRows(std::size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<TConn> rows;
  rows.reserve(count);
  std::vector<sockvane::track::ProcessName> names;
  for (int i = 0; i < 200; ++i)
    names.push_back(sockvane::track::MakeProcessName("process" + std::to_string(i) + ".exe"));
  for (std::size_t i = 0; i < count; ++i) {
    TConn row;
    row.proto = sockvane::track::Proto::kTcp;
    row.pid = 100 + random() % 30000;
    row.process = names[random() % names.size()];
    // Network order: 192.168.x.y and 1-9.x.y.z.
    row.src_ip =
        sockvane::track::AddressFromIpv4(192u | 168u << 8 | (random() % 256) << 16 | (random() % 256) << 24);
    row.src_port = static_cast<uint16_t>(1024 + random() % 60000);
    row.dst_ip =
        sockvane::track::AddressFromIpv4(static_cast<uint32_t>(1 + random() % 9) | (random() % 256) << 8 |
                                         (random() % 256) << 16 | (random() % 256) << 24);
    row.dst_port = static_cast<uint16_t>(1 + random() % 65535);
    row.state = 5;
    rows.push_back(std::move(row));
  }
  return rows;
}

sockvane::filter::Filters Filters() {
  sockvane::config::Settings settings;
  settings.filters.include_all = true;
  settings.filters.exclude_ports.set(53).set(123);
  return sockvane::filter::CompileFilters(settings, {"10.0.0.0/8", "172.16.0.0/12, 192.168.0.0/16"});
}

void Poll(sockvane::track::Snapshot& current, sockvane::track::Snapshot& previous,
          const std::vector<TConn>& rows, const sockvane::filter::Filters& filters,
          sockvane::track::Counters& counters, sockvane::track::ProcessCounts& tallies) {
  sockvane::track::ClearSnapshot(current);
  for (const TConn& row : rows) {
    if (sockvane::filter::PassesFilters(row, filters)) sockvane::track::AddRow(current, row, 0);
  }
  sockvane::track::SealSnapshot(current);
  sockvane::track::CompareSnapshots(
      current, previous, counters, tallies, [](sockvane::track::Event, const TConn&, int32_t) {}, 0);
  std::swap(current, previous);
}

// The same sockets every poll: no events, every key found again.
void BM_PollSteadyState(benchmark::State& state) {
  const std::vector<TConn> rows = MakeRows(kRows, 1);
  const auto filters = Filters();
  sockvane::track::Snapshot current, previous;
  sockvane::track::Counters counters;
  sockvane::track::ProcessCounts tallies;
  Poll(current, previous, rows, filters, counters, tallies);
  for (auto _ : state) Poll(current, previous, rows, filters, counters, tallies);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_PollSteadyState)->Unit(benchmark::kMillisecond);

// Every poll replaces a tenth of the sockets: new and closed events each time.
void BM_PollChurn(benchmark::State& state) {
  const std::vector<TConn> base = MakeRows(kRows, 2);
  const std::vector<TConn> fresh = MakeRows(kRows, 3);
  std::vector<std::vector<TConn>> polls;
  for (std::size_t p = 0; p < 10; ++p) {
    std::vector<TConn> rows = base;
    for (std::size_t i = p; i < kRows; i += 10) rows[i] = fresh[i];
    polls.push_back(std::move(rows));
  }
  const auto filters = Filters();
  sockvane::track::Snapshot current, previous;
  sockvane::track::Counters counters;
  sockvane::track::ProcessCounts tallies;
  std::size_t next = 0;
  for (auto _ : state) {
    Poll(current, previous, polls[next], filters, counters, tallies);
    next = (next + 1) % polls.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_PollChurn)->Unit(benchmark::kMillisecond);

// Peer: a plain std::sort of the same rows' key texts in byte order, copying
// them in as the text-keyed table did; what a text-keyed table paid at least.
void BM_PeerStdSortOfKeys(benchmark::State& state) {
  const std::vector<TConn> rows = MakeRows(kRows, 1);
  std::vector<std::string> keys(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) sockvane::track::ConnectionKeyInto(rows[i], keys[i]);
  for (auto _ : state) {
    std::vector<std::string> copy = keys;
    std::sort(copy.begin(), copy.end());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}
BENCHMARK(BM_PeerStdSortOfKeys)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
