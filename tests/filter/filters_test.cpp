#include "filter/filters.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/plain_filters.h"
#include "track/conn.h"

namespace sockvane::filter {
namespace {

track::TConn Row(std::string dst_ip, uint16_t dst_port, std::string process = "firefox.exe",
                 std::string pid = "123") {
  return testing::RowFromTexts({"TCP", std::move(pid), std::move(process), "192.168.1.20", 50123,
                                std::move(dst_ip), dst_port, "ESTABLISHED"});
}

struct Case {
  const char* name;
  std::function<void(testing::OptionTexts&)> options;
  std::vector<std::string> allowlist;
  track::TConn row;
  bool passes;
};

void NoOptions(testing::OptionTexts&) {}

TEST(PassesFilters, EveryStepWithAndWithoutItsOption) {
  const Case cases[] = {
      {"public destination passes", NoOptions, {}, Row("8.8.8.8", 443), true},
      {"private destination dropped", NoOptions, {}, Row("192.168.1.10", 443), false},
      {"loopback dropped", NoOptions, {}, Row("127.0.0.1", 443), false},
      {"--all keeps private", [](auto& s) { s.include_all = true; }, {}, Row("192.168.1.10", 443), true},
      {"--all keeps loopback", [](auto& s) { s.include_all = true; }, {}, Row("127.0.0.1", 443), true},
      {"port 0 dropped", NoOptions, {}, Row("8.8.8.8", 0), false},
      {"port 0 dropped with --all", [](auto& s) { s.include_all = true; }, {}, Row("8.8.8.8", 0), false},
      {"--proto tcp", [](auto& s) { s.proto_filter = "tcp"; }, {}, Row("8.8.8.8", 443), true},
      {"--proto TCP", [](auto& s) { s.proto_filter = "TCP"; }, {}, Row("8.8.8.8", 443), true},
      {"--proto udp", [](auto& s) { s.proto_filter = "udp"; }, {}, Row("8.8.8.8", 443), false},
      {"--proto 'udp, tcp'", [](auto& s) { s.proto_filter = "udp, tcp"; }, {}, Row("8.8.8.8", 443), true},
      {"--dst-port 443 of list",
       [](auto& s) { s.dst_port_filter = "443,8443"; },
       {},
       Row("8.8.8.8", 443),
       true},
      {"--dst-port 8443 of list",
       [](auto& s) { s.dst_port_filter = "443,8443"; },
       {},
       Row("8.8.8.8", 8443),
       true},
      {"--dst-port other port",
       [](auto& s) { s.dst_port_filter = "443,8443"; },
       {},
       Row("8.8.8.8", 80),
       false},
      {"--dst-port 0443", [](auto& s) { s.dst_port_filter = "0443"; }, {}, Row("8.8.8.8", 443), false},
      {"--dst-port blanks inside",
       [](auto& s) { s.dst_port_filter = "4 43"; },
       {},
       Row("8.8.8.8", 443),
       true},
      {"--dst-port whole items", [](auto& s) { s.dst_port_filter = "4430"; }, {}, Row("8.8.8.8", 443), false},
      {"--pid equal", [](auto& s) { s.pid_filter = "123"; }, {}, Row("8.8.8.8", 443), true},
      {"--pid leading zero", [](auto& s) { s.pid_filter = "0123"; }, {}, Row("8.8.8.8", 443), false},
      {"--pid trailing blank", [](auto& s) { s.pid_filter = "123 "; }, {}, Row("8.8.8.8", 443), false},
      {"--pid other", [](auto& s) { s.pid_filter = "12"; }, {}, Row("8.8.8.8", 443), false},
      {"--process FIRE", [](auto& s) { s.process_filter = "FIRE"; }, {}, Row("8.8.8.8", 443), true},
      {"--process inside", [](auto& s) { s.process_filter = "fox.E"; }, {}, Row("8.8.8.8", 443), true},
      {"--process other", [](auto& s) { s.process_filter = "chrome"; }, {}, Row("8.8.8.8", 443), false},
      {"--process unknown",
       [](auto& s) { s.process_filter = "unknown"; },
       {},
       Row("8.8.8.8", 443, "unknown"),
       true},
      {"--dst-ip match",
       [](auto& s) { s.dst_ip_filter = "1.1.1.1, 8.8.8.8"; },
       {},
       Row("8.8.8.8", 443),
       true},
      {"--dst-ip no match", [](auto& s) { s.dst_ip_filter = "1.1.1.1"; }, {}, Row("8.8.8.8", 443), false},
      {"--dst-ip text, not number",
       [](auto& s) { s.dst_ip_filter = "008.8.8.8"; },
       {},
       Row("8.8.8.8", 443),
       false},
      {"--dst-net match", [](auto& s) { s.dst_net_filter = "8.0.0.0/8"; }, {}, Row("8.8.8.8", 443), true},
      {"--dst-net no match", [](auto& s) { s.dst_net_filter = "9.0.0.0/8"; }, {}, Row("8.8.8.8", 443), false},
      {"--dst-net bad prefix",
       [](auto& s) { s.dst_net_filter = "8.0.0.0/33"; },
       {},
       Row("8.8.8.8", 443),
       false},
      {"--dst-ip and --dst-net both needed",
       [](auto& s) {
         s.dst_ip_filter = "8.8.8.8";
         s.dst_net_filter = "9.0.0.0/8";
       },
       {},
       Row("8.8.8.8", 443),
       false},
      {"--exclude-port 53", [](auto& s) { s.exclude_port_filter = "53"; }, {}, Row("8.8.8.8", 53), false},
      {"--exclude-port other", [](auto& s) { s.exclude_port_filter = "53"; }, {}, Row("8.8.8.8", 443), true},
      {"--exclude-port empty", [](auto& s) { s.exclude_port_filter = ""; }, {}, Row("8.8.8.8", 53), true},
      {"--exclude-process svc",
       [](auto& s) { s.exclude_process_filter = "svc"; },
       {},
       Row("8.8.8.8", 443, "SvcHost.exe"),
       false},
      {"--exclude-process other",
       [](auto& s) { s.exclude_process_filter = "svc"; },
       {},
       Row("8.8.8.8", 443),
       true},
      {"empty allowlist", NoOptions, {}, Row("8.8.8.8", 443), true},
      {"allowlist network with blanks",
       [](auto& s) { s.include_all = true; },
       {"  10.0.0.0/8 \t"},
       Row("10.1.2.3", 443),
       false},
      {"allowlist two addresses, first", NoOptions, {"1.1.1.1,8.8.8.8"}, Row("1.1.1.1", 443), false},
      {"allowlist two addresses, second", NoOptions, {"1.1.1.1,8.8.8.8"}, Row("8.8.8.8", 443), false},
      {"allowlist empty line", NoOptions, {""}, Row("8.8.8.8", 443), true},
      {"allowlist blank line", NoOptions, {" \t "}, Row("8.8.8.8", 443), true},
      {"allowlist remark after address", NoOptions, {"8.8.8.8 # dns"}, Row("8.8.8.8", 443), true},
      {"allowlist remark line", NoOptions, {"# 8.8.8.8"}, Row("8.8.8.8", 443), true},
      {"allowlist entry beside garbage", NoOptions, {"8.8.8.8,garbage"}, Row("8.8.8.8", 443), false},
      {"allowlist later line", NoOptions, {"1.1.1.1", "", "8.8.8.0/24"}, Row("8.8.8.8", 443), false},
      {"allowlist other address", NoOptions, {"1.1.1.1", "9.9.9.9/32"}, Row("8.8.8.8", 443), true},
      {"allowlist IPv4 other spelling", NoOptions, {"008.8.8.8"}, Row("8.8.8.8", 443), true},
      {"allowlist v4-mapped entry, dotted row", NoOptions, {"::FFFF:8.8.8.8"}, Row("8.8.8.8", 443), false},
      {"allowlist IPv6 upper case", NoOptions, {"2606:4700::ABCD"}, Row("2606:4700::abcd", 443), false},
      {"allowlist IPv6 /64, outside", NoOptions, {"2606:4700:0:1::/64"}, Row("2606:4700::1111", 443), true},
  };
  for (const Case& c : cases) {
    testing::OptionTexts settings;
    c.options(settings);
    const Filters compiled = CompileFilters(testing::Parsed(settings), c.allowlist);
    EXPECT_EQ(PassesFilters(c.row, compiled), c.passes) << c.name;
    EXPECT_EQ(testing::PassesFiltersPlain(testing::TextsOfRow(c.row), settings, c.allowlist), c.passes)
        << c.name;
  }
}

}  // namespace
}  // namespace sockvane::filter
