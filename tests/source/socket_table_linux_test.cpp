#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "source/dump_filter_linux.h"
#include "source/naming.h"
#include "source/source_linux.h"
#include "support/text_rows.h"

namespace sockvane::source {
namespace {

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int value) : fd(value) {}
  Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd, other.fd);
    return *this;
  }
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

uint16_t LocalPort(int fd) {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

// A bound socket of `type` on `host`, port chosen by the kernel; fd -1 when unavailable.
Fd Bound(int family, int type, const char* host) {
  Fd fd(socket(family, type | SOCK_CLOEXEC, 0));
  if (fd.fd < 0) return fd;
  sockaddr_storage address{};
  socklen_t size;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    inet_pton(AF_INET6, host, &a->sin6_addr);
    int off = 0;
    setsockopt(fd.fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    inet_pton(AF_INET, host, &a->sin_addr);
    size = sizeof *a;
  }
  if (bind(fd.fd, reinterpret_cast<sockaddr*>(&address), size) != 0) return Fd();
  return fd;
}

bool ConnectTo(int fd, int family, const char* host, uint16_t port) {
  sockaddr_storage address{};
  socklen_t size;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    inet_pton(AF_INET6, host, &a->sin6_addr);
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    inet_pton(AF_INET, host, &a->sin_addr);
    size = sizeof *a;
  }
  return connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0;
}

// Listener, client and accepted end of one TCP connection.
struct TcpPair {
  Fd listener, client, server;
  uint16_t listen_port = 0, client_port = 0;
};

bool OpenTcpPair(int listen_family, const char* listen_host, int client_family, const char* client_host,
                 TcpPair& pair) {
  pair.listener = Bound(listen_family, SOCK_STREAM, listen_host);
  if (pair.listener.fd < 0 || listen(pair.listener.fd, 4) != 0) return false;
  pair.listen_port = LocalPort(pair.listener.fd);
  pair.client = Fd(socket(client_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!ConnectTo(pair.client.fd, client_family, client_host, pair.listen_port)) return false;
  pair.client_port = LocalPort(pair.client.fd);
  pair.server = Fd(accept4(pair.listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
  return pair.server.fd >= 0;
}

std::vector<testing::TextRow> ReadAll(LinuxSource& source, bool* ok = nullptr) {
  std::vector<testing::TextRow> rows;
  const auto keep = [&](track::TConn&& row) { rows.push_back(testing::TextsOfRow(row)); };
  bool result = source.ReadTcpTable(keep, nullptr);
  if (ok != nullptr) *ok = result;
  return rows;
}

std::vector<testing::TextRow> RowsWith(const std::vector<testing::TextRow>& rows, const std::string& proto,
                                       uint16_t src_port, uint16_t dst_port) {
  std::vector<testing::TextRow> found;
  for (const auto& row : rows) {
    if (row.proto == proto && row.src_port == src_port && row.dst_port == dst_port) found.push_back(row);
  }
  return found;
}

std::string SelfName() {
  char path[4096];
  ssize_t size = readlink("/proc/self/exe", path, sizeof path);
  return size > 0 ? ProcessNameFromExeLink(std::string_view(path, static_cast<std::size_t>(size))) : "";
}

std::string SelfPid() {
  return std::to_string(getpid());
}

void ExpectRow(const std::vector<testing::TextRow>& rows, const std::string& proto, const std::string& src_ip,
               uint16_t src_port, const std::string& dst_ip, uint16_t dst_port, const std::string& state,
               const std::string& pid, const std::string& process) {
  std::vector<testing::TextRow> found = RowsWith(rows, proto, src_port, dst_port);
  ASSERT_EQ(found.size(), 1u) << proto << " " << src_port << " -> " << dst_port;
  EXPECT_EQ(found[0].src_ip, src_ip);
  EXPECT_EQ(found[0].dst_ip, dst_ip);
  EXPECT_EQ(found[0].state, state);
  EXPECT_EQ(found[0].pid, pid);
  EXPECT_EQ(found[0].process, process);
}

class SocketTable : public ::testing::Test {
 protected:
  // Every socket, listeners and all, as on a kernel that refuses the dump filter.
  void SetUp() override { source_.reads.kernel_filter = false; }
  LinuxSource source_;
};

TEST_F(SocketTable, Ipv4ConnectionBothEndsAndListener) {
  TcpPair pair;
  ASSERT_TRUE(OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair));
  bool ok = false;
  auto rows = ReadAll(source_, &ok);
  ASSERT_TRUE(ok);
  const std::string pid = SelfPid(), name = SelfName();
  ExpectRow(rows, "TCP", "127.0.0.1", pair.client_port, "127.0.0.1", pair.listen_port, "ESTABLISHED", pid,
            name);
  ExpectRow(rows, "TCP", "127.0.0.1", pair.listen_port, "127.0.0.1", pair.client_port, "ESTABLISHED", pid,
            name);
  ExpectRow(rows, "TCP", "127.0.0.1", pair.listen_port, "0.0.0.0", 0, "LISTEN", pid, name);
  // The kernel leaves out what no filter can want: a socket without a peer.
  LinuxSource filtered;
  rows = ReadAll(filtered, &ok);
  ASSERT_TRUE(ok);
  ExpectRow(rows, "TCP", "127.0.0.1", pair.client_port, "127.0.0.1", pair.listen_port, "ESTABLISHED", pid,
            name);
  EXPECT_TRUE(RowsWith(rows, "TCP", pair.listen_port, 0).empty());
}

TEST_F(SocketTable, Ipv6LoopbackAndMappedAddresses) {
  TcpPair v6;
  if (!OpenTcpPair(AF_INET6, "::1", AF_INET6, "::1", v6)) GTEST_SKIP() << "no IPv6 loopback";
  TcpPair dual;  // IPv4 client to a dual-stack listener: the server end is an IPv6 socket
  ASSERT_TRUE(OpenTcpPair(AF_INET6, "::", AF_INET, "127.0.0.1", dual));
  auto rows = ReadAll(source_);
  const std::string pid = SelfPid(), name = SelfName();
  ExpectRow(rows, "TCP", "::1", v6.client_port, "::1", v6.listen_port, "ESTABLISHED", pid, name);
  ExpectRow(rows, "TCP", "::1", v6.listen_port, "::", 0, "LISTEN", pid, name);
  ExpectRow(rows, "TCP", "127.0.0.1", dual.listen_port, "127.0.0.1", dual.client_port, "ESTABLISHED", pid,
            name);
  ExpectRow(rows, "TCP", "::", dual.listen_port, "::", 0, "LISTEN", pid, name);
}

TEST_F(SocketTable, UdpConnectedAndUnconnected) {
  Fd a = Bound(AF_INET, SOCK_DGRAM, "127.0.0.1");
  Fd b = Bound(AF_INET, SOCK_DGRAM, "127.0.0.1");
  Fd lone = Bound(AF_INET, SOCK_DGRAM, "127.0.0.1");
  ASSERT_TRUE(a.fd >= 0 && b.fd >= 0 && lone.fd >= 0);
  uint16_t pa = LocalPort(a.fd), pb = LocalPort(b.fd), pl = LocalPort(lone.fd);
  ASSERT_TRUE(ConnectTo(a.fd, AF_INET, "127.0.0.1", pb));
  ASSERT_TRUE(ConnectTo(b.fd, AF_INET, "127.0.0.1", pa));
  auto rows = ReadAll(source_);
  const std::string pid = SelfPid(), name = SelfName();
  ExpectRow(rows, "UDP", "127.0.0.1", pa, "127.0.0.1", pb, "ESTABLISHED", pid, name);
  ExpectRow(rows, "UDP", "127.0.0.1", pb, "127.0.0.1", pa, "ESTABLISHED", pid, name);
  ExpectRow(rows, "UDP", "127.0.0.1", pl, "0.0.0.0", 0, "1", pid, name);

  Fd v6a = Bound(AF_INET6, SOCK_DGRAM, "::1");
  Fd v6b = Bound(AF_INET6, SOCK_DGRAM, "::1");
  if (v6a.fd < 0 || v6b.fd < 0) return;
  uint16_t p6a = LocalPort(v6a.fd), p6b = LocalPort(v6b.fd);
  ASSERT_TRUE(ConnectTo(v6a.fd, AF_INET6, "::1", p6b));
  rows = ReadAll(source_);
  ExpectRow(rows, "UDP", "::1", p6a, "::1", p6b, "ESTABLISHED", pid, name);
}

using RowTuple = std::tuple<std::string, std::string, std::string, std::string, uint16_t, std::string,
                            uint16_t, std::string>;

std::vector<RowTuple> OwnRows(const std::vector<testing::TextRow>& rows, const std::vector<uint16_t>& ports) {
  std::vector<RowTuple> own;
  for (const auto& r : rows) {
    if (r.pid != SelfPid() || std::find(ports.begin(), ports.end(), r.src_port) == ports.end()) continue;
    own.emplace_back(r.proto, r.pid, r.process, r.src_ip, r.src_port, r.dst_ip, r.dst_port, r.state);
  }
  std::sort(own.begin(), own.end());
  return own;
}

TEST_F(SocketTable, ProcFallbackGivesTheSameRows) {
  TcpPair v4, v6;
  ASSERT_TRUE(OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", v4));
  bool have_v6 = OpenTcpPair(AF_INET6, "::1", AF_INET6, "::1", v6);
  Fd u = Bound(AF_INET, SOCK_DGRAM, "127.0.0.1");
  Fd half = Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // one end closed: FIN_WAIT2 / CLOSE_WAIT
  ASSERT_TRUE(ConnectTo(half.fd, AF_INET, "127.0.0.1", v4.listen_port));
  uint16_t half_port = LocalPort(half.fd);
  Fd half_server(accept4(v4.listener.fd, nullptr, nullptr, SOCK_CLOEXEC));
  shutdown(half.fd, SHUT_WR);

  std::vector<uint16_t> ports = {v4.listen_port, v4.client_port, LocalPort(u.fd), half_port};
  if (have_v6) ports.insert(ports.end(), {v6.listen_port, v6.client_port});

  // The peer's ACK of our FIN may still be on its way: wait for FIN_WAIT2.
  for (int i = 0; i < 200; ++i) {
    auto rows = RowsWith(ReadAll(source_), "TCP", half_port, v4.listen_port);
    if (rows.size() == 1 && rows[0].state == "FIN_WAIT2") break;
    usleep(10000);
  }
  bool ok_netlink = false, ok_proc = false;
  auto by_netlink = OwnRows(ReadAll(source_, &ok_netlink), ports);
  LinuxSource proc_only;
  proc_only.reads.path = TablePath::kProcOnly;
  auto by_proc = OwnRows(ReadAll(proc_only, &ok_proc), ports);
  ASSERT_TRUE(ok_netlink && ok_proc);
  EXPECT_EQ(by_netlink, by_proc);
  EXPECT_EQ(by_netlink.size(), have_v6 ? 9u : 6u) << ::testing::PrintToString(by_netlink);
  auto has_state = [&](const char* state) {
    return std::any_of(by_proc.begin(), by_proc.end(),
                       [&](const RowTuple& r) { return std::get<7>(r) == state; });
  };
  EXPECT_TRUE(has_state("FIN_WAIT2"));
  EXPECT_TRUE(has_state("CLOSE_WAIT"));
}

// Runs `body` in a child process; its result text ("" for success) comes back over a pipe.
std::string InChild(const std::function<std::string()>& body) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return "pipe failed";
  pid_t child = fork();
  if (child == 0) {
    close(pipe_fds[0]);
    std::string result = body();
    if (write(pipe_fds[1], result.data(), result.size()) < 0) _exit(2);
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string result;
  char buf[512];
  for (ssize_t got; (got = read(pipe_fds[0], buf, sizeof buf)) > 0;)
    result.append(buf, static_cast<std::size_t>(got));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed: " + result;
  return result;
}

// A child that holds its inherited fds until the write end of `release` is closed.
pid_t Holder(const int release[2]) {
  pid_t child = fork();
  if (child == 0) {
    close(release[1]);
    alarm(60);  // never outlive a test that failed halfway
    char byte;
    while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  return child;
}

TEST_F(SocketTable, SharedSocketBelongsToLowestLivingPid) {
  TcpPair pair;
  ASSERT_TRUE(OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair));
  int release[2];
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  pid_t first = Holder(release);
  pid_t second = Holder(release);
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  pair.client = Fd();  // now only the two children hold the client end
  std::string lower = std::to_string(std::min(first, second)),
              higher = std::to_string(std::max(first, second));

  auto rows = RowsWith(ReadAll(source_), "TCP", pair.client_port, pair.listen_port);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].pid, lower);
  EXPECT_EQ(rows[0].process, SelfName());

  // The owner leaves while the socket lives on: the next read finds the other holder.
  kill(std::min(first, second), SIGKILL);
  waitpid(std::min(first, second), nullptr, 0);
  rows = RowsWith(ReadAll(source_), "TCP", pair.client_port, pair.listen_port);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].pid, higher);

  close(release[1]);
  close(release[0]);
  waitpid(std::max(first, second), nullptr, 0);
  rows = RowsWith(ReadAll(source_), "TCP", pair.client_port, pair.listen_port);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].pid, "0");
  EXPECT_EQ(rows[0].process, "unknown");
}

// One read of the tables with owners from `search`, at `now_ms`.
struct OwnedRead {
  bool ok = false;
  std::vector<RawSocket> raws;
  std::vector<uint32_t> pids;
  // Owner of the row from `src_port` to `dst_port`, or "missing".
  std::string OwnerOf(uint16_t src_port, uint16_t dst_port) const {
    for (std::size_t i = 0; i < raws.size(); ++i) {
      if (raws[i].src_port == src_port && raws[i].dst_port == dst_port) return std::to_string(pids[i]);
    }
    return "missing";
  }
};

OwnedRead ReadOwners(OwnerSearch& search, int64_t now_ms) {
  OwnedRead read;
  TableReads reads;
  read.ok = ReadSocketTables(reads, TupleFilter{}, read.raws);
  JoinOwners(read.raws, FindOwners(search, read.raws, now_ms), read.pids);
  return read;
}

// Owner of the client end after one read at `now_ms`, or "missing".
std::string OwnerAt(OwnerSearch& search, const TcpPair& pair, int64_t now_ms) {
  return ReadOwners(search, now_ms).OwnerOf(pair.client_port, pair.listen_port);
}

TEST_F(SocketTable, HandOffsShowAtTheNextRead) {
  TcpPair pair;
  ASSERT_TRUE(OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair));
  int release[2];
  ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
  pid_t holder = Holder(release);
  ASSERT_GT(holder, 0);
  OwnerSearch search;
  int64_t now_ms = 1000000;
  EXPECT_EQ(OwnerAt(search, pair, now_ms), SelfPid());  // both hold it: the lower PID
  EXPECT_EQ(OwnerAt(search, pair, now_ms += 500), SelfPid());
  pair.client = Fd();  // the owner lets go and lives on
  EXPECT_EQ(OwnerAt(search, pair, now_ms += 500), std::to_string(holder));
  // The holder sleeps: it is not read again (but at its backstop), and stays the owner.
  const uint64_t read_at = search.processes.at(holder).read_at;
  EXPECT_EQ(OwnerAt(search, pair, now_ms += 500), std::to_string(holder));
  if (!BackstopDue(search.poll, holder)) {
    EXPECT_EQ(search.processes.at(holder).read_at, read_at);
  }
  close(release[1]);
  close(release[0]);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(OwnerAt(search, pair, now_ms += 500), "0");
}

// Descriptors of every process this one may read: what a full search costs.
uint64_t ReadableDescriptors() {
  uint64_t total = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    DIR* fds = opendir(("/proc/" + std::string(entry->d_name) + "/fd").c_str());
    if (fds == nullptr) continue;
    while (readdir(fds) != nullptr) ++total;
    closedir(fds);
  }
  closedir(proc);
  return total;
}

TEST_F(SocketTable, LowerPidWithALargeTableWinsWithinTheBound) {
  std::string result = InChild([]() -> std::string {
    // This process, below its holder child in PID order, holds thousands of
    // descriptors: no read may spend more than its budget, and the socket,
    // first seen in the child perhaps, ends here within the stated bound.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return "no limit";
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 13000);
    if (limit.rlim_cur < 8000 || setrlimit(RLIMIT_NOFILE, &limit) != 0) return "";  // cannot hold enough
    Fd null(open("/dev/null", O_RDONLY | O_CLOEXEC));
    std::vector<Fd> hoard;
    for (rlim_t i = 0; i + 100 < limit.rlim_cur; ++i) hoard.emplace_back(fcntl(null.fd, F_DUPFD_CLOEXEC, 0));
    if (hoard.back().fd < 0) return "could not hoard";
    // Copies of this table that keep running are read again at every poll,
    // as on a hostile host: no read has budget to spare.
    int busy_release[2];
    if (pipe2(busy_release, O_CLOEXEC) != 0) return "no pipe";
    std::vector<pid_t> busy;
    for (int i = 0; i < 8; ++i) {
      const pid_t copy = fork();
      if (copy == 0) {
        close(busy_release[1]);
        alarm(60);
        pollfd wait{busy_release[0], POLLIN, 0};
        while (poll(&wait, 1, 20) <= 0) {  // awake every 20 ms until released
        }
        _exit(0);
      }
      if (copy > 0) busy.push_back(copy);
    }
    close(busy_release[0]);
    OwnerSearch search;
    int64_t now_ms = 1000;
    ReadOwners(search, now_ms);  // the first read has no budget; the socket comes after it
    for (int i = 0; i < 30; ++i) ReadOwners(search, now_ms += 100);
    TcpPair pair;
    if (!OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair)) return "no connection";
    // The holder lets the hoard go: a small table, read first.
    int release[2], ready[2];
    if (pipe2(release, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) return "no pipe";
    const pid_t holder = fork();
    if (holder == 0) {
      hoard.clear();
      close(release[1]);
      close(ready[0]);
      close(ready[1]);
      alarm(60);
      char byte;
      while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
      }
      _exit(0);
    }
    close(ready[1]);
    char byte;
    while (read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    const std::string self = std::to_string(getpid());
    // Every table due gets half a budget a read, oldest first: each is read
    // through within 2F/B reads, F all of them.
    const uint64_t budget = LinkBudget(100, 0);
    const uint64_t total = ReadableDescriptors() * 5 / 4 + 1000;  // others come and go
    const uint64_t bound = 2 + 2 * ((2 * total + budget - 1) / budget);
    std::string failure = "not here within " + std::to_string(bound) + " reads";
    for (uint64_t read = 1; read <= bound; ++read) {
      const uint64_t links = search.links;
      const uint64_t allowed = LinkBudget(100, search.spent_ms);
      const std::string owner = OwnerAt(search, pair, now_ms += 100);
      if (search.links - links > allowed) {
        failure = "read " + std::to_string(read) + " spent " + std::to_string(search.links - links);
        break;
      }
      if (owner != self && owner != std::to_string(holder) && owner != "0") {
        failure = "owner " + owner + " holds nothing";
        break;
      }
      if (owner == self) {
        failure.clear();
        for (int more = 0; more < 3 && failure.empty(); ++more) {
          if (OwnerAt(search, pair, now_ms += 100) != self)
            failure = "wavered after read " + std::to_string(read);
        }
        break;
      }
    }
    close(release[1]);
    waitpid(holder, nullptr, 0);
    close(busy_release[1]);
    for (pid_t copy : busy) waitpid(copy, nullptr, 0);
    return failure;
  });
  EXPECT_EQ(result, "");
}

TEST_F(SocketTable, UnprivilegedReaderSeesRootSocketsWithoutOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TcpPair pair;
  ASSERT_TRUE(OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair));
  std::string result = InChild([&]() -> std::string {
    // The child must not hold root's sockets itself, nor start with root's owners.
    pair.listener = Fd();
    pair.client = Fd();
    pair.server = Fd();
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return "cannot drop rights";
    bool ok = false;
    LinuxSource source;
    auto rows = ReadAll(source, &ok);
    if (!ok) return "read failed";
    auto found = RowsWith(rows, "TCP", pair.client_port, pair.listen_port);
    if (found.size() != 1) return "row missing";
    if (found[0].pid != "0" || found[0].process != "unknown")
      return "owner " + found[0].pid + " " + found[0].process;
    if (found[0].state != "ESTABLISHED") return "state " + found[0].state;
    return "";
  });
  EXPECT_EQ(result, "");
}

bool LoopbackUp() {
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(fd.fd, SIOCGIFFLAGS, &request) != 0) return false;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  return ioctl(fd.fd, SIOCSIFFLAGS, &request) == 0;
}

TEST_F(SocketTable, WantedRowsOnlyAndOwnersOnlyForThem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  // A network namespace of our own, so that nobody else's sockets come and go.
  std::string result = InChild([]() -> std::string {
    if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) return "no namespace";
    TcpPair pair;
    if (!OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair)) return "no connection";
    LinuxSource source;
    std::vector<testing::TextRow> rows;
    const auto keep = [&](track::TConn&& row) { rows.push_back(testing::TextsOfRow(row)); };
    // The wanted test sees rows before any owner is known.
    bool ownerless = true;
    if (!source.ReadTcpTable(keep, [&](const track::TConn& row) {
          ownerless = ownerless && row.pid == 0 && !row.process;
          return false;
        })) {
      return "read failed";
    }
    if (!ownerless) return "owner filled before the wanted test";
    if (!rows.empty()) return "unwanted rows handed over";
    if (source.owners.poll != 0) return "owners searched for unwanted rows";
    // Only the client end wanted: one row, with its owner.
    const uint16_t port = pair.listen_port;
    if (!source.ReadTcpTable(keep, [port](const track::TConn& row) { return row.dst_port == port; })) {
      return "second read failed";
    }
    if (rows.size() != 1 || rows[0].src_port != pair.client_port) return "wanted row missing";
    if (rows[0].pid != SelfPid() || rows[0].process != SelfName()) return "owner " + rows[0].pid;
    if (source.owners.poll != 1) return "wanted row not searched";
    return "";
  });
  EXPECT_EQ(result, "");
}

TEST_F(SocketTable, UnreadableProcessesAreLeftToTheBackstop) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string result = InChild([]() -> std::string {
    if (unshare(CLONE_NEWNET) != 0 || !LoopbackUp()) return "no namespace";
    TcpPair pair;
    if (!OpenTcpPair(AF_INET, "127.0.0.1", AF_INET, "127.0.0.1", pair)) return "no connection";
    int release[2];
    if (pipe2(release, O_CLOEXEC) != 0) return "no pipe";
    pid_t holder = Holder(release);
    // Only root's holder keeps the sockets; we look on as nobody.
    pair = TcpPair{};
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return "cannot drop rights";
    OwnerSearch search;
    std::string failure;
    for (int read = 1; read <= 4 && failure.empty(); ++read) {
      OwnedRead rows = ReadOwners(search, read * 500);
      if (search.processes.at(holder).readable) failure = "holder read";
      const uint64_t tried = search.processes.at(holder).read_at;
      if (tried != 1 && !BackstopDue(tried, holder))
        failure = "holder tried again at read " + std::to_string(read);
      for (uint32_t pid : rows.pids) {
        if (pid != 0) failure = "owner " + std::to_string(pid);
      }
      if (rows.raws.size() < 2) failure = "rows missing";
    }
    close(release[1]);
    waitpid(holder, nullptr, 0);
    return failure;
  });
  EXPECT_EQ(result, "");
}

// Past 16 ranges or prefixes, a list that keeps is left out whole (the
// kernel would keep too little), one that drops is cut; prefixes as masked
// words in the kernel's byte order.
TEST(TableIteratorFilter, KeepsAtLeastWhatTheFiltersKeep) {
  TupleFilter filter;
  for (uint16_t port = 1; port <= 17; ++port) filter.dropped_ports.push_back({port, port});
  filter.ports = filter.dropped_ports;
  filter.dropped_destinations = {*track::ParseNetwork("10.0.0.0/8")};
  const sv_table_filter table = TableIteratorFilter(filter, true);
  EXPECT_EQ(std::tuple(table.filtered, table.port_count, table.dropped_port_count, table.dropped_count),
            std::tuple(1u, 0u, 16u, 1u));
  const uint8_t ten[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 0};
  EXPECT_EQ(std::memcmp(table.dropped[0].address, ten, 16), 0);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(table.dropped[0].mask)[12], 0xff);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(table.dropped[0].mask)[13], 0);
  filter.ports.resize(16);
  EXPECT_EQ(TableIteratorFilter(filter, true).port_count, 16u);
  EXPECT_EQ(TableIteratorFilter(filter, false).filtered, 0u);
}

}  // namespace
}  // namespace sockvane::source
