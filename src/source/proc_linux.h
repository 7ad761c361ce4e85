// The process file system, as the owner search reads it: the parsers of its
// texts (pure) and the reads, relative to a root that is /proc or a tree laid
// out like it (tests).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sockvane::source {

// Plain decimal digits, nothing else, within 64 bits.
bool ParseDecimal64(std::string_view text, uint64_t& value);

// "socket:[12345]" -> 12345.
bool ParseSocketLink(std::string_view link, uint64_t& inode);

// The fields of /proc/<pid>/stat the search looks at, counted after the last ')'.
struct ProcStat {
  char state = 0;           // field 3: R, S, D, T, Z ...
  uint32_t ppid = 0;        // field 4
  uint64_t flags = 0;       // field 9 (PF_KTHREAD marks a kernel thread)
  uint64_t threads = 0;     // field 20
  uint64_t start_time = 0;  // field 22, clock ticks after boot
};
bool ParseProcStat(std::string_view stat, ProcStat& out);

inline constexpr uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD: no descriptors

// How much the threads of a process have run: the first and third field of
// each thread's schedstat (nanoseconds on a CPU, times put on one), summed.
// Both stay as they are exactly while no thread runs.
struct RunTime {
  uint64_t ns = 0;
  uint64_t slices = 0;
  bool operator==(const RunTime&) const = default;
};

// Adds one schedstat text; false when it is not one. All zero: the kernel
// keeps no such figures.
bool AddRunTime(std::string_view schedstat, RunTime& run);

// A process's entry in the root: its PID, and the inode of its directory,
// which a new process with the same PID does not share.
struct ProcEntry {
  uint32_t pid = 0;
  uint64_t inode = 0;
};

// An open root, with the buffer its directory reads use.
struct Proc {
  int fd = -1;
  std::vector<char> dents;
  Proc() = default;
  Proc(const Proc&) = delete;
  Proc& operator=(const Proc&) = delete;
  ~Proc();
};

// Opens `root`, which must be a process file system when `expect_procfs`.
// Returns "" or why it could not.
std::string OpenProc(Proc& proc, const std::string& root, bool expect_procfs);

void CloseProc(Proc& proc);

// The failures below leave errno set.

// Every process in the root, ascending by PID.
bool ListProcesses(Proc& proc, std::vector<ProcEntry>& out);

bool ReadProcStat(const Proc& proc, uint32_t pid, ProcStat& out);

// Open descriptors of a process (the size of its fd/ directory).
bool CountDescriptors(const Proc& proc, uint32_t pid, uint64_t& count);

// Run time of all its threads.
bool ReadRunTime(Proc& proc, uint32_t pid, RunTime& run);

enum class FdRead { kDone, kPartial, kDenied };

// Reads the socket inodes among a process's descriptors, from directory
// offset `resume` (0: the first) on, spending one of `budget` per link. On
// kPartial the budget ran out and `resume` is where to go on.
FdRead ReadSocketInodes(Proc& proc, uint32_t pid, uint64_t& resume, uint64_t& budget,
                        std::vector<uint64_t>& inodes);

// The file name of a process's image, or "unknown".
std::string ProcessNameOf(const std::string& root, uint32_t pid);

// The unit of a process (UnitFromCgroup of its cgroup file); "" for PID 0
// or when it cannot be read.
std::string UnitOf(const std::string& root, uint32_t pid);

// Whether two processes share one descriptor table (clone with CLONE_FILES
// and not a thread); false when that cannot be told.
bool ShareDescriptorTable(uint32_t pid, uint32_t other);

}  // namespace sockvane::source
