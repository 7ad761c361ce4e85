#include "source/owners_linux.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    if (!c.ok) continue;
    EXPECT_EQ(stat.state, c.state) << c.what;
    EXPECT_EQ(stat.flags, c.flags) << c.what;
    EXPECT_EQ(stat.threads, c.threads) << c.what;
    EXPECT_EQ(stat.start_time, c.start_time) << c.what;
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

TEST(AddRunTime, ThreadsAddUp) {
  RunTime run;
  EXPECT_TRUE(AddRunTime("123456789 2000 17\n", run));
  EXPECT_TRUE(AddRunTime("11 0 3", run));
  EXPECT_EQ(run, (RunTime{123456800, 20}));
  for (const char* bad : {"", " 1 2 3", "x 1 2", "-1 0 0", "1 2", "99999999999999999999 0 0"}) {
    RunTime left;
    EXPECT_FALSE(AddRunTime(bad, left)) << bad;
  }
}

TEST(MayHaveChanged, OnlyAProcessThatDidNotRunIsPassedOver) {
  const ProcessLook before{40, {5000, 12}, true};
  struct Case {
    const char* what;
    ProcessLook now;
    bool changed;
  };
  const Case cases[] = {
      {"same count, no run since", before, false},
      {"one descriptor more", {41, {5000, 12}, true}, true},
      {"ran (a dup2 or a receive and close keeps the count)", {40, {5001, 12}, true}, true},
      {"put on a CPU, run time not yet counted", {40, {5000, 13}, true}, true},
      {"the look failed", {40, {5000, 12}, false}, true},
      {"a kernel without run figures", {40, {0, 0}, true}, true},
  };
  for (const Case& c : cases) EXPECT_EQ(MayHaveChanged(before, c.now), c.changed) << c.what;
  EXPECT_TRUE(MayHaveChanged(ProcessLook{}, before)) << "nothing to compare with";
}

TEST(BackstopDue, EveryProcessOnceInItsPeriodAndSpread) {
  for (uint32_t pid = 1; pid < 200; ++pid) {
    int due = 0;
    for (uint64_t poll = 1000; poll < 1000 + kBackstopPolls; ++poll) due += BackstopDue(poll, pid);
    EXPECT_EQ(due, 1) << pid;
  }
  int same_poll = 0;
  for (uint32_t pid = 1; pid <= 600; ++pid) same_poll += BackstopDue(77, pid);
  EXPECT_EQ(same_poll, 10) << "a sixtieth of the processes a poll";
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

TEST(OrderReads, SmallestFirstThenOldestFirst) {
  std::vector<uint32_t> smallest, oldest;
  OrderReads({{7, 19000, 3}, {9, 12, 8}, {3, 12, 5}, {5, 400, 1}}, smallest, oldest);
  EXPECT_EQ(smallest, (std::vector<uint32_t>{3, 9, 5, 7}));
  EXPECT_EQ(oldest, (std::vector<uint32_t>{5, 7, 3, 9}));
}

// A tree laid out like /proc, whose files the test writes.
class ProcTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() / ("sockvane-proc-" + std::to_string(getpid()));
    std::filesystem::remove_all(root_);
    search_.proc_root = root_.string();
    search_.expect_procfs = false;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void Write(const std::string& path, const std::string& text) {
    std::filesystem::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text;
  }
  // A process of `threads` threads (its own PID the first), running `exe`.
  void Process(uint32_t pid, const std::string& exe, int threads = 1, uint64_t flags = 0) {
    const std::string dir = std::to_string(pid);
    Write(dir + "/stat", dir + " (x) S 1 1 1 0 -1 " + std::to_string(flags) + " 0 0 0 0 0 0 0 0 20 0 " +
                             std::to_string(threads) + " 0 100\n");
    for (int t = 0; t < threads; ++t) Ran(pid, pid + t, 1000);
    Write(dir + "/schedstat", "1000 0 1\n");
    std::filesystem::create_directories(root_ / dir / "fd");
    if (!exe.empty()) std::filesystem::create_symlink(exe, root_ / dir / "exe");
  }
  void Ran(uint32_t pid, uint32_t tid, uint64_t ns) {
    Write(std::to_string(pid) + "/task/" + std::to_string(tid) + "/schedstat", std::to_string(ns) + " 0 1\n");
    if (pid == tid) Write(std::to_string(pid) + "/schedstat", std::to_string(ns) + " 0 1\n");
  }
  void Hold(uint32_t pid, int fd, uint64_t inode) {
    std::filesystem::create_symlink("socket:[" + std::to_string(inode) + "]",
                                    root_ / std::to_string(pid) / "fd" / std::to_string(fd));
  }
  void Drop(uint32_t pid, int fd) {
    std::filesystem::remove(root_ / std::to_string(pid) / "fd" / std::to_string(fd));
  }
  // One poll over sockets 100, 200 and 300, `gap_ms` after the last: their
  // owners, and the tables read.
  std::vector<uint32_t> Poll(uint64_t* tables = nullptr, int64_t gap_ms = 500) {
    std::vector<RawSocket> rows(3);
    rows[0].inode = 100;
    rows[1].inode = 200;
    rows[2].inode = 300;
    const uint64_t before = search_.tables;
    std::vector<uint32_t> pids;
    JoinOwners(rows, FindOwners(search_, rows, now_ms_ += gap_ms), pids);
    EXPECT_EQ(search_.problem, "");
    if (tables != nullptr) *tables = search_.tables - before;
    return pids;
  }

  std::filesystem::path root_;
  OwnerSearch search_;
  int64_t now_ms_ = 1000;
};

TEST_F(ProcTree, ReadAgainOnlyWhatRanAndTheLowestPidOwns) {
  using Owners = std::vector<uint32_t>;
  Process(10, "/usr/bin/server");
  Process(20, "/usr/bin/client", 2);
  Process(30, "", 1, kKernelThreadFlag);
  Hold(10, 3, 100);
  Hold(10, 4, 200);
  Hold(20, 5, 100);
  uint64_t tables = 0;
  EXPECT_EQ(Poll(&tables), (Owners{10, 10, 0}));
  EXPECT_EQ(tables, 2u) << "a kernel thread has no descriptors";
  EXPECT_EQ(OwnerName(search_, 10), "server");

  // Nothing ran: nothing is read, whatever the tree says meanwhile.
  Drop(10, 3);
  EXPECT_EQ(Poll(&tables), (Owners{10, 10, 0}));
  EXPECT_EQ(tables, 0u);
  // It ran: read again, and the other holder owns the socket it let go.
  Ran(10, 10, 2000);
  EXPECT_EQ(Poll(&tables), (Owners{20, 10, 0}));
  EXPECT_EQ(tables, 1u);
  // A helper thread of the other process takes socket 300 over.
  Hold(20, 6, 300);
  Ran(20, 21, 5000);
  EXPECT_EQ(Poll(&tables), (Owners{20, 10, 20}));
  EXPECT_EQ(tables, 1u);
  EXPECT_EQ(OwnerName(search_, 20), "client");

  // Exiting, it has lost its image but not its name; a new process on its
  // PID has a name of its own.
  std::filesystem::remove(root_ / "20" / "exe");
  Ran(20, 20, 7000);
  Poll();
  EXPECT_EQ(OwnerName(search_, 20), "client");
  std::filesystem::rename(root_ / "20", root_ / "old20");
  Process(20, "");
  std::filesystem::remove_all(root_ / "old20");
  EXPECT_EQ(Poll(&tables), (Owners{0, 10, 0}));
  EXPECT_EQ(tables, 1u) << "a reused PID is a new process";
  EXPECT_EQ(OwnerName(search_, 20), "unknown");

  // A process that left holds nothing, and is still named for one poll.
  std::filesystem::remove_all(root_ / "10");
  EXPECT_EQ(Poll(), (Owners{0, 0, 0}));
  EXPECT_EQ(OwnerName(search_, 10), "server");
  Poll();
  EXPECT_EQ(OwnerName(search_, 10), "unknown");

  // The backstop reads every process once in its period, changed or not.
  uint64_t all = 0;
  for (uint32_t poll = 0; poll < kBackstopPolls; ++poll) {
    Poll(&tables);
    all += tables;
  }
  EXPECT_EQ(all, 1u);
}

TEST_F(ProcTree, ATableDueWaitsForTheBudgetButStaysDue) {
  // Three tables of 3,000 links that all ran: more than the 5,000 a read at
  // 100 ms may spend.
  for (uint32_t pid : {10u, 20u, 30u}) {
    Process(pid, "/bin/x");
    for (int fd = 0; fd < 3000; ++fd) Hold(pid, fd, pid == 30 && fd == 2999 ? 300 : 1000 + fd);
  }
  Poll(nullptr, 100);  // the first read has no budget
  for (uint32_t pid : {10u, 20u, 30u}) Ran(pid, pid, 5000);
  uint64_t links = search_.links, tables = 0, all = 0;
  std::vector<uint32_t> owners;
  for (int poll = 0; poll < 3; ++poll) {
    owners = Poll(&tables, 100);
    all += tables;
    EXPECT_LE(search_.links - links, LinkBudget(100, 0));
    links = search_.links;
  }
  EXPECT_EQ(all, 3u) << "each read through once, none forgotten";
  EXPECT_EQ(owners[2], 30u);
}

}  // namespace
}  // namespace sockvane::source
