// The row filter chain.
#pragma once

#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "config/options.h"
#include "track/conn.h"

namespace sockvane::filter {

// config::Ipv4FromText without allocating for the plain dotted form.
std::optional<uint32_t> ReadIpv4(std::string_view text);

// A comma list for ListContains, cut once.
struct ItemList {
  std::string text;                // as typed, for items that hold a comma
  std::vector<std::string> items;  // blanks removed, lower case, cut at every comma
};

// A set of port texts: bit n set when the list holds the decimal text of n.
using PortSet = std::bitset<65536>;

// One prefix length of an address list: the masked network values, sorted.
struct NetworkGroup {
  uint32_t mask = 0;
  std::vector<uint32_t> networks;
};

// One prefix length of IPv6 networks: the masked network values, sorted.
struct Ipv6NetworkGroup {
  int prefix = 0;
  std::vector<config::Ipv6Address> networks;
};

// A MatchesAddressList list (or several), entries parsed once. Each entry is
// kept once, in the group of the rows it can match: an IPv4 address or
// network ("a.b.c.d", "a.b.c.d/n", a v4-mapped IPv6 one of /96 or longer) in
// `networks`, any other IPv6 one in `ipv6_networks`.
struct AddressList {
  std::vector<NetworkGroup> networks;
  std::vector<Ipv6NetworkGroup> ipv6_networks;
};

// Option lists and the allowlist parsed once, so that a row is judged without
// splitting texts again. Results equal those of the plain chain.
struct Filters {
  bool include_all = false;
  bool proto_given = false;
  bool proto_tcp = false;  // the list holds "TCP"
  bool proto_udp = false;
  bool dst_port_given = false;
  PortSet dst_ports;
  bool pid_given = false;
  std::optional<uint32_t> pid;  // the PID whose text the option is; none: no PID is
  bool process_given = false;
  std::string process;  // lower case
  bool dst_ip_given = false;
  AddressList dst_ip;
  bool dst_net_given = false;
  AddressList dst_net;
  PortSet exclude_ports;
  bool exclude_process_given = false;
  std::string exclude_process;  // lower case
  AddressList allowlist;        // every line's entries together
};

Filters CompileFilters(const config::Settings& settings, const std::vector<std::string>& allowlist);

// One allowlist line's entries into `list`, for a list too long to hold as
// lines; FinishAddressList readies it for matching after the last line.
void AddAllowlistLine(std::string_view line, AddressList& list);
void FinishAddressList(AddressList& list);

// The eleven steps in order, on the parsed form.
bool PassesFilters(const track::TConn& row, const Filters& filters);

// The steps that read neither the PID nor the process name: a row they drop is
// dropped whoever owns it, so its owner need not be looked for.
bool PassesOwnerlessFilters(const track::TConn& row, const Filters& filters);

}  // namespace sockvane::filter
