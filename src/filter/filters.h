// The row filter chain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/options.h"
#include "track/conn.h"

namespace sockvane::filter {

// One prefix length of IPv4 networks: the masked network values, sorted.
struct NetworkGroup {
  uint32_t mask = 0;
  std::vector<uint32_t> networks;
};

// One prefix length of IPv6 networks: the masked network values, sorted.
struct Ipv6NetworkGroup {
  int prefix = 0;
  std::vector<track::Address> networks;
};

// The networks of an address list (or several), each kept once, in the
// group of the rows it can match: an IPv4 one (a.b.c.d/n, or a v4-mapped
// IPv6 one of /96 or longer) in `networks`, any other in `ipv6_networks`.
struct AddressList {
  std::vector<NetworkGroup> networks;
  std::vector<Ipv6NetworkGroup> ipv6_networks;
};

// The options and the allowlist in the form a row is judged in. Results
// equal those of the plain chain.
struct Filters {
  config::FilterOptions options;
  AddressList dst_ip;
  AddressList dst_net;
  AddressList allowlist;  // every line's entries together
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
