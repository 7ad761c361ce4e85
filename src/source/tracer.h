// Owners as the kernel knows them, where the build has the BPF programs and
// the host lets this process load them: records of the moments a process
// connects a socket, closes it or lets it go, and on demand a list of every
// socket descriptor of every process. Where they cannot load, the tracer is
// simply absent.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "source/bpf/owners_record.h"

namespace sockvane::source {

// What a record tells of its socket.
enum class TraceKind : uint8_t {
  kConnect = 1,  // its process began a connect; no source address yet
  kState = 2,    // a TCP state change; made by its owner when `pid` is not 0
  kRelease = 3,  // its process let go of its last descriptor; no addresses
};

// Addresses in network byte order (IPv4 in the first four bytes), ports in
// host order, as the socket table's own rows.
struct TracedSocket {
  std::array<uint8_t, 16> src{};
  std::array<uint8_t, 16> dst{};
  uint64_t cookie = 0;   // the kernel's socket cookie
  uint64_t when_ns = 0;  // CLOCK_MONOTONIC
  uint32_t pid = 0;      // thread group, as /proc numbers it; 0 for none
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  uint8_t protocol = 0;   // IPPROTO_TCP or IPPROTO_UDP
  uint8_t state = 0;      // Linux TCP state numbering; 0 for datagram sockets
  uint8_t old_state = 0;  // the state a kState record leaves
  TraceKind kind = TraceKind::kConnect;
  bool ipv6 = false;
  std::string name;  // file name of the owner's image; "" when not read
};

// One socket descriptor of a process.
struct HeldSocket {
  uint64_t inode = 0;
  uint32_t pid = 0;  // as /proc numbers it
  uint32_t fd = 0;
};

// One walk over every process's descriptors: each TCP and UDP socket
// descriptor in the network namespace watched, and the image names of the
// processes holding them ("" when the kernel had none: the process is exiting).
// With each process's fingerprint of what the walk saw of its descriptor
// tables (see TaskRun), 0 for a process with none.
struct HeldSockets {
  std::vector<HeldSocket> sockets;
  std::unordered_map<uint32_t, std::string> names;
  std::unordered_map<uint32_t, uint64_t> prints;
};

// How a pass took a thread's descriptor table.
enum class TablePrint : uint8_t {
  kShared,   // its process's main thread's table: counted there
  kPrinted,  // `print` is its fingerprint
  kUnknown,  // too large to take, or unreadable
};

// One thread, from a pass over every task. A table's fingerprint sums a mix
// of each open descriptor's number, file and inode number: any table a
// process's threads use differently sums differently (but for a 2^-64
// chance), and the walk sums what it visits the same way.
struct TaskRun {
  uint64_t run_ns = 0;  // how long it has run
  uint64_t files = 0;   // its descriptor table: equal for threads and processes that share one
  uint32_t pid = 0;     // its process, as /proc numbers it
  uint32_t tid = 0;     // the kernel's number of the thread: an identity within the pass
  uint64_t print = 0;
  TablePrint table = TablePrint::kPrinted;
};

// The loaded programs and what reading them needs; defined by the build that
// has them.
struct TracerKernel;
struct TracerKernelDeleter {
  void operator()(TracerKernel* kernel) const;
};

// Unloaded when it goes (the kernel also unloads everything when the process
// ends, however it ends).
struct Tracer {
  std::unique_ptr<TracerKernel, TracerKernelDeleter> kernel;
};

// Loads the tracer when this build has it and the process may load BPF,
// numbering processes as `proc_root` (a mounted /proc) does: the walks, and
// with `hooks` the hooks too. False, with the reason in `why` and nothing left
// loaded, otherwise. True with `why` not empty when part of it could not
// load: what is missing.
bool StartTracer(Tracer& tracer, const std::string& proc_root, bool hooks, std::string& why);

bool TracerActive(const Tracer& tracer);

// Appends what the hooks recorded since the last call; never blocks. `lost`
// grows by the records the kernel could not hand over.
void DrainTracer(Tracer& tracer, std::vector<TracedSocket>& out, uint64_t& lost);

// One walk; replaces what `out` held. False, with the reason in `why`, when it
// failed: `out` is then incomplete and must not be used.
bool WalkHeldSockets(Tracer& tracer, HeldSockets& out, std::string& why);

// One pass over every thread of every process /proc shows; replaces `out`.
// False, with the reason in `why`, when it failed.
bool ListTaskRuns(Tracer& tracer, std::vector<TaskRun>& out, std::string& why);

// Whether WalkProcess may be used: the kernel takes a PID in our own PID
// namespace, which must be the one /proc shows.
bool TracerWalksOneProcess(const Tracer& tracer);

// The walk over the descriptor tables of one process (of all its threads);
// replaces `out`. True with nothing found when the process has gone.
bool WalkProcess(Tracer& tracer, uint32_t pid, HeldSockets& out, std::string& why);

struct RawSocket;  // socket_table_linux.h

// Whether ReadTableIterators may be used: the tracer runs and its table
// iterators loaded.
bool TracerReadsTables(const Tracer& tracer);

// The TCP and UDP tables (each when `tcp`, `udp`) from the tracer's
// iterators, less what `filter` leaves out in the kernel; appends. False,
// with the reason in `why` and nothing appended, when a read failed.
bool ReadTableIterators(Tracer& tracer, const sv_table_filter& filter, bool tcp, bool udp,
                        std::vector<RawSocket>& out, std::string& why);

}  // namespace sockvane::source
