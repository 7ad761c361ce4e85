// What the tracer's BPF programs hand over, on arbitrary bytes. First byte: 0 a
// hook record, 1 a stretch of the descriptor walk (second byte: where a read()
// cut it), 2 mountinfo text, 3 a stretch of the task pass.
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "source/bpf/owners_record.h"
#include "source/tracer_record.h"

namespace src = sockvane::source;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0] % 4;
  const uint8_t cut = data[1];
  data += 2;
  size -= 2;
  if (mode == 0) {
    src::TracedSocket socket;
    uint64_t start = 0;
    if (src::DecodeOwnerRecord(data, size, socket, start)) {
      FUZZ_CHECK(size >= SV_RECORD_HEAD);
      FUZZ_CHECK(socket.name.size() <= SV_NAME_MAX && socket.name.size() <= size - SV_RECORD_HEAD);
      FUZZ_CHECK(socket.name.find('\0') == std::string::npos);
      FUZZ_CHECK(socket.cookie != 0);
      FUZZ_CHECK(socket.protocol == 6 || socket.protocol == 17);
      FUZZ_CHECK(socket.protocol == 6 || socket.state == 0);
    }
  } else if (mode == 1) {
    // Whole, or in two reads cut anywhere: the same entries, or the same refusal.
    src::HeldSockets whole;
    std::size_t used = 0;
    const bool ok = src::DecodeHeldSockets(data, size, whole, used);
    FUZZ_CHECK(used <= size);
    const std::size_t first = size == 0 ? 0 : cut % (size + 1);
    src::HeldSockets parts;
    std::size_t part_used = 0;
    bool parts_ok = src::DecodeHeldSockets(data, first, parts, part_used);
    FUZZ_CHECK(part_used <= first);
    std::size_t rest_used = 0;
    if (parts_ok) {
      std::vector<uint8_t> rest(data + part_used, data + size);
      parts_ok = src::DecodeHeldSockets(rest.data(), rest.size(), parts, rest_used);
    }
    FUZZ_CHECK(parts_ok == ok);
    if (ok) {
      FUZZ_CHECK(part_used + rest_used == used);
      FUZZ_CHECK(parts.sockets.size() == whole.sockets.size());
      FUZZ_CHECK(parts.names == whole.names);
      FUZZ_CHECK(parts.prints == whole.prints);
    }
    for (const src::HeldSocket& held : whole.sockets) FUZZ_CHECK(held.pid != 0 && held.inode != 0);
    for (const auto& [pid, name] : whole.names) FUZZ_CHECK(name.size() <= SV_NAME_MAX);
  } else if (mode == 3) {
    std::vector<src::TaskRun> runs;
    std::size_t used = 0;
    if (src::DecodeTaskRuns(data, size, runs, used)) {
      FUZZ_CHECK(used == size / sizeof(sv_task_run) * sizeof(sv_task_run));
      for (const src::TaskRun& run : runs) FUZZ_CHECK(run.pid != 0 && run.table <= src::TablePrint::kUnknown);
    }
  } else {
    const std::string point = src::Cgroup2Mount(std::string_view(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(point.empty() || point[0] == '/');
  }
  return 0;
}
