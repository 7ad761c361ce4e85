// Loading the allowlist file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sockvane::app {

// Decodes the file's bytes (UTF-8 / UTF-16 byte-order marks) into single-byte
// lines cut at CRLF, LF and CR. Pure.
std::vector<std::string> DecodeAllowlist(std::string_view bytes);

// The largest allowlist file read: far above any real list (7.3 million
// addresses take 100 MB), far below what would exhaust memory.
constexpr std::size_t kAllowlistMaxBytes = std::size_t{256} << 20;

// Reads and decodes `path` (a file, device, pipe or FIFO: anything but a
// directory that opens for reading) of at most kAllowlistMaxBytes; on failure
// returns false with the reason in `error`.
bool LoadAllowlist(const std::string& path, std::vector<std::string>& lines, std::string& error);

}  // namespace sockvane::app
