// The parsed filter form against the plain text operations, on random input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/filters.h"
#include "track/conn.h"

namespace sockvane::filter {
namespace {

class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  std::size_t Below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_); }
  bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }
  template <typename T, std::size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }

 private:
  std::mt19937 engine_;
};

constexpr char kAlphabet[] = "0123456789.,/ \"\tabcxTCPfIRE:";

const char* const kTokens[] = {
    "443",
    "0443",
    "53",
    "80",
    "8443",
    "8.8.8.8",
    "8.8.8.0/24",
    "10.0.0.0/8",
    "10.1.2.3",
    "1.2.3.4/ 8",
    "0/0",
    "0.0.0.0/0",
    "8.8.8.8/32",
    "8.8.8.8/33",
    "tcp",
    "TCP",
    "udp",
    "svc",
    "fire",
    "FoX",
    "unknown",
    "\"",
    ",",
    " ",
    "\t",
    "/",
    ".",
    "::1",
    "FE80::1",
    "::1/128",
    "::/0",
    "fe80::/10",
    "2606:4700::/32",
    "0:0::1",
    "::ffff:8.8.8.0/120",
    "::ffff:8.8.8.8",
    "::ffff:0:0/96",
    "::ffff:8.8.8.8/95",
    "010.0.0.1",
    "0x8.8.8.8",
    "123",
    "0123",
    "\"8.8.8.8,1.1.1.1\"",
    "8.8.8.8 # dns",
    ",,",
};

std::string RandomText(Random& random, std::size_t max_pieces) {
  std::string text;
  const std::size_t pieces = random.Below(max_pieces + 1);
  for (std::size_t i = 0; i < pieces; ++i) {
    if (random.Chance(60)) {
      text += random.Pick(kTokens);
    } else {
      text += kAlphabet[random.Below(sizeof kAlphabet - 1)];
    }
  }
  return text;
}

std::string MaybeOption(Random& random) {
  return random.Chance(50) ? RandomText(random, 5) : std::string();
}

track::TConn RandomRow(Random& random) {
  static const char* const kAddresses[] = {"8.8.8.8", "8.8.8.9",      "10.1.2.3",       "127.0.0.1",
                                           "1.1.1.1", "1.2.3.4",      "010.0.0.1",      "::1",
                                           "FE80::1", "2606:4700::1", "2606:4700:0::2", "::ffff:8.8.8.8",
                                           "",        "a.b.c.d",      "8.8.8.8 ",       "192.168.1.10"};
  static const char* const kProtos[] = {"TCP", "tcp", "udp", "T,CP", "", " TCP", "tcp,udp"};
  static const char* const kPids[] = {"123", "0123", "12", "4312", ""};
  static const char* const kProcesses[] = {"firefox.exe", "SvcHost.exe", "unknown", "", "FoX", "a\"b,c"};
  static const uint16_t kPorts[] = {0, 53, 80, 443, 8443, 4430, 65535};
  track::TConn row;
  row.proto = random.Chance(80) ? random.Pick(kProtos) : RandomText(random, 3);
  row.pid = random.Chance(80) ? random.Pick(kPids) : RandomText(random, 2);
  row.process = random.Chance(80) ? random.Pick(kProcesses) : RandomText(random, 3);
  row.src_ip = "192.168.1.20";
  row.src_port = 50123;
  row.dst_ip = random.Chance(80) ? random.Pick(kAddresses) : RandomText(random, 3);
  row.dst_port = random.Chance(90) ? random.Pick(kPorts) : static_cast<uint16_t>(random.Below(65536));
  row.state = "ESTABLISHED";
  return row;
}

TEST(FiltersDifferential, ParsedFormAgreesWithPlainOperations) {
  Random random(20240501);
  int passed = 0, dropped = 0;
  for (int round = 0; round < 3000; ++round) {
    config::Settings settings;
    settings.include_all = random.Chance(70);
    settings.proto_filter = MaybeOption(random);
    settings.dst_port_filter = MaybeOption(random);
    settings.pid_filter = random.Chance(20) ? RandomText(random, 2) : std::string();
    settings.process_filter = random.Chance(30) ? RandomText(random, 2) : std::string();
    settings.dst_ip_filter = MaybeOption(random);
    settings.dst_net_filter = MaybeOption(random);
    settings.exclude_port_filter = MaybeOption(random);
    settings.exclude_process_filter = random.Chance(30) ? RandomText(random, 2) : std::string();
    std::vector<std::string> allowlist(random.Below(4));
    for (std::string& line : allowlist) line = RandomText(random, 5);

    const Filters compiled = CompileFilters(settings, allowlist);
    for (int r = 0; r < 10; ++r) {
      const track::TConn row = RandomRow(random);
      const bool plain = PassesFiltersPlain(row, settings, allowlist);
      ASSERT_EQ(PassesFilters(row, compiled), plain)
          << "round " << round << " proto=[" << row.proto << "] pid=[" << row.pid << "] process=["
          << row.process << "] dst=[" << row.dst_ip << "]:" << row.dst_port << "\n--proto=["
          << settings.proto_filter << "] --dst-port=[" << settings.dst_port_filter << "] --pid=["
          << settings.pid_filter << "] --process=[" << settings.process_filter << "] --dst-ip=["
          << settings.dst_ip_filter << "] --dst-net=[" << settings.dst_net_filter << "] --exclude-port=["
          << settings.exclude_port_filter << "] --exclude-process=[" << settings.exclude_process_filter
          << "] all=" << settings.include_all;
      (plain ? passed : dropped)++;
    }
  }
  // Both outcomes must be well represented, or the comparison proves little.
  EXPECT_GT(passed, 1000);
  EXPECT_GT(dropped, 1000);
}

TEST(FiltersDifferential, AllowlistAloneAgrees) {
  Random random(7);
  int suppressed = 0;
  for (int round = 0; round < 2000; ++round) {
    config::Settings settings;
    settings.include_all = true;
    std::vector<std::string> allowlist(1 + random.Below(3));
    for (std::string& line : allowlist) line = RandomText(random, 4);
    const Filters compiled = CompileFilters(settings, allowlist);
    for (int r = 0; r < 5; ++r) {
      track::TConn row = RandomRow(random);
      row.dst_port = 443;
      const bool plain = PassesFiltersPlain(row, settings, allowlist);
      ASSERT_EQ(PassesFilters(row, compiled), plain)
          << "dst=[" << row.dst_ip << "] line0=[" << allowlist[0] << "]";
      if (!plain) ++suppressed;
    }
  }
  EXPECT_GT(suppressed, 200);
}

}  // namespace
}  // namespace sockvane::filter
