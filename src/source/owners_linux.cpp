// Which process owns a socket: a search of /proc/<pid>/fd in PID order, with
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
// socket searched again in PID order. So an owner change, an owner that
// arrives late and a lower PID that gains a shared socket all show within
// that bound plus the read itself, and the lowest-PID rule holds.
//
// What a read may spend. Processes can hold tens of thousands of descriptors
// each (one that hides a connection among them, say), so a read reads at most
// LinkBudget() descriptor links; a pass over a process's descriptors that
// runs out goes on from where it stopped at the next read. New sockets are
// searched first among the small tables (LikelyPids) of the socket's user and
// of processes that have owned sockets, so a holder there shows at once, then
// in PID order; a socket settles once every PID below its holder has been
// read since it joined the search, and until anyone is found it reads PID 0.
// The search takes at most half of a read's budget, the looks the rest,
// oldest first. While the looks due in a read fit in half its budget
// (F <= B/2, F the descriptors of all processes, B the budget: about 25,000
// at a 500 ms interval, 5,000 at 100 ms), nothing waits and the bound above
// holds. Beyond that a look waits for at most F links of older looks, so
// every process's descriptors are read through, in a pass begun after any
// given read, within R + 2 * ceil(2F / B) reads of it (R = RevisitReads):
// with five processes of 19,000 descriptors at 100 ms, R = 15 and the bound
// is 91 reads, 9.1 s (ten: 167 reads). Reading a link costs a few
// microseconds, so no much shorter bound comes without spending most of a
// core. The lowest-PID rule holds within that bound, as do hand-offs and late
// owners.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
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

// accept() makes the socket visible with its inode a moment before the fd is
// installed, so one search may miss a fresh socket's owner: search once more.
// Later owners are found by the looks.
constexpr uint8_t kScansBeforeGivingUp = 2;

constexpr uint8_t kMaxPassedLooks = 19;
constexpr uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD: no descriptors
constexpr uint64_t kUnlimited = UINT64_MAX;

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
void NoteOpenFailure(OwnerCache& cache, int error) {
  if ((error == EMFILE || error == ENFILE) && cache.problem.empty()) cache.problem = std::strerror(error);
}

std::string_view ReadProcFile(OwnerCache* cache, int proc_fd, uint32_t pid, const char* leaf, char* buf,
                              std::size_t size) {
  char path[32];
  PidPath(path, sizeof path, pid, leaf);
  Fd file(openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) {
    if (cache != nullptr) NoteOpenFailure(*cache, errno);
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

bool ReadStat(OwnerCache* cache, int proc_fd, uint32_t pid, ProcStat& stat) {
  char buf[1024];
  return ParseProcStat(ReadProcFile(cache, proc_fd, pid, "/stat", buf, sizeof buf), stat);
}

const ProcStat* StatOf(OwnerCache& cache, int proc_fd, uint32_t pid) {
  auto [it, inserted] = cache.stats.try_emplace(pid);
  if (inserted) it->second.ok = ReadStat(&cache, proc_fd, pid, it->second.stat);
  return it->second.ok ? &it->second.stat : nullptr;
}

uint64_t StartTimeOf(OwnerCache& cache, int proc_fd, uint32_t pid) {
  const ProcStat* stat = StatOf(cache, proc_fd, pid);
  return stat == nullptr ? 0 : stat->start_time;
}

uint64_t RunTimeOf(OwnerCache& cache, int proc_fd, uint32_t pid) {
  char buf[128];
  uint64_t run_ns = 0;
  return ParseRunTime(ReadProcFile(&cache, proc_fd, pid, "/schedstat", buf, sizeof buf), run_ns) ? run_ns : 0;
}

// Calls `visit(name, next_offset)` for every entry of an open directory until
// it returns false; `next_offset` is where the entry after it begins.
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
      int64_t next;
      std::memcpy(&next, buf + offset + offsetof(dirent64, d_off), sizeof next);
      const char* name = buf + offset + kNameOffset;
      std::size_t name_size = strnlen(name, record_size - kNameOffset);
      if (!visit(std::string_view(name, name_size), next)) return;
      offset += record_size;
    }
  }
}

bool PidFromName(std::string_view name, uint32_t& pid) {
  uint64_t value;
  if (!ParseDecimal64(name, value) || value == 0 || value >= UINT32_MAX) return false;
  pid = static_cast<uint32_t>(value);
  return true;
}

std::vector<char>& DirentBuffer() {
  static std::vector<char> dents(1 << 16);
  return dents;
}

// Every PID in /proc, ascending; false when /proc cannot be listed.
bool ListPids(OwnerCache& cache, int proc_fd) {
  cache.pids.clear();
  Fd proc_dir(openat(proc_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (proc_dir.fd < 0) {
    if (cache.problem.empty()) cache.problem = std::strerror(errno);
    return false;
  }
  std::vector<char>& dents = DirentBuffer();
  ForEachEntry(proc_dir.fd, dents.data(), dents.size(), [&cache](std::string_view name, int64_t) {
    uint32_t pid;
    if (PidFromName(name, pid)) cache.pids.push_back(pid);
    return true;
  });
  std::sort(cache.pids.begin(), cache.pids.end());
  return true;
}

// A socket among the descriptors of `pid`: the lowest PID that holds a socket
// owns it, and a search takes the lowest holder found so far.
void FoundSocket(OwnerCache& cache, uint32_t pid, ProcessMark& process, uint64_t inode) {
  auto it = cache.owners.find(inode);
  if (it == cache.owners.end() || it->second.generation != cache.generation) return;
  OwnerEntry& owner = it->second;
  if (owner.pid == pid) {
    owner.seen_pass = process.pass;
    owner.misses = 0;
  } else if (owner.pid == 0 || pid < owner.pid) {
    owner.pid = pid;
    owner.start_time = process.mark.start_time;
    owner.seen_pass = process.pass;
    owner.misses = 0;
    process.owned = true;
  } else if (owner.other_seen != cache.generation || pid < owner.other) {
    owner.other = pid;  // a higher PID holds it too
    owner.other_seen = cache.generation;
  }
}

enum class Pass { kPassedOver, kPartial, kComplete };

// Reads on through the descriptors of `pid` while the read's budget stays
// above `reserve`, beginning a pass unless one is under way. A look (not
// `must_read`) passes over a process that has not run since its last pass.
Pass ContinuePass(OwnerCache& cache, int proc_fd, uint32_t pid, ProcessMark& process, bool must_read,
                  uint64_t reserve) {
  if (process.done == cache.generation) return Pass::kComplete;
  const ProcStat* stat = StatOf(cache, proc_fd, pid);
  if (stat == nullptr) return Pass::kPassedOver;  // gone
  if ((stat->flags & kKernelThreadFlag) != 0) {
    process.done = cache.generation;
    return Pass::kComplete;
  }
  if (process.in_pass && stat->start_time != process.mark.start_time) process.in_pass = false;  // PID reused
  char path[32];
  PidPath(path, sizeof path, pid, "/fd");
  Fd fd_dir(-1);
  if (!process.in_pass) {
    if (!process.readable) {
      fd_dir.fd = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fd_dir.fd < 0) {
        NoteOpenFailure(cache, errno);
        return Pass::kPassedOver;
      }
    }
    // Run time before the descriptors, so that a change during the pass shows
    // as run time at the next look.
    const uint64_t run_ns = stat->threads == 1 ? RunTimeOf(cache, proc_fd, pid) : 0;
    if (!must_read && process.readable && process.passed < kMaxPassedLooks &&
        UnchangedSinceLook(process.mark, *stat, run_ns)) {
      ++process.passed;
      return Pass::kPassedOver;
    }
    if (fd_dir.fd < 0) fd_dir.fd = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir.fd < 0) {
      NoteOpenFailure(cache, errno);
      process.readable = false;
      process.mark = LookMark{};
      return Pass::kPassedOver;
    }
    process.readable = true;
    process.passed = 0;
    process.mark = LookMark{stat->start_time, run_ns};
    process.in_pass = true;
    process.resume = 0;
    process.pass_links = 0;
    process.pass = ++cache.pass_serial;
  } else {
    fd_dir.fd = openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir.fd < 0 || lseek(fd_dir.fd, static_cast<off_t>(process.resume), SEEK_SET) < 0) {
      if (fd_dir.fd < 0) NoteOpenFailure(cache, errno);
      process.in_pass = false;
      process.readable = fd_dir.fd >= 0;
      process.mark = LookMark{};
      return Pass::kPassedOver;
    }
  }
  bool stopped = false;
  std::vector<char>& dents = DirentBuffer();
  ForEachEntry(fd_dir.fd, dents.data(), dents.size(), [&](std::string_view name, int64_t next) {
    if (!name.empty() && name[0] >= '0' && name[0] <= '9' && name.size() < 16) {
      if (cache.budget <= reserve) {
        stopped = true;
        return false;
      }
      --cache.budget;
      ++cache.links;
      ++process.pass_links;
      char entry[16];
      std::memcpy(entry, name.data(), name.size());
      entry[name.size()] = '\0';
      char link[64];
      ssize_t size = readlinkat(fd_dir.fd, entry, link, sizeof link);
      uint64_t inode;
      if (size > 0 && ParseSocketLink(std::string_view(link, static_cast<std::size_t>(size)), inode))
        FoundSocket(cache, pid, process, inode);
    }
    process.resume = static_cast<uint64_t>(next);
    return true;
  });
  if (stopped) return Pass::kPartial;
  process.in_pass = false;
  process.resume = 0;
  process.fds = process.pass_links;
  process.done = cache.generation;
  return Pass::kComplete;
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

void JoinSearch(OwnerCache& cache, OwnerEntry& owner) {
  owner.searching = true;
  owner.joined = cache.cursor;
  owner.likely_tried = false;
  owner.joined_read = cache.generation;
}

// Sockets that have just joined the search, with nobody found yet: their
// users' processes and the processes that owned sockets before go first.
void SearchLikely(OwnerCache& cache, int proc_fd, uint64_t reserve) {
  // Sized by the sockets searching, all of them at the first read: not kept.
  std::vector<OwnerEntry*> fresh;
  std::vector<uint32_t> uids;
  static std::vector<ProcessRank> ranks;
  uint64_t joined = 0;
  for (OwnerEntry* owner : cache.rows) {
    if (owner == nullptr || !owner->searching || owner->likely_tried || owner->pid != 0) continue;
    fresh.push_back(owner);
    uids.push_back(owner->uid);
    joined = std::max(joined, owner->joined_read);
  }
  if (fresh.empty()) return;
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  ranks.clear();
  for (uint32_t pid : cache.pids) {
    auto it = cache.processes.find(pid);
    if (it == cache.processes.end()) continue;
    const ProcessMark& process = it->second;
    ranks.push_back(ProcessRank{pid, process.uid, std::max(process.fds, process.pass_links), process.owned});
  }
  for (uint32_t pid : LikelyPids(ranks, uids)) {
    // Out of budget: the next read goes on, past what was read since they joined.
    if (cache.budget <= reserve) return;
    ProcessMark& process = cache.processes[pid];
    // Read after the read they joined in: that read may have come before the join.
    if (process.done > joined && process.done != cache.generation) continue;
    if (ContinuePass(cache, proc_fd, pid, process, true, reserve) == Pass::kPartial) return;
    std::erase_if(fresh, [](const OwnerEntry* owner) { return owner->pid != 0; });
    if (fresh.empty()) return;
  }
  for (OwnerEntry* owner : fresh) owner->likely_tried = true;
}

// Goes on with the search in PID order while sockets are searching and the
// budget lasts above `reserve`. A socket settles once every PID below its
// holder (below every PID when none is found) has been read since it joined.
void SearchOn(OwnerCache& cache, int proc_fd, uint64_t reserve) {
  std::vector<OwnerEntry*> searching;
  for (OwnerEntry* owner : cache.rows) {
    if (owner != nullptr && owner->searching) searching.push_back(owner);
  }
  if (searching.empty()) return;
  if (cache.searched != cache.generation) ++cache.searches;
  cache.searched = cache.generation;
  const auto settle = [&cache, &searching]() {
    std::erase_if(searching, [&cache](OwnerEntry* owner) {
      if (!owner->searching) return true;  // listed twice
      if (!SearchCovered(owner->joined, cache.cursor, owner->pid == 0 ? UINT32_MAX : owner->pid))
        return false;
      owner->searching = false;
      if (owner->pid == 0) ++owner->misses;  // searched everywhere, nobody holds it
      return true;
    });
    return searching.empty();
  };
  if (settle()) return;
  // Twice round at most: PIDs read in this read are not read again.
  for (int laps = 0; laps < 2; ++laps) {
    auto it = std::lower_bound(cache.pids.begin(), cache.pids.end(), cache.cursor.pid);
    for (; it != cache.pids.end(); ++it) {
      if (cache.budget <= reserve) return;
      auto process = cache.processes.find(*it);
      if (process != cache.processes.end()) {
        ProcessMark& mark = process->second;
        // The looks may finish a pass the search stopped in; it counts, or a
        // large table that the looks always finish would hold the search forever.
        const bool finished = *it == cache.cursor.pid && cache.cursor_pass != 0 &&
                              mark.pass == cache.cursor_pass && !mark.in_pass;
        if (!finished && ContinuePass(cache, proc_fd, *it, mark, true, reserve) == Pass::kPartial) {
          cache.cursor.pid = *it;
          cache.cursor_pass = mark.pass;
          return;
        }
      }
      cache.cursor_pass = 0;
      cache.cursor.pid = *it + 1;
      if (settle()) return;
    }
    ++cache.cursor.round;
    cache.cursor.pid = 0;
    cache.cursor_pass = 0;
    if (settle()) return;
  }
}

// The looks due in this read, and passes under way, oldest first.
void LookOn(OwnerCache& cache, int proc_fd, uint32_t revisit) {
  static std::vector<std::pair<uint64_t, uint32_t>> due;
  due.clear();
  for (uint32_t pid : cache.pids) {
    auto it = cache.processes.find(pid);
    if (it == cache.processes.end() || it->second.done == cache.generation) continue;
    const ProcessMark& process = it->second;
    if (process.in_pass || LookDue(cache.generation, process.looked, pid, revisit))
      due.emplace_back(process.looked, pid);
  }
  std::sort(due.begin(), due.end());
  for (const auto& [looked, pid] : due) {
    if (cache.budget == 0) return;
    ProcessMark& process = cache.processes[pid];
    // A search's passes leave the looks' own rhythm alone: under churn a
    // search reads most processes at every read anyway.
    if (!process.in_pass) process.looked = cache.generation;
    if (ContinuePass(cache, proc_fd, pid, process, false, 0) == Pass::kPartial) return;
  }
}

// An owner whose descriptors were read through in this read without its
// socket has let it go: the lowest other holder seen in this read stands in,
// and the socket is searched again.
void LetGoneOwnersGo(OwnerCache& cache) {
  for (OwnerEntry* owner : cache.rows) {
    if (owner == nullptr || owner->pid == 0) continue;
    auto it = cache.processes.find(owner->pid);
    if (it == cache.processes.end() || it->second.done != cache.generation ||
        owner->seen_pass == it->second.pass) {
      continue;
    }
    owner->pid = 0;
    owner->start_time = 0;
    owner->misses = 0;
    if (owner->other_seen == cache.generation) {
      auto other = cache.processes.find(owner->other);
      if (other != cache.processes.end()) {
        owner->pid = owner->other;
        owner->seen_pass = other->second.pass;
      }
    }
    if (!owner->searching) JoinSearch(cache, *owner);
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

uint64_t LinkBudget(int64_t gap_ms, int64_t spent_ms) {
  constexpr int64_t kMinMs = 100;
  if (gap_ms <= 0) return kUnlimited;
  const int64_t rest = gap_ms - std::clamp<int64_t>(spent_ms, 0, gap_ms);
  return static_cast<uint64_t>(std::max(kMinMs, rest)) * kLinksPerMs;
}

bool SearchCovered(const SearchCursor& joined, const SearchCursor& now, uint32_t below) {
  if (now.round >= joined.round + 2) return true;
  if (now.round == joined.round + 1) return now.pid >= std::min(below, joined.pid);
  // In the round it joined, only a search that began at the bottom covers anything.
  return now.round == joined.round && joined.pid == 0 && below != UINT32_MAX && now.pid >= below;
}

std::vector<uint32_t> LikelyPids(const std::vector<ProcessRank>& processes,
                                 const std::vector<uint32_t>& uids) {
  std::vector<uint32_t> pids;
  for (const ProcessRank& process : processes) {
    if (process.fds <= kLargeTable &&
        (process.owned || std::binary_search(uids.begin(), uids.end(), process.uid))) {
      pids.push_back(process.pid);
    }
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

void ResolveOwners(OwnerCache& cache, const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids,
                   int64_t now_ms) {
  ++cache.generation;
  cache.stats.clear();
  cache.problem.clear();
  const int64_t gap_ms = cache.have_last_read ? now_ms - cache.last_read_ms : 0;
  const uint32_t revisit = RevisitReads(gap_ms);
  cache.budget = LinkBudget(gap_ms, cache.spent_ms);
  const int64_t began_ms = MonotonicMs();
  cache.have_last_read = true;
  cache.last_read_ms = now_ms;
  cache.rows.assign(rows.size(), nullptr);
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (proc.fd < 0) {
    cache.problem = std::string("/proc: ") + std::strerror(errno);
  } else if (struct statfs fs; fstatfs(proc.fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC) {
    cache.problem = "no process file system mounted on /proc";
    close(proc.fd);
    proc.fd = -1;
  }

  std::vector<OwnerEntry*> joining;
  bool carried = false;  // sockets still searching from earlier reads
  std::size_t listed = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].inode == 0) continue;  // TIME_WAIT and the like: never owned
    auto [it, inserted] = cache.owners.try_emplace(rows[i].inode);
    OwnerEntry& owner = it->second;
    cache.rows[i] = &owner;
    if (owner.generation == cache.generation) continue;  // listed twice
    owner.generation = cache.generation;
    owner.uid = rows[i].uid;
    ++listed;
    if (inserted) {
      joining.push_back(&owner);
      continue;
    }
    carried = carried || owner.searching;
    if (owner.pid != 0) {
      uint64_t start = proc.fd < 0 ? 0 : StartTimeOf(cache, proc.fd, owner.pid);
      if (start == 0 || start != owner.start_time) {
        owner.pid = 0;
        owner.start_time = 0;
        owner.misses = 0;
        if (!owner.searching) joining.push_back(&owner);
      }
    } else if (!owner.searching && owner.misses < kScansBeforeGivingUp) {
      joining.push_back(&owner);
    }
  }
  if (!carried) {  // a search of its own, from the bottom
    cache.cursor.pid = 0;
    cache.cursor_pass = 0;
  }
  for (OwnerEntry* owner : joining) JoinSearch(cache, *owner);

  if (listed > 0 && proc.fd >= 0 && ListPids(cache, proc.fd)) {
    for (uint32_t pid : cache.pids) {
      auto [it, inserted] = cache.processes.try_emplace(pid);
      it->second.listed = cache.generation;
      if (inserted) {
        it->second.looked = cache.generation;
        char name[16];
        PidPath(name, sizeof name, pid, "");
        struct stat st;
        if (fstatat(proc.fd, name, &st, 0) == 0) it->second.uid = st.st_uid;
        // Newer kernels give the number of descriptors as the size of fd/.
        PidPath(name, sizeof name, pid, "/fd");
        if (fstatat(proc.fd, name, &st, 0) == 0 && st.st_size > 0)
          it->second.fds = static_cast<uint64_t>(st.st_size);
      }
    }
    std::erase_if(cache.processes,
                  [&cache](const auto& item) { return item.second.listed != cache.generation; });

    // The search goes first, with at most half of a limited budget; the looks
    // take what is left; sockets they find let go are searched with the rest.
    const uint64_t reserve = cache.budget == kUnlimited ? 0 : cache.budget / 2;
    SearchLikely(cache, proc.fd, reserve);
    SearchOn(cache, proc.fd, reserve);
    LookOn(cache, proc.fd, revisit);
    LetGoneOwnersGo(cache);
    SearchLikely(cache, proc.fd, 0);
    SearchOn(cache, proc.fd, 0);
    for (OwnerEntry* owner : cache.rows) {
      // Unreadable (the process just left) leaves 0: the next read looks again.
      if (owner != nullptr && owner->pid != 0 && owner->start_time == 0)
        owner->start_time = StartTimeOf(cache, proc.fd, owner->pid);
    }
  }

  std::erase_if(cache.owners,
                [&cache](const auto& item) { return item.second.generation != cache.generation; });
  // A search hampered but complete is nothing to tell; otherwise tell how many it left.
  if (!cache.problem.empty()) {
    const auto unfound = std::count_if(cache.owners.begin(), cache.owners.end(),
                                       [](const auto& item) { return item.second.pid == 0; });
    if (unfound == 0) {
      cache.problem.clear();
    } else {
      cache.problem += " (" + std::to_string(unfound) + " of " + std::to_string(cache.owners.size()) +
                       " sockets without an owner)";
    }
  }

  pids.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) pids[i] = cache.rows[i] == nullptr ? 0 : cache.rows[i]->pid;
  cache.spent_ms = MonotonicMs() - began_ms;
}

std::string OwnerSearchProblem() {
  return ReadPathOwnerCache().problem;
}

uint64_t ProcessStartTime(uint32_t pid) {
  const OwnerCache& cache = ReadPathOwnerCache();
  if (auto it = cache.stats.find(pid); it != cache.stats.end())
    return it->second.ok ? it->second.stat.start_time : 0;
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ProcStat stat;
  return proc.fd >= 0 && ReadStat(nullptr, proc.fd, pid, stat) ? stat.start_time : 0;
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
