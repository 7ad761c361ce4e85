// Loading the allowlist file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sockvane::app {

using LineSink = std::function<void(std::string_view line)>;

// Cuts the file's bytes, as they arrive, into single-byte lines: UTF-8 and
// UTF-16 byte-order marks are honoured, lines end at CRLF, LF or CR.
struct AllowlistDecoder {
  enum class Encoding { kUnknown, kBytes, kUtf8, kUtf16Le, kUtf16Be };
  Encoding encoding = Encoding::kUnknown;
  std::string pending;      // bytes of the line not yet ended
  std::size_t scanned = 0;  // of `pending`, the bytes known to hold no line break
  bool after_cr = false;    // a LF next belongs to the CR that ended the last line
};

// Hands `sink` every line that `bytes` ends. Pure.
void FeedAllowlist(AllowlistDecoder& decoder, std::string_view bytes, const LineSink& sink);

// The end of the file: hands over a last line without a line break. Pure.
void EndAllowlist(AllowlistDecoder& decoder, const LineSink& sink);

// The lines of a whole file's bytes. Pure.
std::vector<std::string> DecodeAllowlist(std::string_view bytes);

// The largest allowlist file read: far above any real list, far below what
// would exhaust memory.
constexpr std::size_t kAllowlistMaxBytes = std::size_t{256} << 20;

// Reads `path` (a file, device, pipe or FIFO: anything but a directory that
// opens for reading) and hands `sink` its lines as they are read; on failure
// returns false with the reason in `error`.
bool LoadAllowlist(const std::string& path, const LineSink& sink, std::string& error);

}  // namespace sockvane::app
