#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "config/options.h"
#include "filter/filters.h"
#include "support/plain_filters.h"
#include "support/text_rows.h"
#include "track/conn.h"

namespace sockvane::filter {
namespace {

// The owner-free steps may only drop rows that the whole chain drops too,
// whatever the owner turns out to be.
TEST(PassesOwnerlessFilters, NeverDropsARowTheChainKeeps) {
  std::mt19937 random(20261209);
  const std::vector<std::string> ips = {"8.8.8.8", "10.1.2.3", "127.0.0.1", "::1", "2001:db8::1", "1.1.1.1"};
  const std::vector<uint16_t> ports = {0, 53, 443, 8443};
  const std::vector<std::string> names = {"firefox.exe", "unknown", "svchost.exe", ""};
  for (int round = 0; round < 2000; ++round) {
    testing::OptionTexts settings;
    settings.include_all = random() % 2 != 0;
    if (random() % 3 == 0) settings.dst_port_filter = "443,8443";
    if (random() % 3 == 0) settings.exclude_port_filter = "53";
    if (random() % 3 == 0) settings.pid_filter = std::to_string(random() % 3);
    if (random() % 3 == 0) settings.process_filter = "FIRE";
    if (random() % 3 == 0) settings.exclude_process_filter = "svc";
    if (random() % 3 == 0) settings.dst_net_filter = "8.0.0.0/8, 127.0.0.0/8";
    if (random() % 4 == 0) settings.proto_filter = random() % 2 ? "tcp" : "udp";
    const std::vector<std::string> allowlist =
        random() % 4 == 0 ? std::vector<std::string>{" 1.1.1.1 "} : std::vector<std::string>{};
    const Filters filters = CompileFilters(testing::Parsed(settings), allowlist);
    track::TConn row;
    row.proto = random() % 2 ? track::Proto::kTcp : track::Proto::kUdp;
    row.dst_ip = testing::AddressFromText(ips[random() % ips.size()]);
    row.dst_port = ports[random() % ports.size()];
    track::TConn ownerless = row;
    row.pid = static_cast<uint32_t>(random() % 3);
    row.process = track::MakeProcessName(names[random() % names.size()]);
    if (PassesFilters(row, filters)) {
      EXPECT_TRUE(PassesOwnerlessFilters(ownerless, filters))
          << track::Ipv6ToText(row.dst_ip) << " " << row.dst_port;
    }
    // With no owner-based option the two agree exactly.
    if (settings.pid_filter.empty() && settings.process_filter.empty() &&
        settings.exclude_process_filter.empty()) {
      EXPECT_EQ(PassesFilters(row, filters), PassesOwnerlessFilters(ownerless, filters));
    }
  }
}

}  // namespace
}  // namespace sockvane::filter
