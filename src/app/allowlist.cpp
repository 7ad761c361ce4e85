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

// The BOM (if any) off the front of the first bytes, and the encoding it names.
void ChooseEncoding(AllowlistDecoder& d) {
  using Encoding = AllowlistDecoder::Encoding;
  const std::string_view bytes = d.pending;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    d.encoding = Encoding::kUtf8;
    d.pending.erase(0, 3);
  } else if (bytes.starts_with("\xFF\xFE")) {
    d.encoding = Encoding::kUtf16Le;
    d.pending.erase(0, 2);
  } else if (bytes.starts_with("\xFE\xFF")) {
    d.encoding = Encoding::kUtf16Be;
    d.pending.erase(0, 2);
  } else {
    d.encoding = Encoding::kBytes;
  }
}

// A line break is never part of a longer sequence, so decoding line by line
// gives what decoding the whole text would.
void HandOverLine(AllowlistDecoder::Encoding encoding, std::string_view raw, const LineSink& sink) {
  switch (encoding) {
    case AllowlistDecoder::Encoding::kUtf8:
      sink(DecodeUtf8(raw));
      break;
    case AllowlistDecoder::Encoding::kUtf16Le:
      sink(DecodeUtf16(raw, false));
      break;
    case AllowlistDecoder::Encoding::kUtf16Be:
      sink(DecodeUtf16(raw, true));
      break;
    default:
      sink(raw);
  }
}

}  // namespace

std::vector<std::string> DecodeAllowlist(std::string_view bytes) {
  std::vector<std::string> lines;
  const LineSink keep = [&lines](std::string_view line) { lines.emplace_back(line); };
  AllowlistDecoder decoder;
  FeedAllowlist(decoder, bytes, keep);
  EndAllowlist(decoder, keep);
  return lines;
}

void FeedAllowlist(AllowlistDecoder& d, std::string_view bytes, const LineSink& sink) {
  using Encoding = AllowlistDecoder::Encoding;
  d.pending.append(bytes);
  if (d.encoding == Encoding::kUnknown) {
    if (d.pending.size() < 3) return;  // too early to tell a byte-order mark
    ChooseEncoding(d);
  }
  const bool utf16 = d.encoding == Encoding::kUtf16Le || d.encoding == Encoding::kUtf16Be;
  const std::size_t unit = utf16 ? 2 : 1;
  const auto* data = reinterpret_cast<const unsigned char*>(d.pending.data());
  std::size_t start = 0;
  std::size_t i = d.scanned;
  const std::size_t size = d.pending.size();
  while (i + unit <= size) {
    if (!utf16 && !d.after_cr) {
      while (i < size && data[i] != '\r' && data[i] != '\n') ++i;  // most bytes
      if (i == size) break;
    }
    const uint32_t code = !utf16                             ? data[i]
                          : d.encoding == Encoding::kUtf16Be ? (data[i] << 8 | data[i + 1])
                                                             : (data[i + 1] << 8 | data[i]);
    const bool lf_of_crlf = d.after_cr && code == '\n';
    d.after_cr = false;
    if (lf_of_crlf) {
      start = i += unit;
    } else if (code == '\r' || code == '\n') {
      HandOverLine(d.encoding, std::string_view(d.pending).substr(start, i - start), sink);
      d.after_cr = code == '\r';
      start = i += unit;
    } else {
      i += unit;
    }
  }
  d.pending.erase(0, start);
  d.scanned = i - start;
}

void EndAllowlist(AllowlistDecoder& d, const LineSink& sink) {
  if (d.encoding == AllowlistDecoder::Encoding::kUnknown) {
    ChooseEncoding(d);
    FeedAllowlist(d, {}, sink);
  }
  if (!d.pending.empty()) HandOverLine(d.encoding, d.pending, sink);
  d.pending.clear();
  d.scanned = 0;
}

bool LoadAllowlist(const std::string& path, const LineSink& sink, std::string& error) {
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
  AllowlistDecoder decoder;
  std::size_t total = 0;
  int read_errno = 0;
  char buffer[65536];
  for (;;) {
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file);
    read_errno = errno;
    total += got;
    // A device or pipe may never end, and a file may grow while read.
    if (total > kAllowlistMaxBytes) {
      std::fclose(file);
      error = too_large;
      return false;
    }
    FeedAllowlist(decoder, std::string_view(buffer, got), sink);
    if (got < sizeof buffer) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = "Unable to read file \"" + path + "\": " + std::strerror(read_errno != 0 ? read_errno : EIO);
    return false;
  }
  EndAllowlist(decoder, sink);
  return true;
}

}  // namespace sockvane::app
