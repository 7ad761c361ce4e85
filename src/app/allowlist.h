// Loading the allowlist file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sockvane::app {

// Decodes the file's bytes (UTF-8 / UTF-16 byte-order marks) into single-byte
// lines cut at CRLF, LF and CR. Pure.
std::vector<std::string> DecodeAllowlist(std::string_view bytes);

// Reads and decodes `path`; on failure returns false with the reason in `error`.
bool LoadAllowlist(const std::string& path, std::vector<std::string>& lines, std::string& error);

}  // namespace sockvane::app
