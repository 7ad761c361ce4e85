// Integer, list and IPv4 address matching on byte strings. All pure.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sockvane::config {

// Whole-text signed 32-bit integer: optional blanks/tabs, sign, base prefix
// ("$", "x", "X", "0x", "0X" hex; "%" binary; "&" octal), digits, nothing after.
std::optional<int32_t> ParseInteger(std::string_view text);

// Items of `text` cut at `delimiter`, honouring double-quoted items.
std::vector<std::string> SplitDelimited(std::string_view text, char delimiter);

// Comma-list membership: blanks removed from the list, ASCII case ignored.
bool ListContains(std::string_view list, std::string_view item);

// a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d.
std::optional<uint32_t> Ipv4FromText(std::string_view text);

// Address against one entry: plain text equality (ASCII case ignored), or
// IPv4 network "a.b.c.d/n".
bool MatchesNetwork(std::string_view address, std::string_view entry);

// Address against a comma list of entries, each trimmed of bytes 0..32.
bool MatchesAddressList(std::string_view address, std::string_view list);

// ASCII-only helpers shared by the matching code.
std::string AsciiLower(std::string_view text);
std::string_view TrimControlAndBlank(std::string_view text);

}  // namespace sockvane::config
