// Test driver for the owner tracer: starts it, prints what it drains for the
// given number of seconds, one record per line, then the count of lost ones.
//   sockvane_tracer_probe SECONDS [count]
// With "count" it prints only the totals at the end ("records=N lost=M").
//   sockvane_tracer_probe walk [ROUNDS]
// prints one descriptor walk, a line per socket descriptor ("walk: N" then
// "pid=P fd=F inode=I name=HEX"); with ROUNDS, only the time of that many
// walks and the time of the quickest ("walks=R sockets=N seconds=S").
//   sockvane_tracer_probe tasks ROUNDS | walkpid PID ROUNDS
// time that many passes over every task ("tasks=R threads=N seconds=S"), or
// walks of one process ("walks=R sockets=N seconds=S").
//   sockvane_tracer_probe owners ROUNDS MS
// brings the owners up to date ROUNDS times, MS apart, and prints the median
// time of one round after the first ("owners=R sockets=N seconds=S
// walked=W full=F").
//   sockvane_tracer_probe table
// prints every row of the tables read by the iterators, then by the socket
// dumps, neither filtered: each after a line "--", one row a line.
// The first line is "tracer: active", with what is missing in parentheses,
// or "tracer: off: <reason>". SIGTERM ends it early, after a last drain.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "source/dump_filter_linux.h"
#include "source/naming.h"
#include "source/socket_table_linux.h"
#include "source/tracer.h"
#include "source/walked_owners_linux.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void Stop(int) {
  g_stop = 1;
}

std::string AddressText(const std::array<uint8_t, 16>& address, bool ipv6) {
  if (ipv6) return sockvane::source::Ipv6ToText(address);
  uint32_t v4 = 0;
  std::memcpy(&v4, address.data(), 4);
  return sockvane::source::Ipv4ToText(v4);
}

// Names are any bytes but '/' and NUL: hex keeps the line one line.
std::string Hex(const std::string& text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char ch : text) {
    out += kDigits[ch >> 4];
    out += kDigits[ch & 15];
  }
  return out;
}

int Walk(sockvane::source::Tracer& tracer, int rounds, uint32_t pid = 0) {
  sockvane::source::HeldSockets held;
  std::string why;
  double best = 1e18;
  for (int i = 0; i < std::max(rounds, 1); ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!(pid != 0 ? sockvane::source::WalkProcess(tracer, pid, held, why)
                   : sockvane::source::WalkHeldSockets(tracer, held, why))) {
      std::printf("walk failed: %s\n", why.c_str());
      return 1;
    }
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  if (rounds > 0) {
    std::printf("walks=%d sockets=%zu seconds=%.6f\n", rounds, held.sockets.size(), best);
    return 0;
  }
  std::printf("walk: %zu\n", held.sockets.size());
  for (const auto& s : held.sockets) {
    const auto name = held.names.find(s.pid);
    std::printf("pid=%u fd=%u inode=%llu name=%s\n", s.pid, s.fd, static_cast<unsigned long long>(s.inode),
                name == held.names.end() ? "-" : Hex(name->second).c_str());
  }
  return 0;
}

int Tasks(sockvane::source::Tracer& tracer, int rounds) {
  std::vector<sockvane::source::TaskRun> runs;
  std::string why;
  double best = 1e18;
  for (int i = 0; i < std::max(rounds, 1); ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!sockvane::source::ListTaskRuns(tracer, runs, why)) {
      std::printf("task pass failed: %s\n", why.c_str());
      return 1;
    }
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf("tasks=%d threads=%zu seconds=%.6f\n", rounds, runs.size(), best);
  return 0;
}

int Owners(sockvane::source::Tracer& tracer, int rounds, int ms) {
  sockvane::source::WalkedOwners walked;
  std::string why;
  std::vector<double> took;
  for (int i = 0; i < std::max(rounds, 1); ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!sockvane::source::WalkOwners(tracer, walked, why)) {
      std::printf("owners failed: %s\n", why.c_str());
      return 1;
    }
    took.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  std::sort(took.begin() + 1, took.end());
  const double median = took.size() > 1 ? took[1 + (took.size() - 1) / 2] : took[0];
  std::printf("owners=%d sockets=%zu seconds=%.6f walked=%llu full=%llu\n", rounds, walked.owners.size(),
              median, static_cast<unsigned long long>(walked.walked),
              static_cast<unsigned long long>(walked.full_walks));
  return 0;
}

int Table(sockvane::source::Tracer& tracer) {
  using namespace sockvane::source;
  std::vector<RawSocket> rows[2];
  std::string why = "dump";
  TableReads reads;
  reads.kernel_filter = false;
  if (!ReadTableIterators(tracer, TableIteratorFilter({}, false), true, true, rows[0], why) ||
      !ReadSocketTables(reads, {}, rows[1])) {
    std::printf("table failed: %s\n", why.c_str());
    return 1;
  }
  for (const auto& read : rows) {
    std::printf("--\n");
    for (const RawSocket& r : read) {
      std::printf("%s %s %u %s %u %u %llu %u %llu\n", r.protocol == kProtoUdp ? "udp" : "tcp",
                  AddressText(r.src, r.ipv6).c_str(), r.src_port, AddressText(r.dst, r.ipv6).c_str(),
                  r.dst_port, r.state, static_cast<unsigned long long>(r.inode), r.uid,
                  static_cast<unsigned long long>(r.cookie));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool walk = argc > 1 && std::strcmp(argv[1], "walk") == 0;
  const double seconds = argc > 1 && !walk ? std::atof(argv[1]) : 5.0;
  const bool count_only = argc > 2 && std::strcmp(argv[2], "count") == 0;
  uint64_t total = 0;
  std::string why;
  sockvane::source::Tracer tracer;
  // The walks alone for what needs no hooks, as a single scan does.
  const bool table = argc > 1 && std::strcmp(argv[1], "table") == 0;
  const bool hooks =
      !walk && !table &&
      !(argc > 1 && (std::strcmp(argv[1], "tasks") == 0 || std::strcmp(argv[1], "walkpid") == 0 ||
                     std::strcmp(argv[1], "owners") == 0));
  if (!sockvane::source::StartTracer(tracer, "/proc", hooks, why)) {
    std::printf("tracer: off: %s\n", why.c_str());
    return 0;
  }
  std::printf(why.empty() ? "tracer: active\n" : "tracer: active (%s)\n", why.c_str());
  if (table) return Table(tracer);
  if (walk) return Walk(tracer, argc > 2 ? std::atoi(argv[2]) : 0);
  if (argc > 2 && std::strcmp(argv[1], "tasks") == 0) return Tasks(tracer, std::atoi(argv[2]));
  if (argc > 3 && std::strcmp(argv[1], "owners") == 0)
    return Owners(tracer, std::atoi(argv[2]), std::atoi(argv[3]));
  if (argc > 3 && std::strcmp(argv[1], "walkpid") == 0) {
    return Walk(tracer, std::atoi(argv[3]), static_cast<uint32_t>(std::atoi(argv[2])));
  }
  std::signal(SIGTERM, Stop);
  std::signal(SIGINT, Stop);
  std::fflush(stdout);
  uint64_t lost = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  std::vector<sockvane::source::TracedSocket> records;
  while (true) {
    const bool last = g_stop != 0 || std::chrono::steady_clock::now() >= end;
    records.clear();
    sockvane::source::DrainTracer(tracer, records, lost);
    total += records.size();
    if (count_only) records.clear();
    for (const auto& r : records) {
      std::printf(
          "kind=%u proto=%u pid=%u state=%u old=%u v6=%d src=%s sport=%u dst=%s dport=%u cookie=%llu "
          "when=%llu "
          "name=%s\n",
          static_cast<unsigned>(r.kind), r.protocol, r.pid, r.state, r.old_state, r.ipv6 ? 1 : 0,
          AddressText(r.src, r.ipv6).c_str(), r.src_port, AddressText(r.dst, r.ipv6).c_str(), r.dst_port,
          static_cast<unsigned long long>(r.cookie), static_cast<unsigned long long>(r.when_ns),
          Hex(r.name).c_str());
    }
    std::fflush(stdout);
    if (last) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (count_only) std::printf("records=%llu ", static_cast<unsigned long long>(total));
  std::printf("lost=%llu\n", static_cast<unsigned long long>(lost));
  return 0;
}
