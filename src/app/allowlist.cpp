#include "app/allowlist.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace sockvane::app {
namespace {

// Code points that have no single byte (above U+00FF, or malformed) become '?'.
constexpr char kUnmappable = '?';

void AppendCodePoint(std::string& out, uint32_t code_point) {
  out += code_point <= 0xFF ? static_cast<char>(code_point) : kUnmappable;
}

std::string DecodeUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    uint32_t code_point = 0;
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07;
    } else {
      out += kUnmappable;
      ++i;
      continue;
    }
    std::size_t taken = 1;
    while (taken < length && i + taken < bytes.size() &&
           (static_cast<unsigned char>(bytes[i + taken]) & 0xC0) == 0x80) {
      code_point = (code_point << 6) | (static_cast<unsigned char>(bytes[i + taken]) & 0x3F);
      ++taken;
    }
    // A cut-short sequence stands for one unreadable character.
    // Overlong forms must not smuggle in an ASCII byte.
    constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (taken == length && code_point >= kSmallest[length]) {
      AppendCodePoint(out, code_point);
    } else {
      out += kUnmappable;
    }
    i += taken;
  }
  return out;
}

std::string DecodeUtf16(std::string_view bytes, bool big_endian) {
  std::string out;
  out.reserve(bytes.size() / 2 + 1);
  const std::size_t units = bytes.size() / 2;
  for (std::size_t u = 0; u < units; ++u) {
    const auto b0 = static_cast<unsigned char>(bytes[2 * u]);
    const auto b1 = static_cast<unsigned char>(bytes[2 * u + 1]);
    const uint32_t unit = big_endian ? (b0 << 8 | b1) : (b1 << 8 | b0);
    if (unit >= 0xD800 && unit <= 0xDBFF && u + 1 < units) {
      const auto c0 = static_cast<unsigned char>(bytes[2 * u + 2]);
      const auto c1 = static_cast<unsigned char>(bytes[2 * u + 3]);
      const uint32_t next = big_endian ? (c0 << 8 | c1) : (c1 << 8 | c0);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        ++u;  // a pair is one character beyond U+FFFF
        out += kUnmappable;
        continue;
      }
    }
    if (unit >= 0xD800 && unit <= 0xDFFF) {
      out += kUnmappable;  // lone surrogate
    } else {
      AppendCodePoint(out, unit);
    }
  }
  // A dangling odd byte is half a character: keep a trace of it.
  if (bytes.size() % 2 != 0) out += kUnmappable;
  return out;
}

}  // namespace

std::vector<std::string> DecodeAllowlist(std::string_view bytes) {
  std::string text;
  const auto starts_with = [&bytes](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
  if (starts_with("\xEF\xBB\xBF")) {
    text = DecodeUtf8(bytes.substr(3));
  } else if (starts_with("\xFF\xFE")) {
    text = DecodeUtf16(bytes.substr(2), false);
  } else if (starts_with("\xFE\xFF")) {
    text = DecodeUtf16(bytes.substr(2), true);
  } else {
    text.assign(bytes);
  }

  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.emplace_back(text, start, i - start);
      i += (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text, start, text.size() - start);
  return lines;
}

bool LoadAllowlist(const std::string& path, std::vector<std::string>& lines, std::string& error) {
  // A FIFO waits here for its writer, as it does for any reader.
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "Unable to open file \"" + path + "\": " + std::strerror(errno);
    return false;
  }
  const std::string too_large = "Unable to read file \"" + path + "\": larger than " +
                                std::to_string(kAllowlistMaxBytes >> 20) + " MiB";
  std::error_code size_error;
  const std::uintmax_t size = std::filesystem::file_size(path, size_error);
  if (!size_error && size > kAllowlistMaxBytes) {
    std::fclose(file);
    error = too_large;
    return false;
  }
  std::string bytes;
  char buffer[65536];
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    bytes.append(buffer, got);
    if (got < sizeof buffer) break;
    // A device or pipe may never end, and a file may grow while read.
    if (bytes.size() > kAllowlistMaxBytes) {
      std::fclose(file);
      error = too_large;
      return false;
    }
  }
  const bool failed = std::ferror(file) != 0;
  const int read_errno = errno;
  std::fclose(file);
  if (failed) {
    error = "Unable to read file \"" + path + "\": " + std::strerror(read_errno != 0 ? read_errno : EIO);
    return false;
  }
  lines = DecodeAllowlist(bytes);
  return true;
}

}  // namespace sockvane::app
