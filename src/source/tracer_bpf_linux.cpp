// The in-kernel owner tracer: loads the BPF program, reads its ring buffer.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "owners.skel.h"
#include "source/tracer.h"
#include "source/tracer_record.h"

namespace sockvane::source {

namespace {

struct Tracer {
  owners_bpf* skeleton = nullptr;
  ring_buffer* ring = nullptr;
  int cpus = 0;
  uint64_t lost_seen = 0;  // the kernel's count at the last drain
  OwnerNames names;
  // Where the ring's callback puts what it reads during one drain.
  std::vector<TracedSocket>* sink = nullptr;
  uint64_t malformed = 0;
};

Tracer g_tracer;

// libbpf speaks on standard error by default; the program decides what to say.
std::string g_libbpf_last;
int KeepLastLibbpfWarning(libbpf_print_level level, const char* format, va_list args) {
  if (level != LIBBPF_WARN) return 0;
  char line[256];
  std::vsnprintf(line, sizeof line, format, args);
  g_libbpf_last = line;
  while (!g_libbpf_last.empty() && (g_libbpf_last.back() == '\n' || g_libbpf_last.back() == ' ')) {
    g_libbpf_last.pop_back();
  }
  // It ends up in a one-line message.
  for (char& ch : g_libbpf_last) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  }
  return 0;
}

int OnRecord(void*, void* data, size_t size) {
  TracedSocket socket;
  uint64_t task_start_ns = 0;
  if (!DecodeOwnerRecord(data, size, socket, task_start_ns)) {
    ++g_tracer.malformed;
    return 0;
  }
  CarryOwnerName(g_tracer.names, task_start_ns, socket);
  g_tracer.sink->push_back(std::move(socket));
  return 0;
}

void StopTracer() {
  ring_buffer__free(g_tracer.ring);
  owners_bpf__destroy(g_tracer.skeleton);
  g_tracer = Tracer{};
}

std::string LoadFailure(const char* step, int error) {
  if (error == EPERM || error == EACCES) {
    return "not permitted to load BPF programs (needs root, or CAP_BPF and CAP_PERFMON; or the kernel is "
           "locked down)";
  }
  std::string why = std::string(step) + ": " + std::strerror(error);
  if (!g_libbpf_last.empty()) why += " (" + g_libbpf_last + ")";
  return why;
}

// The kernel's count of records the ring had no room for, over all CPUs.
uint64_t KernelLost() {
  std::vector<uint64_t> per_cpu(static_cast<std::size_t>(g_tracer.cpus), 0);
  const uint32_t key = 0;
  if (bpf_map__lookup_elem(g_tracer.skeleton->maps.lost, &key, sizeof key, per_cpu.data(),
                           per_cpu.size() * sizeof(uint64_t), 0) != 0) {
    return g_tracer.lost_seen;
  }
  uint64_t total = 0;
  for (uint64_t n : per_cpu) total += n;
  return total;
}

}  // namespace

bool StartTracer(std::string& why) {
  if (g_tracer.skeleton != nullptr) return true;
  const char* off = std::getenv("SOCKVANE_NO_TRACER");
  if (off != nullptr && std::strcmp(off, "1") == 0) {
    why = "switched off by SOCKVANE_NO_TRACER=1";
    return false;
  }
  // Checked first, so that the common refusals need no BPF call at all.
  if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    why = "the kernel offers no type information (/sys/kernel/btf/vmlinux)";
    return false;
  }
  libbpf_set_print(KeepLastLibbpfWarning);
  g_libbpf_last.clear();

  g_tracer.cpus = libbpf_num_possible_cpus();
  if (g_tracer.cpus <= 0) {
    why = LoadFailure("counting the CPUs", -g_tracer.cpus);
    g_tracer = Tracer{};
    return false;
  }
  g_tracer.skeleton = owners_bpf__open();
  if (g_tracer.skeleton == nullptr) {
    why = LoadFailure("opening the BPF program", errno);
    StopTracer();
    return false;
  }
  if (int err = owners_bpf__load(g_tracer.skeleton); err != 0) {
    why = LoadFailure("loading the BPF program", -err);
    StopTracer();
    return false;
  }
  if (int err = owners_bpf__attach(g_tracer.skeleton); err != 0) {
    why = LoadFailure("attaching the BPF program", -err);
    StopTracer();
    return false;
  }
  g_tracer.ring = ring_buffer__new(bpf_map__fd(g_tracer.skeleton->maps.records), OnRecord, nullptr, nullptr);
  if (g_tracer.ring == nullptr) {
    why = LoadFailure("opening the ring buffer", errno);
    StopTracer();
    return false;
  }
  why.clear();
  return true;
}

bool TracerActive() {
  return g_tracer.ring != nullptr;
}

void DrainTracer(std::vector<TracedSocket>& out, uint64_t& lost) {
  if (g_tracer.ring == nullptr) return;
  g_tracer.sink = &out;
  ring_buffer__consume(g_tracer.ring);
  g_tracer.sink = nullptr;
  const uint64_t kernel_lost = KernelLost();
  lost += kernel_lost - g_tracer.lost_seen + g_tracer.malformed;
  g_tracer.lost_seen = kernel_lost;
  g_tracer.malformed = 0;
}

}  // namespace sockvane::source
