// The parsed filter form against the plain text operations, on random input.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter/filters.h"
#include "filter/scope.h"
#include "support/plain_filters.h"
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

// An address of the kinds a row can hold: listed ones, random IPv4, random
// IPv6 with runs of zero groups, and first groups near the scope prefixes.
track::Address RandomAddress(Random& random) {
  static const char* const kAddresses[] = {
      "8.8.8.8",        "8.8.8.9", "10.1.2.3",  "127.0.0.1",       "1.1.1.1",
      "1.2.3.4",        "::1",     "fe80::1",   "2606:4700::1",    "2606:4700::2",
      "::ffff:8.8.8.8", "::",      "::8.8.8.8", "192.168.1.10",    "2001:db8::1",
      "fe::1",          "fe0::1",  "fe00::1",   "0:0:0:0:0:0:0:2", "100.64.0.1"};
  if (random.Chance(75)) return testing::AddressFromText(random.Pick(kAddresses));
  track::Address address{};
  for (uint8_t& byte : address) byte = static_cast<uint8_t>(random.Below(256));
  switch (random.Below(4)) {
    case 0:  // IPv4
      address = track::AddressFromIpv4(static_cast<uint32_t>(random.Below(1u << 31)) * 2 + random.Chance(50));
      break;
    case 1: {  // zero groups somewhere
      const std::size_t from = random.Below(8), to = from + random.Below(9 - from);
      for (std::size_t g = from; g < to; ++g) address[2 * g] = address[2 * g + 1] = 0;
      break;
    }
    case 2: {  // a short first group
      static const uint16_t kFirst[] = {0xfe, 0xfe0, 0xfe80, 0xf, 0xfc, 0xfd1, 0xff, 0x2001, 0x20, 0xfec0};
      const uint16_t first = random.Pick(kFirst);
      address[0] = static_cast<uint8_t>(first >> 8);
      address[1] = static_cast<uint8_t>(first);
      if (random.Chance(50)) address[2] = 0x0d, address[3] = 0xb8;
      break;
    }
    default:
      break;
  }
  return address;
}

track::TConn RandomRow(Random& random) {
  static const char* const kProcesses[] = {"firefox.exe", "SvcHost.exe", "unknown", "", "FoX", "a\"b,c"};
  static const uint32_t kPids[] = {123, 12, 4312, 0, 4294967295u};
  static const uint16_t kPorts[] = {0, 53, 80, 443, 8443, 4430, 65535};
  track::TConn row;
  row.proto = random.Chance(70) ? track::Proto::kTcp : track::Proto::kUdp;
  row.pid = random.Chance(80) ? random.Pick(kPids) : static_cast<uint32_t>(random.Below(200));
  row.process = track::MakeProcessName(random.Chance(80) ? random.Pick(kProcesses) : RandomText(random, 3));
  row.src_ip = testing::AddressFromText("192.168.1.20");
  row.src_port = 50123;
  row.dst_ip = RandomAddress(random);
  row.dst_port = random.Chance(90) ? random.Pick(kPorts) : static_cast<uint16_t>(random.Below(65536));
  row.state = 5;
  return row;
}

TEST(FiltersDifferential, ParsedFormAgreesWithPlainOperations) {
  Random random(20240501);
  int passed = 0, dropped = 0;
  for (int round = 0; round < 3000; ++round) {
    testing::OptionTexts settings;
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

    const Filters compiled = CompileFilters(testing::Parsed(settings), allowlist);
    for (int r = 0; r < 10; ++r) {
      const track::TConn row = RandomRow(random);
      const testing::TextRow text = testing::TextsOfRow(row);
      const bool plain = testing::PassesFiltersPlain(text, settings, allowlist);
      ASSERT_EQ(PassesFilters(row, compiled), plain)
          << "round " << round << " proto=[" << text.proto << "] pid=[" << text.pid << "] process=["
          << text.process << "] dst=[" << text.dst_ip << "]:" << row.dst_port << "\n--proto=["
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
    testing::OptionTexts settings;
    settings.include_all = true;
    std::vector<std::string> allowlist(1 + random.Below(3));
    for (std::string& line : allowlist) line = RandomText(random, 4);
    const Filters compiled = CompileFilters(testing::Parsed(settings), allowlist);
    for (int r = 0; r < 5; ++r) {
      track::TConn row = RandomRow(random);
      row.dst_port = 443;
      const testing::TextRow text = testing::TextsOfRow(row);
      const bool plain = testing::PassesFiltersPlain(text, settings, allowlist);
      ASSERT_EQ(PassesFilters(row, compiled), plain)
          << "dst=[" << text.dst_ip << "] line0=[" << allowlist[0] << "]";
      if (!plain) ++suppressed;
    }
  }
  EXPECT_GT(suppressed, 200);
}

// The binary scope test against the text rule, on every kind of address.
TEST(IsPublicDestination, AgreesWithTheTextOfTheAddress) {
  Random random(11);
  int is_public = 0;
  for (int round = 0; round < 200000; ++round) {
    const track::Address address = RandomAddress(random);
    const std::string text = track::Ipv6ToText(address);
    const bool expected = testing::IsPublicDestinationText(text);
    ASSERT_EQ(IsPublicDestination(address), expected) << text;
    is_public += expected;
  }
  EXPECT_GT(is_public, 20000);
  EXPECT_LT(is_public, 180000);
}

}  // namespace
}  // namespace sockvane::filter
