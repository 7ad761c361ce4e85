#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "source/linux_source.h"

namespace sockvane::source {
namespace {

TEST(ParseProcStat, FieldsAfterTheLastParenthesis) {
  struct Case {
    const char* what;
    const char* text;
    bool ok;
    char state;
    uint64_t flags, threads, start_time;
  };
  const Case cases[] = {
      {"plain", "4242 (sh) S 1 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 1000 10\n", true, 'S',
       4194560, 1, 987654},
      {"name with blanks and parentheses",
       "7 (a) b) (c) R 1 7 7 0 -1 2097216 0 0 0 0 0 0 0 0 20 0 12 0 55 0 0\n", true, 'R', 2097216, 12, 55},
      {"ends right after field 22", "1 (x) D 0 0 0 0 0 64 0 0 0 0 0 0 0 0 0 0 3 0 9", true, 'D', 64, 3, 9},
      {"too short", "4242 (x) S 1 2 3\n", false, 0, 0, 0, 0},
      {"no parenthesis", "no parenthesis at all", false, 0, 0, 0, 0},
      {"state of two letters", "1 (x) SS 0 0 0 0 0 64 0 0 0 0 0 0 0 0 0 0 3 0 9", false, 0, 0, 0, 0},
      {"flags not a number", "1 (x) S 0 0 0 0 0 6x 0 0 0 0 0 0 0 0 0 0 3 0 9", false, 0, 0, 0, 0},
      {"threads not a number", "1 (x) S 0 0 0 0 0 64 0 0 0 0 0 0 0 0 0 0 -3 0 9", false, 0, 0, 0, 0},
      {"start time not a number", "1 (x) S 0 0 0 0 0 64 0 0 0 0 0 0 0 0 0 0 3 0 9x", false, 0, 0, 0, 0},
      {"line break before field 22", "1 (x) S 0 0 0 0 0 64 0 0 0 0 0 0 0 0 0 0 3 0\n9", false, 0, 0, 0, 0},
      {"empty", "", false, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    ProcStat stat;
    ASSERT_EQ(ParseProcStat(c.text, stat), c.ok) << c.what;
    uint64_t start = 0;
    EXPECT_EQ(ParseStartTime(c.text, start), c.ok) << c.what;
    if (!c.ok) continue;
    EXPECT_EQ(stat.state, c.state) << c.what;
    EXPECT_EQ(stat.flags, c.flags) << c.what;
    EXPECT_EQ(stat.threads, c.threads) << c.what;
    EXPECT_EQ(stat.start_time, c.start_time) << c.what;
    EXPECT_EQ(start, c.start_time) << c.what;
  }
}

TEST(ParseProcStat, OwnProcess) {
  std::ifstream file("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ProcStat stat;
  ASSERT_TRUE(ParseProcStat(text, stat)) << text;
  EXPECT_EQ(stat.state, 'R');  // reading its own stat
  EXPECT_GE(stat.threads, 1u);
  EXPECT_GT(stat.start_time, 0u);
}

TEST(ParseRunTime, FirstField) {
  uint64_t ns = 0;
  EXPECT_TRUE(ParseRunTime("123456789 2000 17\n", ns));
  EXPECT_EQ(ns, 123456789u);
  EXPECT_TRUE(ParseRunTime("0 0 0\n", ns));  // no scheduler statistics: 0, which never counts as unchanged
  EXPECT_EQ(ns, 0u);
  for (const char* bad : {"", " 1 2 3", "x 1 2", "-1 0 0", "99999999999999999999 0 0"}) {
    EXPECT_FALSE(ParseRunTime(bad, ns)) << bad;
  }
}

TEST(UnchangedSinceLook, OnlyAProcessThatCannotHaveRun) {
  const LookMark mark{1000, 5000};
  const ProcStat asleep{'S', 0, 1, 1000};
  struct Case {
    const char* what;
    LookMark mark;
    ProcStat now;
    uint64_t run_ns;
    bool unchanged;
  };
  const Case cases[] = {
      {"asleep, no run time since", mark, asleep, 5000, true},
      {"ran since", mark, asleep, 5001, false},
      {"run time read as 0", LookMark{1000, 0}, asleep, 0, false},
      {"mark without run time", LookMark{1000, 0}, asleep, 5000, false},
      {"on a CPU now: its run time may lag", mark, ProcStat{'R', 0, 1, 1000}, 5000, false},
      {"a zombie", mark, ProcStat{'Z', 0, 1, 1000}, 5000, false},
      {"in disk sleep", mark, ProcStat{'D', 0, 1, 1000}, 5000, true},
      {"stopped", mark, ProcStat{'T', 0, 1, 1000}, 5000, true},
      {"stopped by a tracer", mark, ProcStat{'t', 0, 1, 1000}, 5000, true},
      {"a second thread: the first one's run time says nothing", mark, ProcStat{'S', 0, 2, 1000}, 5000,
       false},
      {"PID reused by another process", mark, ProcStat{'S', 0, 1, 1001}, 5000, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(UnchangedSinceLook(c.mark, c.now, c.run_ns), c.unchanged) << c.what;
  }
}

TEST(RevisitReads, AboutOneAndAHalfSeconds) {
  const struct {
    int64_t gap_ms;
    uint32_t reads;
  } cases[] = {
      {0, 1},    {-20, 1},   {500, 3},  {505, 3}, {549, 2},  {1000, 1}, {1500, 1},
      {1600, 1}, {60000, 1}, {100, 15}, {50, 30}, {10, 150}, {1, 1000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RevisitReads(c.gap_ms), c.reads) << c.gap_ms;
    // The bound: never more than 1.5 s (and a tenth of a gap) between looks, unless reads are further apart.
    if (c.gap_ms > 0 && c.reads < 1000) {
      EXPECT_LE(int64_t{c.reads} * c.gap_ms, std::max(kRevisitMs + c.gap_ms / 10, c.gap_ms)) << c.gap_ms;
    }
  }
}

TEST(LookDue, EveryProcessWithinTheRevisitAndSpreadOverReads) {
  constexpr uint32_t kPids = 300;
  for (uint32_t revisit : {1u, 2u, 3u, 7u, 30u}) {
    std::vector<uint64_t> looked(kPids + 1, 5);  // all first listed in read 5
    for (uint64_t read = 5; read <= 5 + 10 * revisit; ++read) {
      uint32_t looks = 0;
      for (uint32_t pid = 1; pid <= kPids; ++pid) {
        if (!LookDue(read, looked[pid], pid, revisit)) {
          EXPECT_LT(read - looked[pid], revisit) << "pid " << pid << " overdue, revisit " << revisit;
          continue;
        }
        looked[pid] = read;
        ++looks;
      }
      // Each read takes its share of the looks, not all of them at once.
      EXPECT_LE(looks, (kPids + revisit - 1) / revisit) << "read " << read << " revisit " << revisit;
    }
  }
  // A revisit that shrank (reads came further apart) makes an old look due at once.
  EXPECT_TRUE(LookDue(100, 90, 7, 3));
  EXPECT_FALSE(LookDue(100, 100, 2, 3));
}

TEST(LinkBudget, AShareOfTheIntervalNeverOfASlowRead) {
  const struct {
    int64_t gap_ms, spent_ms;
    uint64_t links;
  } cases[] = {
      {0, 0, UINT64_MAX},                   // first read, --once: no limit
      {-5, 0, UINT64_MAX},                  // clock went back: as unknown
      {100, 0, 100 * kLinksPerMs},          // --interval 100
      {500, 0, 500 * kLinksPerMs},          // the default interval
      {500, 120, 380 * kLinksPerMs},        // the owners' own time is not interval
      {1100, 1000, 100 * kLinksPerMs},      // a slow read buys the next one nothing
      {50, 0, 100 * kLinksPerMs},           // back to back: still a 100 ms share
      {100, 400, 100 * kLinksPerMs},        // spent more than the gap (a clock step)
      {300, -20, 300 * kLinksPerMs},        // a spent time below 0 counts as none
      {3600000, 0, 3600000 * kLinksPerMs},  // an hour apart
  };
  for (const auto& c : cases)
    EXPECT_EQ(LinkBudget(c.gap_ms, c.spent_ms), c.links) << c.gap_ms << " " << c.spent_ms;
  // Whatever a read costs, the next budget is that of the interval alone.
  for (int64_t interval : {100, 250, 500, 2000}) {
    for (int64_t spent : {0, 10, 99, 400, 5000}) {
      const int64_t gap = std::max(interval, spent + 1);
      EXPECT_LE(LinkBudget(gap, spent), static_cast<uint64_t>(std::max<int64_t>(interval, 100)) * kLinksPerMs)
          << interval << " " << spent;
    }
  }
}

TEST(SearchCovered, Table) {
  constexpr uint32_t kAll = UINT32_MAX;
  const struct {
    const char* what;
    SearchCursor joined, now;
    uint32_t below;
    bool covered;
  } cases[] = {
      {"joined at the bottom, nothing read yet", {3, 0}, {3, 0}, 10, false},
      {"joined at the bottom, read past the holder", {3, 0}, {3, 10}, 10, true},
      {"joined at the bottom, one PID short", {3, 0}, {3, 9}, 10, false},
      {"no holder: needs the whole round", {3, 0}, {3, 500}, kAll, false},
      {"no holder: round done", {3, 0}, {4, 0}, kAll, true},
      {"joined mid-round: below it was read before", {3, 200}, {3, 500}, 100, false},
      {"joined mid-round, wrapped, not yet at the holder", {3, 200}, {4, 99}, 100, false},
      {"joined mid-round, wrapped, at the holder", {3, 200}, {4, 100}, 100, true},
      {"holder above the join: up to the join will do", {3, 200}, {4, 200}, 300, true},
      {"holder above the join, short of it", {3, 200}, {4, 150}, 300, false},
      {"no holder, wrapped, short of the join", {3, 200}, {4, 199}, kAll, false},
      {"no holder, wrapped, back at the join", {3, 200}, {4, 200}, kAll, true},
      {"two rounds on", {3, 200}, {5, 0}, kAll, true},
  };
  for (const auto& c : cases) EXPECT_EQ(SearchCovered(c.joined, c.now, c.below), c.covered) << c.what;
}

TEST(SearchCovered, AgreesWithTheSetOfPidsReadSinceTheJoin) {
  // A cursor going round a PID list; the oracle keeps the PIDs it read.
  const std::vector<uint32_t> pids = {1, 2, 7, 30, 31, 99, 250, 4000, 4001};
  uint32_t seed = 12345;
  const auto next = [&seed]() { return seed = seed * 1103515245u + 12345u; };
  for (int trial = 0; trial < 300; ++trial) {
    SearchCursor cursor{static_cast<uint64_t>(next() % 5), 0};
    std::size_t at = next() % (pids.size() + 1);  // next PID to read; pids.size(): wrap next
    cursor.pid = at == 0 ? 0 : pids[at - 1] + 1;
    const SearchCursor joined = cursor;
    std::vector<uint32_t> read;
    for (int step = 0; step < 25; ++step) {
      // Never covered too early; and exact where the search asks (just past a
      // listed holder, or the whole round), as the cursor stops just past a PID.
      for (uint32_t below : {1u, 2u, 3u, 8u, 31u, 32u, 100u, 250u, 251u, 4002u, 5000u, UINT32_MAX}) {
        bool all = true;
        for (uint32_t pid : pids) {
          if (pid < below && std::find(read.begin(), read.end(), pid) == read.end()) all = false;
        }
        const bool exact =
            below == UINT32_MAX || std::find(pids.begin(), pids.end(), below - 1) != pids.end();
        const bool covered = SearchCovered(joined, cursor, below);
        if (exact) {
          ASSERT_EQ(covered, all) << "trial " << trial << " step " << step << " below " << below;
        } else if (covered) {
          ASSERT_TRUE(all) << "trial " << trial << " step " << step << " below " << below;
        }
      }
      if (at == pids.size()) {
        ++cursor.round;
        cursor.pid = 0;
        at = 0;
      } else {
        read.push_back(pids[at]);
        cursor.pid = pids[at] + 1;
        ++at;
      }
    }
  }
}

TEST(LikelyPids, UsersAndEarlierOwnersWithSmallTables) {
  const std::vector<ProcessRank> processes = {
      {1, 0, 40, false},
      {17, 1000, 12, false},
      {23, 1000, 0, false},  // 0: not counted yet
      {40, 33, 8, true},
      {41, 33, 8, false},
      {90, 1000, kLargeTable + 1, false},
      {91, 1000, kLargeTable, false},
      {120, 0, 19000, true},
      {7, 1000, 3, false},
  };
  const struct {
    std::vector<uint32_t> uids;
    std::vector<uint32_t> pids;
  } cases[] = {
      {{1000}, {7, 17, 23, 40, 91}},  // 90 and 120 hold too many descriptors
      {{0}, {1, 40}},
      {{0, 1000}, {1, 7, 17, 23, 40, 91}},
      {{65534}, {40}},  // nobody's: only the earlier owner
      {{}, {40}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(LikelyPids(processes, c.uids), c.pids) << ::testing::PrintToString(c.uids);
}

}  // namespace
}  // namespace sockvane::source
