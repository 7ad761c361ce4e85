// The row filter chain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "config/options.h"
#include "track/conn.h"

namespace sockvane::filter {

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

// A MatchesAddressList list (or several), entries parsed once.
struct AddressList {
  std::vector<track::Address> addresses;        // entries without "/" that a row's text can equal, sorted
  std::vector<NetworkGroup> networks;           // readable "a.b.c.d/n" entries, and v4-mapped IPv6 ones
  std::vector<Ipv6NetworkGroup> ipv6_networks;  // readable IPv6 entries, with or without "/n"
};

// The options and the allowlist in the form a row is judged in, without
// splitting texts again. Results equal those of the plain chain.
struct Filters {
  config::FilterOptions options;
  AddressList dst_ip;
  AddressList dst_net;
  AddressList allowlist;  // every line's entries together
};

Filters CompileFilters(const config::Settings& settings, const std::vector<std::string>& allowlist);

// The eleven steps in order, on the parsed form.
bool PassesFilters(const track::TConn& row, const Filters& filters);

// The steps that read neither the PID nor the process name: a row they drop is
// dropped whoever owns it, so its owner need not be looked for.
bool PassesOwnerlessFilters(const track::TConn& row, const Filters& filters);

}  // namespace sockvane::filter
