// The allowlist decoder on arbitrary file contents.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/allowlist.h"
#include "fuzz_check.h"

namespace {

using sockvane::app::DecodeAllowlist;

// The lines of `bytes` handed over in two pieces cut at `cut`, as a read may.
std::vector<std::string> DecodeInTwo(std::string_view bytes, size_t cut) {
  std::vector<std::string> lines;
  const sockvane::app::LineSink keep = [&lines](std::string_view line) { lines.emplace_back(line); };
  sockvane::app::AllowlistDecoder decoder;
  sockvane::app::FeedAllowlist(decoder, bytes.substr(0, cut), keep);
  sockvane::app::FeedAllowlist(decoder, bytes.substr(cut), keep);
  sockvane::app::EndAllowlist(decoder, keep);
  return lines;
}

bool StartsWithMark(std::string_view bytes) {
  return bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF");
}

// Lines of single-byte text cut at CRLF, LF and CR, no empty line for a final break.
std::vector<std::string> RefLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  bool open = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      open = false;
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(text[i]);
      open = true;
    }
  }
  if (open) lines.push_back(line);
  return lines;
}

// Every byte of `text` as the code point of the same number.
std::string AsUtf8(std::string_view text) {
  std::string out = "\xEF\xBB\xBF";
  for (unsigned char c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::string AsUtf16(std::string_view text, bool big_endian) {
  std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : text) {
    if (big_endian) out.push_back('\0');
    out.push_back(c);
    if (!big_endian) out.push_back('\0');
  }
  return out;
}

bool Opaque(char c) {
  return static_cast<unsigned char>(c) >= 0x80 || c == '?';
}

// Each run of characters that are not plain ASCII (and '?', the stand-in for
// what has no single byte) becomes one '?': how many characters a broken or
// wide sequence turns into is the decoder's business, but no ASCII character
// may appear or vanish.
std::string CollapseRuns(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (Opaque(c)) {
      if (out.empty() || out.back() != '?') out.push_back('?');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::vector<std::string> Collapsed(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& line : lines) out.push_back(CollapseRuns(line));
  return out;
}

// The ASCII characters of a marked file, with a '?' for everything else.
std::vector<std::string> ExpectedMarked(std::string_view bytes) {
  std::string text;
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    for (char c : bytes.substr(3)) text.push_back(Opaque(c) ? '?' : c);
  } else {
    const bool big_endian = bytes.starts_with("\xFE\xFF");
    const std::string_view body = bytes.substr(2);
    for (size_t i = 0; i + 1 < body.size(); i += 2) {
      const auto b0 = static_cast<unsigned char>(body[i]);
      const auto b1 = static_cast<unsigned char>(body[i + 1]);
      const unsigned unit = big_endian ? (b0 << 8 | b1) : (b1 << 8 | b0);
      text.push_back(unit < 0x80 && unit != '?' ? static_cast<char>(unit) : '?');
    }
    if (body.size() % 2 != 0) text.push_back('?');  // half a character is not silently lost
  }
  return RefLines(CollapseRuns(text));
}

void CheckLines(const std::vector<std::string>& lines, size_t input_size) {
  size_t total = 0;
  for (const std::string& line : lines) {
    FUZZ_CHECK(line.find('\r') == std::string::npos);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    total += line.size();
  }
  // No decoding makes more characters than it was given bytes.
  FUZZ_CHECK(total <= input_size);
  FUZZ_CHECK(lines.size() <= input_size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> lines = DecodeAllowlist(bytes);
  CheckLines(lines, size);
  if (size > 0) FUZZ_CHECK(DecodeInTwo(bytes, data[0] % (size + 1)) == lines);

  if (!StartsWithMark(bytes)) {
    // Without a mark the bytes are the text, and each marked encoding of the
    // same characters gives the same lines.
    FUZZ_CHECK(lines == RefLines(bytes));
    FUZZ_CHECK(DecodeAllowlist(AsUtf8(bytes)) == lines);
    FUZZ_CHECK(DecodeAllowlist(AsUtf16(bytes, false)) == lines);
    FUZZ_CHECK(DecodeAllowlist(AsUtf16(bytes, true)) == lines);
  } else {
    FUZZ_CHECK(Collapsed(lines) == ExpectedMarked(bytes));
  }
  return 0;
}
