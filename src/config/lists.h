// Comma lists as the options and the allowlist write them. Pure.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "track/address.h"

namespace sockvane::config {

// Comma-list membership: blanks removed from the list, ASCII case ignored.
bool ListContains(std::string_view list, std::string_view item);

// The items ListContains matches an item without a comma against: the list
// without its blanks, cut at every comma (quotes mean nothing there).
std::vector<std::string> ListItems(std::string_view list);

using AddressEntryVisit =
    std::function<void(std::string_view entry, const std::optional<track::Prefix>& network)>;

// The entries of an address list: items cut at commas (quoted items
// honoured), each without the bytes 0 to 32 at its ends, handed to `visit`
// with the network it stands for (nullopt: it can match no address).
void ForEachAddressEntry(std::string_view list, const AddressEntryVisit& visit);

}  // namespace sockvane::config
