#include "source/proc_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "source/naming.h"
#include "source/unit.h"

namespace sockvane::source {

bool ParseDecimal64(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 20) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

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
    uint64_t number = 0;
    if (field == 3) {
      if (value.size() != 1) return false;
      parsed.state = value[0];
    } else if (field == 4) {
      ok = ParseDecimal64(value, number) && number <= UINT32_MAX;
      parsed.ppid = static_cast<uint32_t>(number);
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

bool AddRunTime(std::string_view schedstat, RunTime& run) {
  uint64_t fields[3];
  for (uint64_t& field : fields) {
    const std::size_t end = schedstat.find_first_of(" \n");
    if (end == 0 || !ParseDecimal64(schedstat.substr(0, end), field)) return false;
    schedstat.remove_prefix(end == std::string_view::npos ? schedstat.size() : end + 1);
  }
  run.ns += fields[0];
  run.slices += fields[2];
  return true;
}

namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int value) : fd(value) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// "<pid><leaf>", relative to the root.
struct PidPath {
  char text[48];
  PidPath(uint32_t pid, std::string_view leaf) {
    auto [end, ec] = std::to_chars(text, text + 16, pid);
    (void)ec;
    const std::size_t size = std::min(leaf.size(), sizeof text - 17);
    std::memcpy(end, leaf.data(), size);
    end[size] = '\0';
  }
};

std::string_view ReadFile(int dir_fd, const char* path, char* buf, std::size_t size) {
  Fd file(openat(dir_fd, path, O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return {};
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

// Calls `visit(name, inode, next_offset)` for every entry of an open
// directory until it returns false; `next_offset` is where the entry after
// it begins.
template <typename Visit>
void ForEachEntry(int dir_fd, std::vector<char>& dents, Visit&& visit) {
  if (dents.empty()) dents.resize(1 << 16);
  char* buf = dents.data();
  for (;;) {
    ssize_t got = getdents64(dir_fd, buf, dents.size());
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
      uint64_t inode;
      int64_t next;
      std::memcpy(&inode, buf + offset + offsetof(dirent64, d_ino), sizeof inode);
      std::memcpy(&next, buf + offset + offsetof(dirent64, d_off), sizeof next);
      const char* name = buf + offset + kNameOffset;
      std::size_t name_size = strnlen(name, record_size - kNameOffset);
      if (!visit(std::string_view(name, name_size), inode, next)) return;
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

}  // namespace

Proc::~Proc() {
  CloseProc(*this);
}

void CloseProc(Proc& proc) {
  if (proc.fd >= 0) close(proc.fd);
  proc.fd = -1;
}

std::string OpenProc(Proc& proc, const std::string& root, bool expect_procfs) {
  CloseProc(proc);
  proc.fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc.fd < 0) return root + ": " + std::strerror(errno);
  struct statfs fs;
  if (expect_procfs && (fstatfs(proc.fd, &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)) {
    CloseProc(proc);
    return "no process file system mounted on " + root;
  }
  return "";
}

bool ListProcesses(Proc& proc, std::vector<ProcEntry>& out) {
  out.clear();
  Fd dir(openat(proc.fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0) return false;
  ForEachEntry(dir.fd, proc.dents, [&out](std::string_view name, uint64_t inode, int64_t) {
    uint32_t pid;
    if (PidFromName(name, pid)) out.push_back(ProcEntry{pid, inode});
    return true;
  });
  std::sort(out.begin(), out.end(), [](const ProcEntry& a, const ProcEntry& b) { return a.pid < b.pid; });
  return true;
}

bool ReadProcStat(const Proc& proc, uint32_t pid, ProcStat& out) {
  char buf[1024];
  return ParseProcStat(ReadFile(proc.fd, PidPath(pid, "/stat").text, buf, sizeof buf), out);
}

bool CountDescriptors(const Proc& proc, uint32_t pid, uint64_t& count) {
  struct stat st;
  if (fstatat(proc.fd, PidPath(pid, "/fd").text, &st, 0) != 0) return false;
  count = static_cast<uint64_t>(st.st_size);
  return true;
}

bool ReadRunTime(Proc& proc, uint32_t pid, RunTime& run) {
  run = RunTime{};
  // The task directory links one subdirectory a thread.
  struct stat st;
  if (fstatat(proc.fd, PidPath(pid, "/task").text, &st, 0) != 0) return false;
  char buf[128];
  if (st.st_nlink <= 3)
    return AddRunTime(ReadFile(proc.fd, PidPath(pid, "/schedstat").text, buf, sizeof buf), run);
  Fd tasks(openat(proc.fd, PidPath(pid, "/task").text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (tasks.fd < 0) return false;
  bool ok = true;
  ForEachEntry(tasks.fd, proc.dents, [&](std::string_view name, uint64_t, int64_t) {
    uint32_t tid;
    if (PidFromName(name, tid))
      ok = AddRunTime(ReadFile(tasks.fd, PidPath(tid, "/schedstat").text, buf, sizeof buf), run);
    return ok;
  });
  return ok;
}

FdRead ReadSocketInodes(Proc& proc, uint32_t pid, uint64_t& resume, uint64_t& budget,
                        std::vector<uint64_t>& inodes) {
  Fd dir(openat(proc.fd, PidPath(pid, "/fd").text, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0 || (resume != 0 && lseek(dir.fd, static_cast<off_t>(resume), SEEK_SET) < 0)) {
    return FdRead::kDenied;
  }
  bool stopped = false;
  ForEachEntry(dir.fd, proc.dents, [&](std::string_view name, uint64_t, int64_t next) {
    if (!name.empty() && name[0] >= '0' && name[0] <= '9' && name.size() < 16) {
      if (budget == 0) {
        stopped = true;
        return false;
      }
      --budget;
      char entry[16];
      std::memcpy(entry, name.data(), name.size());
      entry[name.size()] = '\0';
      char link[64];
      ssize_t size = readlinkat(dir.fd, entry, link, sizeof link);
      uint64_t inode;
      if (size > 0 && ParseSocketLink(std::string_view(link, static_cast<std::size_t>(size)), inode))
        inodes.push_back(inode);
    }
    resume = static_cast<uint64_t>(next);
    return true;
  });
  return stopped ? FdRead::kPartial : FdRead::kDone;
}

std::string ProcessNameOf(const std::string& root, uint32_t pid) {
  char target[4096];
  const std::string path = root + "/" + PidPath(pid, "/exe").text;
  ssize_t size = readlink(path.c_str(), target, sizeof target);
  // A full buffer may be a cut path: no name rather than a wrong one.
  if (size <= 0 || static_cast<std::size_t>(size) >= sizeof target) return "unknown";
  return ProcessNameFromExeLink(std::string_view(target, static_cast<std::size_t>(size)));
}

std::string UnitOf(const std::string& root, uint32_t pid) {
  if (pid == 0) return {};
  std::string buf(kCgroupFileLimit, '\0');
  const std::string path = root + "/" + PidPath(pid, "/cgroup").text;
  return UnitFromCgroup(ReadFile(AT_FDCWD, path.c_str(), buf.data(), buf.size()));
}

bool ShareDescriptorTable(uint32_t pid, uint32_t other) {
  return syscall(SYS_kcmp, static_cast<pid_t>(pid), static_cast<pid_t>(other), KCMP_FILES, 0, 0) == 0;
}

}  // namespace sockvane::source
