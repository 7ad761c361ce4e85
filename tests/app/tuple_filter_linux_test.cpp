#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/tuple_filter.h"
#include "config/options.h"
#include "filter/scope.h"
#include "source/source_linux.h"
#include "support/text_rows.h"

namespace sockvane::app {
namespace {

track::Address Random(std::mt19937& rng, bool ipv4) {
  track::Address address{};
  for (uint8_t& byte : address) byte = static_cast<uint8_t>(rng());
  if (!ipv4) return address;
  std::fill(address.begin(), address.begin() + 10, 0);
  address[10] = address[11] = 0xFF;
  return address;
}

// The scope the kernel applies is the filters' own: what it drops is never
// public, and what is not public it drops (else the kernel filters less).
TEST(TupleFilterOf, ScopeAgreesWithThePublicTest) {
  const source::TupleFilter tuple = TupleFilterOf(filter::Filters{});
  std::mt19937 rng(19);
  for (int i = 0; i < 200000; ++i) {
    track::Address address = Random(rng, i % 2 == 0);
    // Near the edges of the prefixes too: few bits set or cleared at the end.
    if (i % 3 == 0) std::fill(address.begin() + 13 + (i % 3), address.end(), i % 5 == 0 ? 0xFF : 0);
    if (i % 7 == 0 && i % 2 == 1) std::fill(address.begin() + 1 + (i % 11), address.end(), 0);
    const bool dropped = source::TupleFilterDropsDestination(tuple, track::Proto::kTcp, address);
    ASSERT_EQ(dropped, !filter::IsPublicDestination(address)) << track::Ipv6ToText(address);
  }
}

// Sockets to and from addresses of every kind, in a network namespace of
// their own, where the loopback device answers for all of them.
class KernelFilter : public ::testing::Test {
 protected:
  static int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
};

struct Endpoint {
  const char* address;
  int type;
  uint16_t port;
};

// Opens a listener (or datagram peer) and a client to it for each endpoint.
bool Connect(const Endpoint& to, std::vector<int>& fds) {
  const bool v6 = std::string(to.address).find(':') != std::string::npos;
  sockaddr_storage address{};
  socklen_t size;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&address);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(to.port);
    if (inet_pton(AF_INET6, to.address, &a->sin6_addr) != 1) return false;
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&address);
    a->sin_family = AF_INET;
    a->sin_port = htons(to.port);
    if (inet_pton(AF_INET, to.address, &a->sin_addr) != 1) return false;
    size = sizeof *a;
  }
  const int server = socket(address.ss_family, to.type | SOCK_CLOEXEC, 0);
  const int client = socket(address.ss_family, to.type | SOCK_CLOEXEC, 0);
  fds.push_back(server);
  fds.push_back(client);
  if (bind(server, reinterpret_cast<sockaddr*>(&address), size) != 0) return false;
  if (to.type == SOCK_STREAM && listen(server, 8) != 0) return false;
  return connect(client, reinterpret_cast<sockaddr*>(&address), size) == 0;
}

// The rows that pass the filters, as text.
std::set<std::string> Passing(source::LinuxSource& source, const filter::Filters& filters) {
  std::set<std::string> rows;
  EXPECT_TRUE(source.ReadTcpTable(
      [&](track::TConn&& row) {
        if (!filter::PassesFilters(row, filters)) return;
        const testing::TextRow text = testing::TextsOfRow(row);
        rows.insert(text.proto + " " + text.src_ip + " " + std::to_string(text.src_port) + " " + text.dst_ip +
                    " " + std::to_string(text.dst_port) + " " + text.state);
      },
      nullptr));
  return rows;
}

std::string Pick(std::mt19937& rng, const std::vector<std::string>& pool) {
  std::string list;
  for (int n = static_cast<int>(rng() % 3); n >= 0; --n) {
    list += (list.empty() ? "" : ",") + pool[rng() % pool.size()];
  }
  return list;
}

TEST_F(KernelFilter, SameRowsWithTheKernelFilterOnAndOff) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
  const pid_t child = fork();
  if (child == 0) {
    alarm(120);
    const char* routes[] = {"ip link set lo up",
                            "ip route add local 8.8.0.0/16 dev lo",
                            "ip route add local 10.0.0.0/8 dev lo",
                            "ip route add local 172.16.0.0/12 dev lo",
                            "ip route add local 100.64.0.0/10 dev lo",
                            "ip route add local 198.18.0.0/15 dev lo",
                            "ip -6 addr add 2001:4860::8888/128 dev lo nodad",
                            "ip -6 addr add 2001:4860::53/128 dev lo nodad",
                            "ip -6 addr add fd00::1/128 dev lo nodad",
                            "ip -6 addr add 2001:db8::1/128 dev lo nodad",
                            "ip -6 addr add fc0::1/128 dev lo nodad"};
    if (unshare(CLONE_NEWNET) != 0) _exit(3);
    for (const char* route : routes) {
      if (Run(route) != 0) _exit(3);
    }
    const Endpoint endpoints[] = {{"127.0.0.1", SOCK_STREAM, 80},
                                  {"127.3.4.5", SOCK_DGRAM, 53},
                                  {"8.8.8.8", SOCK_STREAM, 443},
                                  {"8.8.4.4", SOCK_DGRAM, 53},
                                  {"10.1.2.3", SOCK_STREAM, 443},
                                  {"172.31.9.9", SOCK_STREAM, 80},
                                  {"100.64.0.1", SOCK_STREAM, 22},
                                  {"198.19.1.1", SOCK_DGRAM, 123},
                                  {"::1", SOCK_STREAM, 443},
                                  {"2001:4860::8888", SOCK_STREAM, 80},
                                  {"2001:4860::53", SOCK_DGRAM, 53},
                                  {"fd00::1", SOCK_STREAM, 443},
                                  {"2001:db8::1", SOCK_STREAM, 443},
                                  {"fc0::1", SOCK_STREAM, 8080},
                                  {"::ffff:8.8.1.1", SOCK_STREAM, 443},
                                  {"::ffff:127.0.0.9", SOCK_DGRAM, 53}};
    std::vector<int> fds;
    for (const Endpoint& endpoint : endpoints) {
      if (!Connect(endpoint, fds)) {
        perror(endpoint.address);
        _exit(4);
      }
    }
    const std::vector<std::string> ports = {"53", "80", "443", "22", "123", "8080", "65535", "0", "x"};
    const std::vector<std::string> addresses = {
        "8.8.8.8",        "8.8.0.0/16", "10.0.0.0/8", "127.0.0.1", "::1",
        "2001:4860::/32", "::/0",       "0.0.0.0/0",  "fd00::/8",  "::ffff:8.8.0.0/112",
        "::ffff:0:0/96",  "fc0::1/128", "1.2.3.4/33", "bogus",     "2001:4860::8888"};
    std::mt19937 rng(20);
    int failures = 0, compared = 0;
    // No /proc to look for owners in: they are not what differs here.
    source::LinuxSource kernel("/nonexistent"), plain("/nonexistent");
    plain.reads.kernel_filter = false;
    for (int trial = 0; trial < 300 && failures < 5; ++trial) {
      std::vector<std::string> args;
      if (rng() % 2 == 0) args.push_back("--all");
      if (rng() % 3 == 0) args.insert(args.end(), {"--proto", Pick(rng, {"tcp", "UDP", "tcp,udp", "icmp"})});
      for (const char* option : {"--dst-port", "--exclude-port"}) {
        if (rng() % 3 == 0) args.insert(args.end(), {option, Pick(rng, ports)});
      }
      for (const char* option : {"--dst-ip", "--dst-net"}) {
        if (rng() % 3 == 0) args.insert(args.end(), {option, Pick(rng, addresses)});
      }
      const config::ParseResult parsed = config::ParseArguments(args);
      if (parsed.action != config::ParseAction::kRun) continue;  // a rejected option list
      ++compared;
      const config::Settings& settings = parsed.settings;
      const filter::Filters filters = filter::CompileFilters(settings, {});
      source::SourceSettings start;
      start.filter = TupleFilterOf(filters);
      kernel.Start(start);
      plain.Start(start);
      if (Passing(kernel, filters) != Passing(plain, filters) || !kernel.reads.kernel_filter) ++failures;
    }
    for (int fd : fds) close(fd);
    _exit(failures != 0 ? 5 : compared < 100 ? 6 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "3: no namespace, 4: no connection, 5: rows differ, 6: too few option sets parsed";
}

}  // namespace
}  // namespace sockvane::app
