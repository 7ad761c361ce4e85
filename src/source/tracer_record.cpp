#include "source/tracer_record.h"

#include <cstring>

#include "source/bpf/owners_record.h"

namespace sockvane::source {

namespace {
constexpr uint8_t kTcp = 6;
constexpr uint8_t kUdp = 17;
}  // namespace

static_assert(offsetof(sv_owner_record, name) == SV_RECORD_HEAD, "the fixed part ends where the name starts");

bool DecodeOwnerRecord(const void* data, std::size_t size, TracedSocket& out, uint64_t& task_start_ns) {
  if (data == nullptr || size < SV_RECORD_HEAD) return false;
  sv_owner_record rec;
  std::memcpy(&rec, data, SV_RECORD_HEAD);
  if (rec.name_len > SV_NAME_MAX || rec.name_len > size - SV_RECORD_HEAD) return false;
  if (rec.family != SV_FAMILY_INET && rec.family != SV_FAMILY_INET6) return false;
  if (rec.protocol != kTcp && rec.protocol != kUdp) return false;

  out = TracedSocket{};
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
  const char* name = static_cast<const char*>(data) + SV_RECORD_HEAD;
  // A name is a file name: it ends at the first NUL, whatever the length says.
  out.name.assign(name, strnlen(name, rec.name_len));
  task_start_ns = rec.task_start_ns;
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

}  // namespace sockvane::source
