#include "config/lists.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/filters.h"
#include "support/plain_filters.h"
#include "support/text_rows.h"

namespace sockvane::config {
namespace {

using std::string_literals::operator""s;

TEST(ListContainsTest, Table) {
  const std::string options =
      "--interval,--proto,--dst-port,--process,--pid,--dst-ip,--dst-net,--exclude-port,"
      "--exclude-process,--allowlist,--format,--timestamp,--events,--stats";
  struct Case {
    std::string list;
    std::string item;
    bool want;
  };
  const std::vector<Case> cases = {
      {"tcp,udp", "TCP", true},
      {"TCP,UDP", "tcp", true},
      {"New, Closed", "new", true},
      {"4 43", "443", true},
      {"tcp,udp", "u dp", false},
      {"tcp,udp", " udp", false},
      {"tcp, udp", "UDP", true},
      {"", "443", false},
      {"", "", true},
      {" ", "", true},
      {"   ", "x", false},
      {"a,,b", "", true},
      {",a", "", true},
      {"a,", "", true},
      {"a,b", "", false},
      {"text,jsonl,csv", "jsonl,csv", true},
      {"text,jsonl,csv", "json", false},
      {"text,jsonl,csv", "jsonl,", false},
      {"a,b,c", "b,c", true},
      {"a,b,c", "a,c", false},
      {"443", "44", false},
      {"4430", "443", false},
      {"443,4430", "4430", true},
      {"8443,443", "443", true},
      {"tcp,\tudp", "udp", false},
      {"tcp,\tudp", "\tudp", true},
      {",a,", ",a,", true},
      {"\xC4", "\xE4", false},
      {"a-Z", "A-z", true},
      {options, "--interval", true},
      {options, "--stats", true},
      {options, "--Interval", true},
      {options, "--pid,--dst-ip", true},
      {options, "--help", false},
      {options, "", false},
      {options, "--stat", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListContains(c.list, c.item), c.want) << "list [" << c.list << "] item [" << c.item << "]";
  }
}

// The plain definition: "," + item + "," within "," + list + ",", the list
// stripped of blanks, both lower-cased.
bool ListContainsByDefinition(const std::string& list, const std::string& item) {
  std::string hay = ",";
  for (char c : list) {
    if (c != ' ') hay += c;
  }
  hay += ',';
  return track::AsciiLower(hay).find(track::AsciiLower("," + item + ",")) != std::string::npos;
}

void AllTexts(const std::string& alphabet, size_t max_len, std::vector<std::string>& out) {
  out = {""};
  size_t begin = 0;
  for (size_t len = 1; len <= max_len; ++len) {
    const size_t end = out.size();
    for (size_t i = begin; i < end; ++i) {
      for (char c : alphabet) out.push_back(out[i] + c);
    }
    begin = end;
  }
}

TEST(ListContainsTest, AgreesWithDefinitionOnEveryShortText) {
  std::vector<std::string> lists;
  std::vector<std::string> items;
  AllTexts("aB,b ", 5, lists);
  AllTexts("Ab, ", 3, items);
  int mismatches = 0;
  for (const std::string& list : lists) {
    for (const std::string& item : items) {
      if (ListContains(list, item) != ListContainsByDefinition(list, item) && ++mismatches <= 10) {
        ADD_FAILURE() << "list [" << list << "] item [" << item << "]";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

// The text rules of address matching, which the tests hold the program's
// compiled lists against.
TEST(MatchesNetworkTest, Table) {
  struct Case {
    std::string address;
    std::string entry;
    bool want;
  };
  const std::vector<Case> cases = {
      // exact entries compare text, not numbers
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.1", "010.0.0.1", false},
      {"10.0.0.1", "10.0.0.1 ", false},
      {"10.0.0.1", "10.0.0.10", false},
      {"fe80::ABCD", "FE80::abcd", true},
      {"", "", true},
      // prefix length bounds and syntax
      {"10.0.0.1", "10.0.0.0/8", true},
      {"10.0.0.1", "10.0.0.0/33", false},
      {"10.0.0.1", "10.0.0.0/-1", false},
      {"10.0.0.1", "10.0.0.0/8/9", false},
      {"10.0.0.1", "10.0.0.0/", false},
      {"10.0.0.1", "/8", false},
      {"10.0.0.1", "10.0.0.0 /8", false},
      {"10.0.0.1", "10.0.0.0/ 8", true},
      {"10.0.0.1", "10.0.0.0/8 ", false},
      {"10.0.0.1", "10.0.0.0/0x8", true},
      {"10.0.0.1", "10.0.0.0/8x", false},
      {"192.168.1.1", "192.168.1.0/24", true},
      {"192.168.1.1", "192.168.1.0/31", true},
      {"192.168.1.1", "192.168.1.0/32", false},
      {"192.168.1.2", "192.168.1.0/31", false},
      {"192.168.1.0", "192.168.1.0/32", true},
      {"172.31.255.255", "172.16.0.0/12", true},
      {"172.32.0.0", "172.16.0.0/12", false},
      {"172.15.255.255", "172.16.0.0/12", false},
      {"200.0.0.0", "128.0.0.0/1", true},
      {"127.255.255.255", "128.0.0.0/1", false},
      // host bits in the network are ignored
      {"10.200.0.1", "10.1.2.3/8", true},
      // /0 takes every readable address, if the network is readable
      {"8.8.8.8", "0.0.0.0/0", true},
      {"200.1.1.1", "1.2.3.4/0", true},
      {"8.8.8.8", "bogus/0", false},
      {"::1", "0.0.0.0/0", false},
      {"", "0.0.0.0/0", false},
      // the address is read as a number once a prefix is present
      {"010.0.0.1", "10.0.0.0/8", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::MatchesNetwork(c.address, c.entry), c.want)
        << "address [" << c.address << "] entry [" << c.entry << "]";
  }
}

TEST(MatchesNetworkTest, Ipv6EntriesMatchIpv6AddressesByValue) {
  struct Case {
    std::string address;
    std::string entry;
    bool want;
  };
  const std::vector<Case> cases = {
      {"::1", "::1/128", true},
      {"::1", "0:0:0:0:0:0:0:1", true},
      {"::1", "0::1/128", true},
      {"::1", "::/0", true},
      {"2001:db8::1", "::/0", true},
      {"::1", "::2/127", false},
      {"::1", "::/127", true},
      {"::1", "::1/129", false},
      {"::1", "::1/-1", false},
      {"::1", "::1/ 128", true},  // the prefix reads as an IPv4 prefix does
      {"::1", "::1 /128", false},
      {"::1", "::1/128/1", false},
      {"2001:db8:abcd::5", "2001:DB8::/32", true},
      {"2001:db9::5", "2001:db8::/32", false},
      {"2001:db8::5", "2001:db8::ff/120", true},  // host bits ignored
      {"fe80::1", "fe80::/10", true},
      {"febf::1", "fe80::/10", true},
      {"fec0::1", "fe80::/10", false},
      // dotted rows are IPv4: IPv6 networks leave them alone ...
      {"127.0.0.1", "::/0", false},
      {"127.0.0.1", "::ffff:0:0/95", false},
      {"8.8.8.8", "::1", false},
      // ... except v4-mapped networks, which cover their dotted IPv4 part
      {"127.0.0.1", "::ffff:127.0.0.1", true},
      {"127.0.0.1", "::ffff:127.0.0.1/128", true},
      {"127.0.0.1", "::ffff:127.0.0.0/104", true},
      {"128.0.0.1", "::ffff:127.0.0.0/104", false},
      {"1.2.3.4", "::ffff:0:0/96", true},
      {"1.2.3.4", "::fffe:0:0/96", false},
      {"::ffff:1.2.3.4", "::ffff:1.2.3.4", true},
      // IPv4 entries never match IPv6 addresses
      {"::1", "0.0.0.0/0", false},
      {"::ffff:1.2.3.4", "1.2.3.4/32", false},
      {"::1", "bogus/0", false},
      {"not-an-address", "::/0", false},
      {"", "::/0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::MatchesNetwork(c.address, c.entry), c.want)
        << "address [" << c.address << "] entry [" << c.entry << "]";
  }
}

TEST(MatchesAddressListTest, Table) {
  struct Case {
    std::string address;
    std::string list;
    bool want;
  };
  const std::string mixed = "10.0.0.1, 192.168.0.0/16";
  const std::vector<Case> cases = {
      {"10.0.0.1", "", false},
      {"10.0.0.1", ",,10.0.0.1,", true},
      {"10.0.0.1", ",", false},
      {"10.0.0.1", mixed, true},
      {"192.168.44.5", mixed, true},
      {"11.0.0.1", mixed, false},
      {"10.0.0.1", "10.0.0.2;10.0.0.1", false},
      {"10.0.0.1", " \t10.0.0.1\r\n", true},
      {"10.0.0.1", "\0 10.0.0.1\x1f"s, true},
      {"10.0.0.1", "\"10.0.0.1\"", true},
      {"10.0.0.1", "\"10.0.0.0/8,\"", false},
      {"10.9.9.9", "1.0.0.0/8,10.0.0.0/8", true},
      {"10.9.9.9", "1.0.0.0/8,10.0.0.0/33", false},
      {"::1", "::1", true},
      {"::1", "0.0.0.0/0", false},
      {"fe80::1", "10.0.0.0/8, FE80::1", true},
      {"fe80::1", "10.0.0.0/8, fe80:0::1", true},
      {"fe80::1", "10.0.0.0/8, fe80::/64", true},
      {"2001:db8::1", "10.0.0.0/8, fe80::/64", false},
      {"", ",", true},
      {"", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testing::MatchesAddressList(c.address, c.list), c.want)
        << "address [" << c.address << "] list [" << c.list << "]";
    // The program's own path, for a destination a row can show.
    const track::Address address = testing::AddressFromText(c.address);
    if (c.list.empty() || track::Ipv6ToText(address) != c.address) continue;
    testing::OptionTexts options;
    options.include_all = true;
    options.dst_ip_filter = c.list;
    track::TConn row;
    row.dst_ip = address;
    row.dst_port = 443;
    EXPECT_EQ(filter::PassesFilters(row, filter::CompileFilters(testing::Parsed(options), {})), c.want)
        << "address [" << c.address << "] list [" << c.list << "]";
  }
}

}  // namespace
}  // namespace sockvane::config
