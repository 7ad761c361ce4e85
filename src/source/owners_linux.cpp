// Which process owns a socket: a scan of /proc/<pid>/fd in PID order, with
// owners kept across reads and re-checked process by process.
//
// How fresh a kept answer is. Every process's descriptors are looked at again
// at least every RevisitReads() reads: every 1.5 s (plus a tenth of the
// interval) when reads are closer, at every read when they are further apart.
// A look reads the process's descriptors unless it provably has not run since
// the last read of them (UnchangedSinceLook: nothing can have been opened,
// received or closed then); it is passed over so at most kMaxPassedLooks times
// in a row, so every table is read at least every 20 looks (30 s at a 500 ms
// interval), which also covers a table shared by processes that are not
// threads of one another. A look that finds a socket in a lower PID than its
// owner, or in any process while it has none, makes that PID the owner; an
// owner whose descriptors no longer hold its socket, or that is gone, has the
// socket searched again in PID order in the same read. So an owner change, an
// owner that arrives late and a lower PID that gains a shared socket all show
// within that bound plus the read itself, and the lowest-PID rule holds.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>
#include <unordered_map>

#include "source/linux_source.h"
#include "source/naming.h"
#include "source/socket_table.h"

namespace sockvane::source {

namespace {

struct OwnerEntry {
  uint32_t pid = 0;         // 0: no owner found
  uint64_t start_time = 0;  // of `pid`, to tell a reused PID apart
  uint64_t generation = 0;  // last read that listed the socket
  uint64_t seen = 0;        // last read in which the descriptors of `pid` were read and held it
  bool pending = true;      // to be searched in PID order in this read
  uint8_t misses = 0;       // searches in PID order that found no owner
  // The lowest other PID whose descriptors, read in read `other_seen`, held it.
  uint32_t other = 0;
  uint64_t other_seen = 0;
};

struct ProcessMark {
  LookMark mark;
  uint64_t looked = 0;  // read of the last look
  uint64_t listed = 0;  // last read that listed the PID
  uint8_t passed = 0;   // looks in a row passed over as unchanged
  // Its descriptors were ours to read at the last try. Not known at first: the
  // first look tries the directory before anything else, the cheapest way to
  // pass over another user's process.
  bool readable = false;
};

// accept() makes the socket visible with its inode a moment before the fd is
// installed, so one search may miss a fresh socket's owner: search once more.
// Later owners are found by the looks.
constexpr uint8_t kScansBeforeGivingUp = 2;

constexpr uint8_t kMaxPassedLooks = 19;
constexpr uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD: no descriptors

std::unordered_map<uint64_t, OwnerEntry> g_owners;
std::unordered_map<uint32_t, ProcessMark> g_processes;
uint64_t g_generation = 0;
uint64_t g_scan_count = 0;
bool g_have_last_read = false;
int64_t g_last_read_ms = 0;
std::string g_problem;  // why the last read could not search, or empty

// /proc/<pid>/stat read during the current read, by PID (ok false: unreadable).
struct StatRead {
  bool ok = false;
  ProcStat stat;
};
std::unordered_map<uint32_t, StatRead> g_stats;

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// "<pid>/<leaf>" for openat on /proc.
std::size_t PidPath(char* buf, std::size_t size, uint32_t pid, const char* leaf) {
  auto [end, ec] = std::to_chars(buf, buf + size, pid);
  (void)ec;
  std::size_t used = static_cast<std::size_t>(end - buf);
  std::size_t leaf_size = std::strlen(leaf);
  std::memcpy(buf + used, leaf, leaf_size + 1);
  return used + leaf_size;
}

// Out of descriptors: no owner can be found, and the user must hear of it.
void NoteOpenFailure(int error) {
  if ((error == EMFILE || error == ENFILE) && g_problem.empty()) g_problem = std::strerror(error);
}

std::string_view ReadProcFile(int proc_fd, uint32_t pid, const char* leaf, char* buf, std::size_t size) {
  char path[32];
  PidPath(path, sizeof path, pid, leaf);
  Fd file(openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    NoteOpenFailure(errno);
    return {};
  }
  std::size_t used = 0;
  while (used < size) {
    ssize_t got = read(file.fd, buf + used, size - used);
    if (got > 0) {
      used += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  return std::string_view(buf, used);
}

const ProcStat* StatOf(int proc_fd, uint32_t pid) {
  auto [it, inserted] = g_stats.try_emplace(pid);
  if (inserted) {
    char buf[1024];
    it->second.ok = ParseProcStat(ReadProcFile(proc_fd, pid, "/stat", buf, sizeof buf), it->second.stat);
  }
  return it->second.ok ? &it->second.stat : nullptr;
}

uint64_t StartTimeOf(int proc_fd, uint32_t pid) {
  const ProcStat* stat = StatOf(proc_fd, pid);
  return stat == nullptr ? 0 : stat->start_time;
}

uint64_t RunTimeOf(int proc_fd, uint32_t pid) {
  char buf[128];
  uint64_t run_ns = 0;
  return ParseRunTime(ReadProcFile(proc_fd, pid, "/schedstat", buf, sizeof buf), run_ns) ? run_ns : 0;
}

// Calls `visit(name)` for every entry of an open directory.
template <typename Visit>
void ForEachEntry(int dir_fd, char* buf, std::size_t size, Visit&& visit) {
  for (;;) {
    ssize_t got = getdents64(dir_fd, buf, size);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return;
    }
    std::size_t offset = 0;
    std::size_t total = static_cast<std::size_t>(got);
    constexpr std::size_t kNameOffset = offsetof(dirent64, d_name);
    while (total - offset > kNameOffset) {
      unsigned short record_size;
      std::memcpy(&record_size, buf + offset + offsetof(dirent64, d_reclen), sizeof record_size);
      if (record_size <= kNameOffset || record_size > total - offset) return;
      const char* name = buf + offset + kNameOffset;
      std::size_t name_size = strnlen(name, record_size - kNameOffset);
      visit(std::string_view(name, name_size));
      offset += record_size;
    }
  }
}

bool PidFromName(std::string_view name, uint32_t& pid) {
  uint64_t value;
  if (!ParseDecimal64(name, value) || value == 0 || value > UINT32_MAX) return false;
  pid = static_cast<uint32_t>(value);
  return true;
}

std::vector<char>& DirentBuffer() {
  static std::vector<char> dents(1 << 16);
  return dents;
}

// Every PID in /proc, ascending; false when /proc cannot be listed.
bool ListPids(int proc_fd, std::vector<uint32_t>& pids) {
  pids.clear();
  Fd proc_dir(openat(proc_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (proc_dir.fd < 0) {
    if (g_problem.empty()) g_problem = std::strerror(errno);
    return false;
  }
  std::vector<char>& dents = DirentBuffer();
  ForEachEntry(proc_dir.fd, dents.data(), dents.size(), [&pids](std::string_view name) {
    uint32_t pid;
    if (PidFromName(name, pid)) pids.push_back(pid);
  });
  std::sort(pids.begin(), pids.end());
  return true;
}

// Calls `found(inode)` for every socket among the descriptors of an open
// /proc/<pid>/fd directory.
template <typename Found>
void ForEachSocket(int fd_dir, Found&& found) {
  std::vector<char>& dents = DirentBuffer();
  ForEachEntry(fd_dir, dents.data(), dents.size(), [&](std::string_view name) {
    if (name.empty() || name[0] < '0' || name[0] > '9' || name.size() >= 16) return;
    char entry[16];
    std::memcpy(entry, name.data(), name.size());
    entry[name.size()] = '\0';
    char link[64];
    ssize_t size = readlinkat(fd_dir, entry, link, sizeof link);
    uint64_t inode;
    if (size > 0 && ParseSocketLink(std::string_view(link, static_cast<std::size_t>(size)), inode))
      found(inode);
  });
}

// Reads the descriptors of `pid`, or passes a look over when the process has
// not changed them since the last read (never when `must_read`). True when
// they were read.
template <typename Found>
bool LookAt(int proc_fd, uint32_t pid, ProcessMark& process, bool must_read, Found&& found) {
  char path[32];
  PidPath(path, sizeof path, pid, "/fd");
  Fd fd_dir(-1);
  if (!process.readable) {
    fd_dir.fd = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir.fd < 0) {
      NoteOpenFailure(errno);
      return false;
    }
  }
  // Run time before the descriptors, so that a change during the read shows
  // as run time at the next look.
  const ProcStat* stat = StatOf(proc_fd, pid);
  if (stat == nullptr) return false;  // gone
  if ((stat->flags & kKernelThreadFlag) != 0) return false;
  const uint64_t run_ns = stat->threads == 1 ? RunTimeOf(proc_fd, pid) : 0;
  if (!must_read && process.readable && process.passed < kMaxPassedLooks &&
      UnchangedSinceLook(process.mark, *stat, run_ns)) {
    ++process.passed;
    return false;
  }
  if (fd_dir.fd < 0) fd_dir.fd = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_dir.fd < 0) {
    NoteOpenFailure(errno);
    process.readable = false;
    process.mark = LookMark{};
    return false;
  }
  process.readable = true;
  process.passed = 0;
  process.mark = LookMark{stat->start_time, run_ns};
  ForEachSocket(fd_dir.fd, found);
  return true;
}

// One pass over the processes in ascending PID order, up to `last_pid`,
// leaving out the PIDs in `skip` (ascending). While sockets are pending,
// every process is read (so the first holder found is the lowest PID); after
// that, with `looks`, the processes whose look is due. A pending socket whose
// `other` was seen in this read is settled as soon as the pass reaches it.
// The PIDs whose descriptors were read go to `read_pids`; those read or tried
// in vain while searching go to `done_pids` (both ascending).
struct SweepResult {
  std::vector<uint32_t> read_pids;
  std::vector<uint32_t> done_pids;
};

void Sweep(int proc_fd, const std::vector<uint32_t>& pids, std::size_t pending, uint32_t revisit, bool looks,
           const std::vector<uint32_t>* skip, uint32_t last_pid, SweepResult& result) {
  result.read_pids.clear();
  result.done_pids.clear();
  if (pending > 0) ++g_scan_count;
  for (uint32_t pid : pids) {
    if ((pending == 0 && !looks) || pid > last_pid) break;
    if (skip != nullptr && std::binary_search(skip->begin(), skip->end(), pid)) continue;
    auto it = g_processes.find(pid);
    if (it == g_processes.end()) continue;
    ProcessMark& process = it->second;
    const bool must_read = pending > 0;
    // A search's reads leave the looks' own rhythm alone: under churn a
    // search reads most processes at every read anyway.
    if (!must_read) {
      if (!LookDue(g_generation, process.looked, pid, revisit)) continue;
      process.looked = g_generation;
    }
    const bool read = LookAt(proc_fd, pid, process, must_read, [&](uint64_t inode) {
      auto found = g_owners.find(inode);
      if (found == g_owners.end()) return;
      OwnerEntry& owner = found->second;
      if (owner.generation != g_generation) return;
      if (owner.pending) {
        owner.pending = false;
        --pending;
        if (owner.other_seen == g_generation && owner.other < pid) {
          owner.pid = owner.other;  // no holder below it: the pass has gone past
          owner.start_time = 0;
          return;
        }
      } else if (owner.pid != pid && owner.pid != 0 && owner.pid < pid) {
        if (owner.other_seen != g_generation) {  // a lower PID holds it too
          owner.other = pid;
          owner.other_seen = g_generation;
        }
        return;
      }
      owner.pid = pid;
      owner.start_time = process.mark.start_time;
      owner.seen = g_generation;
      owner.misses = 0;
    });
    if (read) result.read_pids.push_back(pid);
    if (read || must_read) result.done_pids.push_back(pid);
  }
}

}  // namespace

bool ParseSocketLink(std::string_view link, uint64_t& inode) {
  constexpr std::string_view kPrefix = "socket:[";
  if (link.size() < kPrefix.size() + 2 || link.substr(0, kPrefix.size()) != kPrefix || link.back() != ']') {
    return false;
  }
  return ParseDecimal64(link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1), inode);
}

bool ParseProcStat(std::string_view stat, ProcStat& out) {
  std::size_t paren = stat.rfind(')');
  if (paren == std::string_view::npos) return false;
  std::string_view rest = stat.substr(paren + 1);
  ProcStat parsed;
  // Fields 3 (state) to 22 (starttime) follow the command name.
  for (int field = 3;; ++field) {
    std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return false;
    rest.remove_prefix(begin);
    std::size_t end = rest.find_first_of(" \n");
    std::string_view value = rest.substr(0, end);
    bool ok = true;
    if (field == 3) {
      if (value.size() != 1) return false;
      parsed.state = value[0];
    } else if (field == 9) {
      ok = ParseDecimal64(value, parsed.flags);
    } else if (field == 20) {
      ok = ParseDecimal64(value, parsed.threads);
    } else if (field == 22) {
      if (!ParseDecimal64(value, parsed.start_time)) return false;
      out = parsed;
      return true;
    }
    if (!ok || end == std::string_view::npos || rest[end] == '\n') return false;
    rest.remove_prefix(end);
  }
}

bool ParseStartTime(std::string_view stat, uint64_t& start_time) {
  ProcStat parsed;
  if (!ParseProcStat(stat, parsed)) return false;
  start_time = parsed.start_time;
  return true;
}

bool ParseRunTime(std::string_view schedstat, uint64_t& run_ns) {
  return ParseDecimal64(schedstat.substr(0, schedstat.find_first_of(" \n")), run_ns);
}

bool UnchangedSinceLook(const LookMark& mark, const ProcStat& now, uint64_t run_ns_now) {
  // Only a running task can hold run time not yet counted; a sleeping one has
  // had all of it added when it stopped running.
  const bool off_cpu =
      now.state == 'S' || now.state == 'D' || now.state == 'T' || now.state == 't' || now.state == 'I';
  return mark.run_ns != 0 && run_ns_now == mark.run_ns && now.start_time == mark.start_time &&
         now.threads == 1 && off_cpu;
}

uint32_t RevisitReads(int64_t gap_ms) {
  constexpr int64_t kMaxReads = 1000;
  if (gap_ms <= 0) return 1;
  // A read a tenth of an interval late still counts as on time.
  int64_t reads = (kRevisitMs + gap_ms / 10) / gap_ms;
  return static_cast<uint32_t>(std::clamp<int64_t>(reads, 1, kMaxReads));
}

bool LookDue(uint64_t generation, uint64_t looked, uint32_t pid, uint32_t revisit) {
  if (looked >= generation) return false;
  if (revisit <= 1 || generation - looked >= revisit) return true;
  return (generation + pid) % revisit == 0;
}

void ResolveOwners(const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids, int64_t now_ms) {
  ++g_generation;
  g_stats.clear();
  g_problem.clear();
  const uint32_t revisit = RevisitReads(g_have_last_read ? now_ms - g_last_read_ms : 0);
  g_have_last_read = true;
  g_last_read_ms = now_ms;
  static std::vector<OwnerEntry*> entries;
  entries.assign(rows.size(), nullptr);
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (proc.fd < 0) {
    g_problem = std::string("/proc: ") + std::strerror(errno);
  } else if (struct statfs fs; fstatfs(proc.fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
    g_problem = "no process file system mounted on /proc";
    close(proc.fd);
    proc.fd = -1;
  }

  std::size_t pending = 0;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].inode == 0) continue;  // TIME_WAIT and the like: never owned
    auto [it, inserted] = g_owners.try_emplace(rows[i].inode);
    OwnerEntry& owner = it->second;
    entries[i] = &owner;
    if (owner.generation == g_generation) continue;  // listed twice
    owner.generation = g_generation;
    ++listed;
    if (!inserted && !owner.pending && owner.pid != 0) {
      uint64_t start = proc.fd < 0 ? 0 : StartTimeOf(proc.fd, owner.pid);
      if (start == 0 || start != owner.start_time) {
        owner.pending = true;
        owner.pid = 0;
        owner.start_time = 0;
        owner.misses = 0;
      }
    } else if (!inserted && !owner.pending && owner.misses < kScansBeforeGivingUp) {
      owner.pending = true;
    }
    if (owner.pending) ++pending;
  }

  static std::vector<uint32_t> all_pids;
  if (listed > 0 && proc.fd >= 0 && ListPids(proc.fd, all_pids)) {
    for (uint32_t pid : all_pids) {
      auto [it, inserted] = g_processes.try_emplace(pid);
      it->second.listed = g_generation;
      if (inserted) it->second.looked = g_generation;
    }
    std::erase_if(g_processes, [](const auto& item) { return item.second.listed != g_generation; });

    static SweepResult first;
    static SweepResult again;
    Sweep(proc.fd, all_pids, pending, revisit, true, nullptr, UINT32_MAX, first);
    // An owner whose descriptors were read without its socket has let it go:
    // the socket is searched again among the processes this read has not read
    // yet, below the lowest other holder this read has seen (if any).
    std::size_t lost = 0;
    uint32_t last_pid = 0;
    for (OwnerEntry* owner : entries) {
      if (owner != nullptr && owner->pending) {
        owner->pending = false;  // searched everywhere, nobody holds it
        ++owner->misses;
      }
      if (owner == nullptr || owner->pid == 0 || owner->seen == g_generation) continue;
      if (!std::binary_search(first.read_pids.begin(), first.read_pids.end(), owner->pid)) continue;
      owner->pending = true;
      owner->pid = 0;
      owner->start_time = 0;
      ++lost;
      last_pid = std::max(last_pid, owner->other_seen == g_generation ? owner->other : UINT32_MAX);
    }
    if (lost > 0) Sweep(proc.fd, all_pids, lost, revisit, false, &first.done_pids, last_pid, again);
    for (OwnerEntry* owner : entries) {
      if (owner == nullptr) continue;
      if (owner->pending) {
        owner->pending = false;
        if (owner->other_seen == g_generation) {
          owner->pid = owner->other;  // nobody below it holds it
        } else {
          ++owner->misses;  // searched everywhere, nobody holds it
        }
      }
      if (owner->pid != 0 && owner->start_time == 0) {
        // Unreadable (the process just left) leaves 0: the next read looks again.
        owner->start_time = StartTimeOf(proc.fd, owner->pid);
      }
    }
  }

  std::erase_if(g_owners, [](const auto& item) { return item.second.generation != g_generation; });

  pids.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) pids[i] = entries[i] == nullptr ? 0 : entries[i]->pid;
}

std::string OwnerSearchProblem() {
  return g_problem;
}

uint64_t ProcessStartTime(uint32_t pid) {
  if (auto it = g_stats.find(pid); it != g_stats.end()) return it->second.ok ? it->second.stat.start_time : 0;
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return proc.fd < 0 ? 0 : StartTimeOf(proc.fd, pid);
}

void ResetOwnerCacheForTesting() {
  g_owners.clear();
  g_processes.clear();
  g_have_last_read = false;
}

uint64_t OwnerScanCountForTesting() {
  return g_scan_count;
}

std::string ProcessNameForPid(uint32_t pid) {
  char path[32] = "/proc/";
  PidPath(path + 6, sizeof path - 6, pid, "/exe");
  char target[4096];
  ssize_t size = readlink(path, target, sizeof target);
  // A full buffer may be a cut path: no name rather than a wrong one.
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof target) return "unknown";
  return ProcessNameFromExeLink(std::string_view(target, static_cast<std::size_t>(size)));
}

}  // namespace sockvane::source
