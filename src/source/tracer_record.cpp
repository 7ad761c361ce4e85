#include "source/tracer_record.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "source/bpf/owners_record.h"

namespace sockvane::source {

namespace {
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
}  // namespace

static_assert(offsetof(sv_owner_record, name) == SV_RECORD_HEAD, "the fixed part ends where the name starts");
static_assert(sizeof(sv_held_socket) == 16, "walk entries are 16 bytes");
static_assert(sizeof(sv_task_run) == 40, "task entries are 40 bytes");
static_assert(sizeof(sv_walked_table) == 24, "table entries are 24 bytes");
static_assert(static_cast<uint32_t>(TablePrint::kShared) == SV_TABLE_SHARED &&
                  static_cast<uint32_t>(TablePrint::kPrinted) == SV_TABLE_PRINTED &&
                  static_cast<uint32_t>(TablePrint::kUnknown) == SV_TABLE_UNKNOWN,
              "the pass's table kinds are ours");

bool DecodeOwnerRecord(const void* data, std::size_t size, TracedSocket& out, uint64_t& task_start_ns) {
  if (data == nullptr || size < SV_RECORD_HEAD) return false;
  sv_owner_record rec;
  std::memcpy(&rec, data, SV_RECORD_HEAD);
  if (rec.name_len > SV_NAME_MAX || rec.name_len > size - SV_RECORD_HEAD) return false;
  if (rec.family != SV_FAMILY_INET && rec.family != SV_FAMILY_INET6) return false;
  if (rec.protocol != kTcp && rec.protocol != kUdp) return false;
  if (rec.kind != SV_KIND_CONNECT && rec.kind != SV_KIND_STATE && rec.kind != SV_KIND_RELEASE) return false;
  if (rec.kind == SV_KIND_STATE && rec.protocol != kTcp) return false;
  if (rec.cookie == 0) return false;

  out = TracedSocket{};
  out.kind = static_cast<TraceKind>(rec.kind);
  out.ipv6 = rec.family == SV_FAMILY_INET6;
  // An IPv4 record carries four address bytes; the rest stays zero.
  const std::size_t address_bytes = out.ipv6 ? 16 : 4;
  std::memcpy(out.src.data(), rec.src, address_bytes);
  std::memcpy(out.dst.data(), rec.dst, address_bytes);
  out.cookie = rec.cookie;
  out.when_ns = rec.when_ns;
  out.pid = rec.tgid;
  out.src_port = rec.src_port;
  out.dst_port = rec.dst_port;
  out.protocol = rec.protocol;
  out.state = rec.protocol == kTcp ? rec.state : 0;
  out.old_state = rec.kind == SV_KIND_STATE ? rec.old_state : 0;
  const char* name = static_cast<const char*>(data) + SV_RECORD_HEAD;
  // A name is a file name: it ends at the first NUL, whatever the length says.
  out.name.assign(name, strnlen(name, rec.name_len));
  task_start_ns = rec.task_start_ns;
  return true;
}

bool DecodeHeldSockets(const uint8_t* data, std::size_t size, HeldSockets& out, std::size_t& used) {
  used = 0;
  while (size - used >= sizeof(sv_held_socket)) {
    sv_held_socket entry;
    std::memcpy(&entry, data + used, sizeof entry);
    if (entry.tgid == 0) return false;
    if (entry.inode != 0) {
      out.sockets.push_back(HeldSocket{entry.inode, entry.tgid, entry.fd});
      used += sizeof entry;
      continue;
    }
    if (entry.fd == SV_TABLE_ENTRY) {
      if (size - used < sizeof(sv_walked_table)) break;
      sv_walked_table table;
      std::memcpy(&table, data + used, sizeof table);
      // A process whose threads use tables of their own has one entry for each.
      out.prints[table.tgid] += table.print;
      used += sizeof table;
      continue;
    }
    if (entry.fd > SV_NAME_MAX) return false;
    const std::size_t padded = (std::size_t{entry.fd} + 7) / 8 * 8;
    if (size - used - sizeof entry < padded) break;  // the rest comes with the next stretch
    const char* name = reinterpret_cast<const char*>(data + used + sizeof entry);
    out.names[entry.tgid].assign(name, strnlen(name, entry.fd));
    used += sizeof entry + padded;
  }
  return true;
}

bool DecodeTaskRuns(const uint8_t* data, std::size_t size, std::vector<TaskRun>& out, std::size_t& used) {
  used = 0;
  while (size - used >= sizeof(sv_task_run)) {
    sv_task_run entry;
    std::memcpy(&entry, data + used, sizeof entry);
    if (entry.tgid == 0 || entry.table > SV_TABLE_UNKNOWN) return false;
    out.push_back(TaskRun{entry.run_ns, entry.files, entry.tgid, entry.tid, entry.print,
                          static_cast<TablePrint>(entry.table)});
    used += sizeof entry;
  }
  return true;
}

void CarryOwnerName(OwnerNames& names, uint64_t task_start_ns, TracedSocket& socket, std::size_t limit) {
  const auto key = std::make_pair(socket.pid, task_start_ns);
  if (!socket.name.empty()) {
    if (names.by_task.size() >= limit && !names.by_task.contains(key)) names.by_task.clear();
    names.by_task[key] = socket.name;
    return;
  }
  const auto found = names.by_task.find(key);
  if (found != names.by_task.end()) socket.name = found->second;
}

namespace {

// A mountinfo field: the kernel writes space, tab, newline and backslash as
// three octal digits after a backslash.
std::string Unescaped(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i > 3) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace

std::string Cgroup2Mount(std::string_view mountinfo) {
  while (!mountinfo.empty()) {
    const std::size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
    const std::vector<std::string_view> fields = Fields(mountinfo.substr(0, end));
    mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
    // ID, parent, device, root, mount point, options, optional fields, "-", type.
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 1 >= fields.size() || fields[dash + 1] != "cgroup2") continue;
    // The hierarchy's root: a bind mount of a part of it sees only that part.
    if (fields[3] != "/") continue;
    std::string point = Unescaped(fields[4]);
    if (!point.empty() && point[0] == '/') return point;
  }
  return "";
}

}  // namespace sockvane::source
