// The owner tracer: loads the BPF programs, attaches them through links (the
// kernel detaches a link when its last descriptor goes, so nothing outlives
// the process, even one that is killed), reads the hooks' ring buffer and
// runs the descriptor walk.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "source/bpf/owners_load.h"
#include "source/bpf/owners_record.h"
#include "source/socket_table_linux.h"
#include "source/tracer.h"
#include "source/tracer_record.h"

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace sockvane::source {

// A link's descriptor: the kernel detaches the program when it closes.
struct Link {
  int fd = -1;
  Link() = default;
  explicit Link(int link_fd) : fd(link_fd) {}
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link() {
    if (fd >= 0) close(fd);
  }
};

struct TracerKernel {
  sv_object object{};
  Link links[SV_PROG_COUNT];
  ring_buffer* ring = nullptr;
  int cpus = 0;
  uint64_t lost_seen = 0;  // the kernel's count at the last drain
  uint64_t malformed = 0;
  OwnerNames names;
  // Where the ring's callback puts what it reads during one drain.
  std::vector<TracedSocket>* sink = nullptr;
  // The verifier's account of a program it refused.
  std::vector<char> log = std::vector<char>(64 * 1024, '\0');
  std::vector<uint8_t> walk_buffer;
  bool own_pid_namespace = false;  // /proc numbers processes as the kernel takes our PIDs

  TracerKernel() { sv_object_init(&object); }
  TracerKernel(const TracerKernel&) = delete;
  TracerKernel& operator=(const TracerKernel&) = delete;
  ~TracerKernel() {
    ring_buffer__free(ring);
    for (Link& link : links) {
      if (link.fd >= 0) close(link.fd);
      link.fd = -1;
    }
    sv_object_destroy(&object);
  }
};

void TracerKernelDeleter::operator()(TracerKernel* kernel) const {
  delete kernel;
}

namespace {

// The seq file hands over at most this much per read().
constexpr std::size_t kWalkRead = 64 * 1024;
constexpr std::size_t kLogLineMax = 200;

// libbpf speaks on standard error by default; the program decides what to say.
int Silent(libbpf_print_level, const char*, va_list) {
  return 0;
}

// The line of the verifier's log that says why, made fit for a one-line message.
std::string LogReason(const std::vector<char>& log) {
  std::string_view text(log.data(), strnlen(log.data(), log.size()));
  std::string reason;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.starts_with("processed ") || line.starts_with("verification time")) continue;
    reason.assign(line.substr(0, kLogLineMax));
  }
  for (char& ch : reason) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  }
  return reason;
}

std::string Failure(const char* step, int error, const std::vector<char>* log = nullptr) {
  if (error == EPERM) {
    return "not permitted to load BPF programs (needs root, or CAP_BPF and CAP_PERFMON; or the kernel is "
           "locked down)";
  }
  std::string why = std::string(step) + ": " + std::strerror(error);
  if (log != nullptr) {
    const std::string reason = LogReason(*log);
    if (!reason.empty()) why += " (" + reason + ")";
  }
  return why;
}

bool NetnsCookie(uint64_t& cookie, std::string& why) {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t size = sizeof cookie;
  const bool got = fd >= 0 && getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &size) == 0;
  const int error = errno;
  if (fd >= 0) close(fd);
  if (!got)
    why =
        std::string("the kernel does not name network namespaces (SO_NETNS_COOKIE): ") + std::strerror(error);
  return got;
}

// The PID namespace whose numbers `proc_root` shows: ours when it shows us
// under our own number, else that of its process 1 when we may look at it.
bool ProcPidNamespace(const std::string& proc_root, uint32_t& inum, bool& ours, std::string& why) {
  struct stat st {};
  char link[32];
  const ssize_t size = readlink((proc_root + "/self").c_str(), link, sizeof link);
  uint32_t self = 0;
  if (size > 0 && std::from_chars(link, link + size, self).ptr == link + size &&
      self == static_cast<uint32_t>(getpid()) && stat((proc_root + "/self/ns/pid").c_str(), &st) == 0) {
    inum = static_cast<uint32_t>(st.st_ino);
    ours = true;
    return true;
  }
  if (stat((proc_root + "/1/ns/pid").c_str(), &st) == 0) {
    inum = static_cast<uint32_t>(st.st_ino);
    ours = false;
    return true;
  }
  why = "cannot tell which PID namespace " + proc_root + " shows";
  return false;
}

// Whether every capability of `caps`, or CAP_SYS_ADMIN, is in our effective set.
bool Effective(std::initializer_list<int> caps) {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &head, data) != 0) return false;
  const auto effective = [&](int cap) { return ((data[cap / 32].effective >> (cap % 32)) & 1U) != 0; };
  return effective(CAP_SYS_ADMIN) || std::all_of(caps.begin(), caps.end(), effective);
}

// Tracing programs take CAP_BPF and CAP_PERFMON to load. Checked before
// loading: the kernel's loader would refuse them only for a helper they call.
bool MayLoadTracing() {
  return Effective({CAP_BPF, CAP_PERFMON});
}

// Hooks on a cgroup take CAP_NET_ADMIN too.
bool MayLoadCgroupHooks() {
  return Effective({CAP_NET_ADMIN});
}

// Loaded and attached, the programs need no capability to be read, and
// CAP_NET_ADMIN in particular would let a subverted process reconfigure the
// network: the rights that only loading needed go, for good (ambient ones
// with the permitted ones).
void GiveUpLoadingRights() {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &head, data) != 0) return;
  for (const int cap : {CAP_BPF, CAP_PERFMON, CAP_NET_ADMIN}) {
    const uint32_t keep = ~(1U << (cap % 32));
    data[cap / 32].effective &= keep;
    data[cap / 32].permitted &= keep;
    data[cap / 32].inheritable &= keep;
  }
  syscall(SYS_capset, &head, data);
}

std::string CgroupRoot() {
  std::ifstream in("/proc/self/mountinfo");
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Cgroup2Mount(text);
}

int OnRecord(void* context, void* data, size_t size) {
  auto* kernel = static_cast<TracerKernel*>(context);
  TracedSocket socket;
  uint64_t task_start_ns = 0;
  if (!DecodeOwnerRecord(data, size, socket, task_start_ns)) {
    ++kernel->malformed;
    return 0;
  }
  if (socket.pid != 0) CarryOwnerName(kernel->names, task_start_ns, socket);
  kernel->sink->push_back(std::move(socket));
  return 0;
}

// The kernel's count of records the ring had no room for, over all CPUs.
uint64_t KernelLost(TracerKernel& kernel) {
  std::vector<uint64_t> per_cpu(static_cast<std::size_t>(kernel.cpus), 0);
  const uint32_t key = 0;
  if (bpf_map_lookup_elem(kernel.object.lost_map, &key, per_cpu.data()) != 0) {
    return kernel.lost_seen;
  }
  uint64_t total = 0;
  for (uint64_t n : per_cpu) total += n;
  return total;
}

struct Scope {
  uint64_t netns_cookie = 0;
  uint32_t pidns_inum = 0;
  bool own_pid_namespace = false;
};

// Loads `part` into `kernel`. The error number when the kernel refused, with
// the verifier's account in `kernel.log`: asked for only then, by loading
// again, as a full account of a program that passes may not fit the buffer.
int LoadPart(TracerKernel& kernel, sv_part part, const sv_consts& consts) {
  int error = 0;
  for (const bool with_log : {false, true}) {
    kernel.log.assign(kernel.log.size(), '\0');
    const int err = sv_object_load(&kernel.object, part, &consts, with_log ? kernel.log.data() : nullptr,
                                   kernel.log.size());
    if (err == 0) return 0;
    if (!with_log) error = -err;
  }
  return error;
}

// Loads the walks, the hooks when `hooks`, those on a cgroup only when
// `cgroup_hooks` too, into `kernel`. The error number when the kernel refused.
int Load(TracerKernel& kernel, const Scope& scope, bool hooks, bool cgroup_hooks) {
  if (!MayLoadTracing()) return EPERM;
  const sv_consts consts{scope.netns_cookie, scope.pidns_inum, !cgroup_hooks};
  // A kernel before 6.2 cannot read a file through its address.
  int error = LoadPart(kernel, SV_PART_WALKS_CAST, consts);
  if (error != 0 && error != EPERM) error = LoadPart(kernel, SV_PART_WALKS, consts);
  if (error != 0 || !hooks) return error;
  return LoadPart(kernel, cgroup_hooks ? SV_PART_HOOKS : SV_PART_STATE, consts);
}

// Attaches program `program` of `kernel` (to `target`, a cgroup, when not -1),
// or false with `why` set.
bool Attach(TracerKernel& kernel, sv_program program, bpf_attach_type type, int target, const char* what,
            std::string& why) {
  const int fd = type == BPF_TRACE_RAW_TP ? bpf_raw_tracepoint_open(nullptr, kernel.object.programs[program])
                                          : bpf_link_create(kernel.object.programs[program],
                                                            target < 0 ? 0 : target, type, nullptr);
  if (fd < 0) {
    why = Failure(what, errno);
    return false;
  }
  kernel.links[program].fd = fd;
  return true;
}

bool AttachCgroupHooks(TracerKernel& kernel, const std::string& cgroup_root, std::string& why) {
  const int cgroup = open(cgroup_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (cgroup < 0) {
    why = Failure(("opening " + cgroup_root).c_str(), errno);
    return false;
  }
  const bool attached =
      Attach(kernel, SV_PROG_CONNECT4, BPF_CGROUP_INET4_CONNECT, cgroup, "attaching to connects", why) &&
      Attach(kernel, SV_PROG_CONNECT6, BPF_CGROUP_INET6_CONNECT, cgroup, "attaching to connects", why) &&
      Attach(kernel, SV_PROG_RELEASE, BPF_CGROUP_INET_SOCK_RELEASE, cgroup, "attaching to socket releases",
             why);
  close(cgroup);
  return attached;
}

// Both or neither: a failure only leaves the tables to the socket dumps.
void AttachTableIterators(TracerKernel& kernel) {
  std::string why;
  if (Attach(kernel, SV_PROG_TCP_TABLE, BPF_TRACE_ITER, -1, "", why) &&
      Attach(kernel, SV_PROG_UDP_TABLE, BPF_TRACE_ITER, -1, "", why)) {
    return;
  }
  for (const sv_program program : {SV_PROG_TCP_TABLE, SV_PROG_UDP_TABLE}) {
    if (kernel.links[program].fd >= 0) close(kernel.links[program].fd);
    kernel.links[program].fd = -1;
  }
}

using KernelPtr = std::unique_ptr<TracerKernel, TracerKernelDeleter>;

// Loads and attaches the walks and, with `hooks`, the hooks, those on a cgroup
// at `cgroup_root` unless it is empty. Null with `why` set otherwise.
KernelPtr BringUp(const Scope& scope, bool hooks, const std::string& cgroup_root, std::string& why) {
  KernelPtr kernel(new TracerKernel);
  kernel->own_pid_namespace = scope.own_pid_namespace;
  kernel->cpus = libbpf_num_possible_cpus();
  if (kernel->cpus <= 0) {
    why = Failure("counting the CPUs", -kernel->cpus);
    return nullptr;
  }
  if (const int error = Load(*kernel, scope, hooks, !cgroup_root.empty()); error != 0) {
    why = Failure("loading the BPF programs", error, &kernel->log);
    return nullptr;
  }
  if (!Attach(*kernel, SV_PROG_HELD, BPF_TRACE_ITER, -1, "setting up the descriptor walk", why) ||
      !Attach(*kernel, SV_PROG_RAN, BPF_TRACE_ITER, -1, "setting up the task pass", why)) {
    return nullptr;
  }
  // The tables are read by socket dumps where their iterators cannot load.
  const sv_consts consts{scope.netns_cookie, scope.pidns_inum, cgroup_root.empty()};
  if (LoadPart(*kernel, SV_PART_TABLES, consts) == 0) AttachTableIterators(*kernel);
  if (!hooks) return kernel;
  if (!Attach(*kernel, SV_PROG_TCP_STATE, BPF_TRACE_RAW_TP, -1, "attaching to TCP state changes", why) ||
      (!cgroup_root.empty() && !AttachCgroupHooks(*kernel, cgroup_root, why))) {
    return nullptr;
  }
  kernel->ring = ring_buffer__new(kernel->object.records_map, OnRecord, kernel.get(), nullptr);
  if (kernel->ring == nullptr) {
    why = Failure("opening the ring buffer", errno);
    return nullptr;
  }
  return kernel;
}

}  // namespace

namespace {

bool Start(Tracer& tracer, const std::string& proc_root, bool hooks, std::string& why) {
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
  Scope scope;
  if (!NetnsCookie(scope.netns_cookie, why) ||
      !ProcPidNamespace(proc_root, scope.pidns_inum, scope.own_pid_namespace, why)) {
    return false;
  }
  libbpf_set_print(Silent);

  // Connects of datagram sockets and the final release are seen only from a
  // cgroup; without those hooks a TCP connect is seen from its state change.
  std::string missing;
  std::string cgroup_root;
  if (hooks) {
    if (!MayLoadCgroupHooks()) {
      missing = "not permitted: they need CAP_NET_ADMIN";
    } else if ((cgroup_root = CgroupRoot()).empty()) {
      missing = "no cgroup2 file system mounted";
    } else {
      tracer.kernel = BringUp(scope, true, cgroup_root, missing);
    }
  }
  if (tracer.kernel == nullptr) {
    tracer.kernel = BringUp(scope, hooks, "", why);
    if (tracer.kernel == nullptr) return false;
  }
  GiveUpLoadingRights();
  why = missing.empty() ? "" : "without the connect and release hooks: " + missing;
  return true;
}

}  // namespace

bool StartTracer(Tracer& tracer, const std::string& proc_root, bool hooks, std::string& why) {
  if (tracer.kernel != nullptr) return true;
  // libbpf opens descriptors of its own: a closed standard stream must not
  // become one of them, or our writes would go to a BPF object, not fail.
  std::vector<int> held;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder >= 0) held.push_back(placeholder);
  }
  const bool started = Start(tracer, proc_root, hooks, why);
  for (const int fd : held) close(fd);
  return started;
}

bool TracerActive(const Tracer& tracer) {
  return tracer.kernel != nullptr;
}

void DrainTracer(Tracer& tracer, std::vector<TracedSocket>& out, uint64_t& lost) {
  TracerKernel* kernel = tracer.kernel.get();
  if (kernel == nullptr || kernel->ring == nullptr) return;
  kernel->sink = &out;
  ring_buffer__consume(kernel->ring);
  kernel->sink = nullptr;
  const uint64_t kernel_lost = KernelLost(*kernel);
  lost += kernel_lost - kernel->lost_seen + kernel->malformed;
  kernel->lost_seen = kernel_lost;
  kernel->malformed = 0;
}

namespace {

// Runs the iterator behind `link` to its end, handing every stretch of its
// output to `decode`, which takes the whole entries at its start and says
// how many bytes they were.
template <typename Decode>
bool ReadIterator(TracerKernel& kernel, int link_fd, const char* what, Decode decode, std::string& why) {
  const int fd = bpf_iter_create(link_fd);
  if (fd < 0) {
    why = Failure(what, errno);
    return false;
  }
  std::vector<uint8_t>& buffer = kernel.walk_buffer;
  std::size_t held = 0;  // bytes of an entry cut by the last read
  bool ok = true;
  for (;;) {
    if (buffer.size() < held + kWalkRead) buffer.resize(held + kWalkRead);
    const ssize_t got = read(fd, buffer.data() + held, kWalkRead);
    if (got < 0) {
      // EAGAIN: the kernel stopped after a great many objects without output.
      if (errno == EINTR || errno == EAGAIN) continue;
      why = Failure(what, errno);
      ok = false;
      break;
    }
    if (got == 0) break;
    held += static_cast<std::size_t>(got);
    std::size_t used = 0;
    if (!decode(buffer.data(), held, used)) {
      why = std::string(what) + ": a malformed entry";
      ok = false;
      break;
    }
    std::memmove(buffer.data(), buffer.data() + used, held - used);
    held -= used;
  }
  close(fd);
  if (ok && held != 0) {
    why = std::string(what) + ": it ended inside an entry";
    ok = false;
  }
  return ok;
}

bool Walk(TracerKernel& kernel, int link_fd, HeldSockets& out, std::string& why) {
  out.sockets.clear();
  out.names.clear();
  *kernel.object.globals.named_tgid = 0;
  *kernel.object.globals.walk_task = 0;
  return ReadIterator(
      kernel, link_fd, "the descriptor walk",
      [&out](const uint8_t* data, std::size_t size, std::size_t& used) {
        return DecodeHeldSockets(data, size, out, used);
      },
      why);
}

}  // namespace

bool WalkHeldSockets(Tracer& tracer, HeldSockets& out, std::string& why) {
  TracerKernel* kernel = tracer.kernel.get();
  if (kernel == nullptr) {
    out = HeldSockets{};
    why = "the tracer is off";
    return false;
  }
  return Walk(*kernel, kernel->links[SV_PROG_HELD].fd, out, why);
}

bool ListTaskRuns(Tracer& tracer, std::vector<TaskRun>& out, std::string& why) {
  out.clear();
  TracerKernel* kernel = tracer.kernel.get();
  if (kernel == nullptr) {
    why = "the tracer is off";
    return false;
  }
  return ReadIterator(
      *kernel, kernel->links[SV_PROG_RAN].fd, "the task pass",
      [&out](const uint8_t* data, std::size_t size, std::size_t& used) {
        return DecodeTaskRuns(data, size, out, used);
      },
      why);
}

bool TracerWalksOneProcess(const Tracer& tracer) {
  return tracer.kernel != nullptr && tracer.kernel->own_pid_namespace;
}

bool WalkProcess(Tracer& tracer, uint32_t pid, HeldSockets& out, std::string& why) {
  TracerKernel* kernel = tracer.kernel.get();
  if (kernel == nullptr || !kernel->own_pid_namespace) {
    out = HeldSockets{};
    why = "the tracer cannot walk one process here";
    return false;
  }
  union bpf_iter_link_info info;
  std::memset(&info, 0, sizeof info);
  info.task.pid = pid;
  LIBBPF_OPTS(bpf_link_create_opts, options, .iter_info = &info, .iter_info_len = sizeof info);
  const Link link(bpf_link_create(kernel->object.programs[SV_PROG_HELD], 0, BPF_TRACE_ITER, &options));
  if (link.fd < 0) {
    out = HeldSockets{};
    // The process has gone: it holds nothing.
    if (errno == ESRCH) return true;
    why = Failure("setting up the walk of one process", errno);
    return false;
  }
  return Walk(*kernel, link.fd, out, why);
}

bool TracerReadsTables(const Tracer& tracer) {
  return tracer.kernel != nullptr && tracer.kernel->links[SV_PROG_TCP_TABLE].fd >= 0;
}

namespace {

// Whole records from the start of `data`, into rows; false for one that no
// kernel of ours writes.
bool DecodeTableSockets(const uint8_t* data, std::size_t size, std::vector<RawSocket>& out,
                        std::size_t& used) {
  used = size - size % sizeof(sv_table_socket);
  for (std::size_t at = 0; at < used; at += sizeof(sv_table_socket)) {
    sv_table_socket record;
    std::memcpy(&record, data + at, sizeof record);
    if ((record.family != SV_FAMILY_INET && record.family != SV_FAMILY_INET6) ||
        (record.protocol != kProtoTcp && record.protocol != kProtoUdp)) {
      return false;
    }
    RawSocket& raw = out.emplace_back();
    raw.ipv6 = record.family == SV_FAMILY_INET6;
    std::memcpy(raw.src.data(), record.src, raw.ipv6 ? 16 : 4);
    std::memcpy(raw.dst.data(), record.dst, raw.ipv6 ? 16 : 4);
    raw.inode = record.inode;
    raw.uid = record.uid;
    raw.cookie = record.cookie;
    raw.src_port = record.src_port;
    raw.dst_port = record.dst_port;
    raw.protocol = record.protocol;
    raw.state = record.state;
  }
  return true;
}

}  // namespace

bool ReadTableIterators(Tracer& tracer, const sv_table_filter& filter, bool tcp, bool udp,
                        std::vector<RawSocket>& out, std::string& why) {
  if (!TracerReadsTables(tracer)) {
    why = "the tracer reads no tables";
    return false;
  }
  TracerKernel& kernel = *tracer.kernel;
  *kernel.object.globals.table_filter = filter;
  const std::size_t mark = out.size();
  const auto decode = [&out](const uint8_t* data, std::size_t size, std::size_t& used) {
    return DecodeTableSockets(data, size, out, used);
  };
  const bool ok =
      (!tcp || ReadIterator(kernel, kernel.links[SV_PROG_TCP_TABLE].fd, "the TCP table", decode, why)) &&
      (!udp || ReadIterator(kernel, kernel.links[SV_PROG_UDP_TABLE].fd, "the UDP table", decode, why));
  if (!ok) out.resize(mark);
  return ok;
}

}  // namespace sockvane::source
