#include "output/safe_text.h"

#include <cstring>

namespace sockvane::output {
namespace {

bool IsTerminalControl(uint32_t code_point) {
  return (code_point >= 0x202A && code_point <= 0x202E) || (code_point >= 0x2066 && code_point <= 0x2069) ||
         code_point == 0x2028 || code_point == 0x2029;
}

}  // namespace

std::size_t Utf8SequenceLength(std::string_view text, uint32_t& code_point) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x80) {
    code_point = lead;
    return 1;
  }
  // The well-formed sequences: the second byte's range depends on the lead,
  // which rules out overlong forms, surrogates and code points past U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  uint32_t value = lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto byte = static_cast<unsigned char>(text[k]);
    if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return 0;
    value = value << 6 | (byte & 0x3F);
  }
  code_point = value;
  return length;
}

std::size_t PlainPrefixLength(std::string_view text) {
  // Every field of every row passes here: test eight bytes at a time whether
  // any is below 0x20 or above 0x7E, and find which one byte by byte.
  constexpr uint64_t kOnes = 0x0101010101010101, kHighBits = 0x8080808080808080;
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t x = 0;
    std::memcpy(&x, text.data() + i, 8);
    const uint64_t below = (x - kOnes * 0x20) & ~x & kHighBits;
    const uint64_t above = ((x + kOnes) | x) & kHighBits;
    if ((below | above) != 0) break;
  }
  while (i < text.size() && text[i] >= 0x20 && text[i] < 0x7F) ++i;
  return i;
}

void AppendMasked(std::string& out, std::string_view text, MaskSet set) {
  std::size_t i = 0;
  while (i < text.size()) {
    // Runs of printable ASCII, the usual name, go over whole.
    const std::size_t plain = PlainPrefixLength(text.substr(i));
    out.append(text.substr(i, plain));
    i += plain;
    if (i == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      out += (byte < 0x20 || byte == 0x7F) ? '?' : text[i];
      ++i;
      continue;
    }
    uint32_t code_point = 0;
    const std::size_t length = Utf8SequenceLength(text.substr(i), code_point);
    if (length == 0) {
      // A stray byte: 0x80-0x9F are the C1 controls of 8-bit terminals.
      out += byte <= 0x9F ? '?' : text[i];
      ++i;
      continue;
    }
    const bool masked = code_point <= 0x9F || (set == MaskSet::kTerminal && IsTerminalControl(code_point));
    if (masked) {
      out += '?';
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
}

std::string SafeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendMasked(out, text, MaskSet::kTerminal);
  return out;
}

}  // namespace sockvane::output
