// Which process owns a socket: a scan of /proc/<pid>/fd, with owners kept
// across reads for as long as the socket and its process live.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <unordered_map>

#include "source/linux_source.h"
#include "source/naming.h"
#include "source/socket_table.h"

namespace sockvane::source {

namespace {

struct OwnerEntry {
  uint32_t pid = 0;         // 0: a whole scan found no owner
  uint64_t start_time = 0;  // of `pid`, to tell a reused PID apart
  uint64_t generation = 0;  // last read that listed the socket
  bool pending = true;      // not searched since it appeared or its owner left
  uint8_t misses = 0;       // whole scans that found no owner
};

// accept() makes the socket visible with its inode a moment before the fd is
// installed, so one scan may miss a fresh socket's owner: look once more.
constexpr uint8_t kScansBeforeGivingUp = 2;

std::unordered_map<uint64_t, OwnerEntry> g_owners;
uint64_t g_generation = 0;
uint64_t g_scan_count = 0;

// Start times read during the current read, by PID (0: unreadable).
std::unordered_map<uint32_t, uint64_t> g_start_times;

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


uint64_t ReadStartTime(int proc_fd, uint32_t pid) {
  char path[32];
  PidPath(path, sizeof path, pid, "/stat");
  Fd file(openat(proc_fd, path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return 0;
  char buf[4096];
  std::size_t used = 0;
  while (used < sizeof buf) {
    ssize_t got = read(file.fd, buf + used, sizeof buf - used);
    if (got > 0) {
      used += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  uint64_t start = 0;
  return ParseStartTime(std::string_view(buf, used), start) ? start : 0;
}

uint64_t StartTimeOf(int proc_fd, uint32_t pid) {
  auto [it, inserted] = g_start_times.try_emplace(pid, 0);
  if (inserted) it->second = ReadStartTime(proc_fd, pid);
  return it->second;
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

// Walks the fds of every process in ascending PID order, so the first holder
// found is the lowest PID; stops once every pending socket has one.
void ScanForOwners(int proc_fd, std::size_t pending) {
  ++g_scan_count;
  static std::vector<uint32_t> pids;
  static std::vector<char> dents(1 << 16);
  pids.clear();
  {
    Fd proc_dir(openat(proc_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (proc_dir.fd < 0) return;
    ForEachEntry(proc_dir.fd, dents.data(), dents.size(), [](std::string_view name) {
      uint32_t pid;
      if (PidFromName(name, pid)) pids.push_back(pid);
    });
  }
  std::sort(pids.begin(), pids.end());

  char path[32];
  for (uint32_t pid : pids) {
    if (pending == 0) break;
    PidPath(path, sizeof path, pid, "/fd");
    Fd fd_dir(openat(proc_fd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd_dir.fd < 0) continue;  // gone, or another user's
    ForEachEntry(fd_dir.fd, dents.data(), dents.size(), [&](std::string_view name) {
      if (name.empty() || name[0] < '0' || name[0] > '9' || name.size() >= 16) return;
      char entry[16];
      std::memcpy(entry, name.data(), name.size());
      entry[name.size()] = '\0';
      char link[64];
      ssize_t size = readlinkat(fd_dir.fd, entry, link, sizeof link);
      uint64_t inode;
      if (size <= 0 || !ParseSocketLink(std::string_view(link, static_cast<std::size_t>(size)), inode))
        return;
      auto it = g_owners.find(inode);
      if (it == g_owners.end()) return;
      OwnerEntry& owner = it->second;
      if (!owner.pending || owner.generation != g_generation) return;
      owner.pending = false;
      owner.pid = pid;
      owner.misses = 0;
      --pending;
    });
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

bool ParseStartTime(std::string_view stat, uint64_t& start_time) {
  std::size_t paren = stat.rfind(')');
  if (paren == std::string_view::npos) return false;
  std::string_view rest = stat.substr(paren + 1);
  // Fields 3 (state) to 22 (starttime) follow the command name.
  for (int field = 3;; ++field) {
    std::size_t begin = rest.find_first_not_of(' ');
    if (begin == std::string_view::npos) return false;
    rest.remove_prefix(begin);
    std::size_t end = rest.find_first_of(" \n");
    std::string_view value = rest.substr(0, end);
    if (field == 22) return ParseDecimal64(value, start_time);
    if (end == std::string_view::npos || rest[end] == '\n') return false;
    rest.remove_prefix(end);
  }
}

void ResolveOwners(const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids) {
  ++g_generation;
  g_start_times.clear();
  static std::vector<OwnerEntry*> entries;
  entries.assign(rows.size(), nullptr);
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));

  std::size_t pending = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].inode == 0) continue;  // TIME_WAIT and the like: never owned
    auto [it, inserted] = g_owners.try_emplace(rows[i].inode);
    OwnerEntry& owner = it->second;
    entries[i] = &owner;
    if (owner.generation == g_generation) continue;  // listed twice
    owner.generation = g_generation;
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

  if (pending > 0 && proc.fd >= 0) {
    ScanForOwners(proc.fd, pending);
    for (OwnerEntry* owner : entries) {
      if (owner == nullptr) continue;
      if (owner->pending) {
        owner->pending = false;  // searched everywhere, nobody holds it
        ++owner->misses;
      } else if (owner->pid != 0 && owner->start_time == 0) {
        // Unreadable (the process just left) leaves 0: the next read looks again.
        owner->start_time = StartTimeOf(proc.fd, owner->pid);
      }
    }
  }

  std::erase_if(g_owners, [](const auto& item) { return item.second.generation != g_generation; });

  pids.resize(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) pids[i] = entries[i] == nullptr ? 0 : entries[i]->pid;
}

uint64_t ProcessStartTime(uint32_t pid) {
  if (auto it = g_start_times.find(pid); it != g_start_times.end()) return it->second;
  Fd proc(open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return proc.fd < 0 ? 0 : StartTimeOf(proc.fd, pid);
}

void ResetOwnerCacheForTesting() {
  g_owners.clear();
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
