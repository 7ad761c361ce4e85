#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "source/walked_owners_linux.h"

namespace sockvane::source {
namespace {

constexpr TablePrint kShared = TablePrint::kShared;
constexpr TablePrint kUnknown = TablePrint::kUnknown;

TaskRun Thread(uint32_t pid, uint32_t tid, uint64_t run_ns, uint64_t files, uint64_t print,
               TablePrint table = TablePrint::kPrinted) {
  return TaskRun{run_ns, files, pid, tid, print, table};
}

TEST(ProcessesToWalk, NewChangedAndSharingTables) {
  // Last pass: 10 (two threads, one table), 20, 30 and 40 sharing table 0xC,
  // 50 with a table too large to fingerprint, 70 whose helper thread has a
  // table of its own.
  const std::vector<TaskRun> before = {Thread(10, 10, 100, 0xA, 0x1A), Thread(10, 11, 5, 0xA, 0, kShared),
                                       Thread(20, 20, 7, 0xB, 0x2B),   Thread(30, 30, 1, 0xC, 0x3C),
                                       Thread(40, 40, 2, 0xC, 0x3C),   Thread(50, 50, 3, 0xD, 0, kUnknown),
                                       Thread(70, 70, 4, 0x7A, 0x71),  Thread(70, 71, 4, 0x7B, 0x72)};
  WalkedOwners walked;
  // What each walk saw: the pass's fingerprint, but for 20, which changed
  // between its pass and its walk.
  for (const auto& [pid, run] : SumTaskRuns(before))
    SetWalked(walked, pid, run, {}, "", pid == 20 ? 0x2C : run.print);

  // Each case is `before` with the threads of `changed` put in their place.
  struct Case {
    const char* what;
    std::vector<TaskRun> changed;
    std::vector<uint32_t> due;
  };
  const Case cases[] = {
      {"nothing ran", {}, {20}},
      {"the pass now sees what the walk of 20 saw", {Thread(20, 20, 7, 0xB, 0x2C)}, {}},
      // All ran, none changed its descriptors: a run-time signal walks them all.
      {"every thread ran, no table changed",
       {Thread(10, 10, 101, 0xA, 0x1A), Thread(10, 11, 6, 0xA, 0, kShared), Thread(20, 20, 8, 0xB, 0x2C),
        Thread(30, 30, 2, 0xC, 0x3C), Thread(40, 40, 3, 0xC, 0x3C), Thread(70, 70, 5, 0x7A, 0x71),
        Thread(70, 71, 5, 0x7B, 0x72)},
       {}},
      // A connection closed and the next accepted at the same descriptor, or
      // one socket dup2()ed over another: the count and the file may stay,
      // the fingerprint does not.
      {"a table changed", {Thread(10, 10, 100, 0xA, 0x1F), Thread(20, 20, 7, 0xB, 0x2C)}, {10}},
      {"a helper thread's own table changed",
       {Thread(20, 20, 7, 0xB, 0x2C), Thread(70, 71, 4, 0x7B, 0x73)},
       {70}},
      {"a helper thread took a table of its own",
       {Thread(10, 11, 5, 0xE, 0x1A), Thread(20, 20, 7, 0xB, 0x2C)},
       {10}},
      // 40 did not change, but 30 may have changed the table they share.
      {"a shared table", {Thread(20, 20, 7, 0xB, 0x2C), Thread(30, 30, 1, 0xC, 0x3D)}, {30, 40}},
      // Where the pass could not take the table, the run decides.
      {"too large to fingerprint, ran",
       {Thread(20, 20, 7, 0xB, 0x2C), Thread(50, 50, 4, 0xD, 0, kUnknown)},
       {50}},
      {"a table became too large, did not run",
       {Thread(20, 20, 7, 0xB, 0x2C), Thread(70, 71, 4, 0x7B, 0, kUnknown)},
       {}},
      {"a new process, and one that took another table with the same descriptors",
       {Thread(20, 20, 7, 0xE, 0x2C), Thread(60, 60, 0, 0xF, 0)},
       {60}},
  };
  for (const Case& c : cases) {
    std::vector<TaskRun> now;
    for (const TaskRun& thread : before) {
      const auto replaced = std::find_if(c.changed.begin(), c.changed.end(),
                                         [&thread](const TaskRun& t) { return t.tid == thread.tid; });
      now.push_back(replaced == c.changed.end() ? thread : *replaced);
    }
    for (const TaskRun& thread : c.changed) {
      if (std::none_of(before.begin(), before.end(),
                       [&thread](const TaskRun& t) { return t.tid == thread.tid; })) {
        now.push_back(thread);
      }
    }
    EXPECT_EQ(ProcessesToWalk(walked, SumTaskRuns(now), now), c.due) << c.what;
  }
}

TEST(WalkAllCheaper, WhenTheDueHoldMostSocketsOrAreMany) {
  WalkedOwners walked;
  uint64_t inode = 1000;
  for (uint32_t pid = 1; pid <= 100; ++pid) {
    std::vector<uint64_t> sockets;
    for (int i = 0; i < 100; ++i) sockets.push_back(inode++);
    SetWalked(walked, pid, ProcessRun{}, sockets, "");
  }
  const auto pids = [](uint32_t first, uint32_t last) {
    std::vector<uint32_t> out;
    for (uint32_t pid = first; pid <= last; ++pid) out.push_back(pid);
    return out;
  };
  EXPECT_FALSE(WalkAllCheaper(walked, pids(1, 3)));
  EXPECT_FALSE(WalkAllCheaper(walked, pids(1, 50)));      // 50 x 140 < 10,000 sockets
  EXPECT_TRUE(WalkAllCheaper(walked, pids(1, 90)));       // 90 x 140 > 10,000
  EXPECT_TRUE(WalkAllCheaper(walked, pids(1000, 1300)));  // 301 walks that find nothing
}

TEST(SetWalked, TheLowestHolderOwnsEverySocketThroughHandOffs) {
  WalkedOwners walked;
  const ProcessRun run{1, 1, 1};
  struct Step {
    const char* what;
    uint32_t pid;
    std::vector<uint64_t> sockets;  // the process's whole holding; empty with forget: it ended
    bool forget;
    OwnerMap owners;
    OwnerMap left;  // sockets nobody holds any more, with their last holder
  };
  const Step steps[] = {
      {"a server", 200, {1, 2}, false, {{1, 200}, {2, 200}}, {}},
      {"a forked child holds the same", 300, {2, 1}, false, {{1, 200}, {2, 200}}, {}},
      {"the parent closes one", 200, {1}, false, {{1, 200}, {2, 300}}, {}},
      // Received over a Unix socket by a lower PID.
      {"a lower PID receives one", 100, {2, 3}, false, {{1, 200}, {2, 100}, {3, 100}}, {}},
      {"the receiver ends", 100, {}, true, {{1, 200}, {2, 300}}, {{3, 100}}},
      {"the child ends", 300, {}, true, {{1, 200}}, {{2, 300}}},
      {"the parent closes the last", 200, {}, false, {}, {{1, 200}}},
  };
  for (const Step& step : steps) {
    walked.left.clear();
    if (step.forget) {
      ForgetProcess(walked, step.pid);
    } else {
      SetWalked(walked, step.pid, run, step.sockets, "x");
    }
    EXPECT_EQ(walked.owners, step.owners) << step.what;
    EXPECT_EQ(walked.holders.size(), step.owners.size()) << step.what;
    EXPECT_EQ(walked.left, step.left) << step.what;
    EXPECT_EQ(WalkedName(walked, step.pid), "x") << step.what << ": named also in the poll it left";
  }
}

TEST(OneScanWalks, WhereLoadingCostsLessOrProcHidesProcesses) {
  struct Case {
    std::size_t held;
    bool proc_shows_all;
    bool walks;
  };
  for (const Case& c :
       {Case{0, false, false}, Case{0, true, false}, Case{10, false, true}, Case{10, true, false},
        Case{kWalkPaysFrom - 1, true, false}, Case{kWalkPaysFrom, true, true}}) {
    EXPECT_EQ(OneScanWalks(c.held, c.proc_shows_all), c.walks) << c.held << " " << c.proc_shows_all;
  }
}

}  // namespace
}  // namespace sockvane::source
