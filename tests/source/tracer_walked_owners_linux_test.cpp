#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "source/walked_owners_linux.h"

namespace sockvane::source {
namespace {

TaskRun Thread(uint32_t pid, uint32_t tid, uint64_t run_ns, uint64_t files) {
  return TaskRun{run_ns, files, pid, tid};
}

TEST(ProcessesToWalk, NewChangedAndSharingTables) {
  // Last pass: 10 (two threads, one table), 20, 30 and 40 sharing table 0xC, 50.
  const std::vector<TaskRun> before = {Thread(10, 10, 100, 0xA), Thread(10, 11, 5, 0xA),
                                       Thread(20, 20, 7, 0xB),   Thread(30, 30, 1, 0xC),
                                       Thread(40, 40, 2, 0xC),   Thread(50, 50, 3, 0xD)};
  WalkedOwners walked;
  for (const auto& [pid, run] : SumTaskRuns(before)) SetWalked(walked, pid, run, {}, "");

  struct Case {
    const char* what;
    std::vector<TaskRun> now;
    std::vector<uint32_t> due;
  };
  const Case cases[] = {
      {"nobody ran", before, {}},
      // A helper thread's run is the process's run.
      {"a helper thread ran",
       {Thread(10, 10, 100, 0xA), Thread(10, 11, 6, 0xA), Thread(20, 20, 7, 0xB), Thread(30, 30, 1, 0xC),
        Thread(40, 40, 2, 0xC), Thread(50, 50, 3, 0xD)},
       {10}},
      {"a thread ended",
       {Thread(10, 10, 100, 0xA), Thread(20, 20, 7, 0xB), Thread(30, 30, 1, 0xC), Thread(40, 40, 2, 0xC),
        Thread(50, 50, 3, 0xD)},
       {10}},
      // 40 did not run, but 30 may have changed the table they share.
      {"a shared table",
       {Thread(10, 10, 100, 0xA), Thread(10, 11, 5, 0xA), Thread(20, 20, 7, 0xB), Thread(30, 30, 9, 0xC),
        Thread(40, 40, 2, 0xC), Thread(50, 50, 3, 0xD)},
       {30, 40}},
      {"a new process, and one that took another table",
       {Thread(10, 10, 100, 0xA), Thread(10, 11, 5, 0xA), Thread(20, 20, 7, 0xE), Thread(30, 30, 1, 0xC),
        Thread(40, 40, 2, 0xC), Thread(50, 50, 3, 0xD), Thread(60, 60, 0, 0xF)},
       {20, 60}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProcessesToWalk(walked, SumTaskRuns(c.now), c.now), c.due) << c.what;
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
