// Text from the system made safe for terminals, spreadsheets and JSON readers. Pure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sockvane::output {

// Length (1 to 4) of the well-formed UTF-8 sequence that starts `text`, its
// code point in `code_point`; 0 when `text` is empty or starts with none
// (stray continuation byte, overlong form, surrogate, beyond U+10FFFF, cut short).
std::size_t Utf8SequenceLength(std::string_view text, uint32_t& code_point);

// How many bytes at the start of `text` are printable ASCII (0x20 to 0x7E),
// which no mask and no reader treats specially but for quotes and backslashes.
std::size_t PlainPrefixLength(std::string_view text);

enum class MaskSet {
  // C0 controls, DEL and C1 controls, the latter as UTF-8 (U+0080-U+009F) or as
  // a byte 0x80-0x9F outside a sequence. Other bytes stay as they are.
  kControls,
  // kControls, plus what reorders or breaks a terminal line: the bidirectional
  // embeddings, overrides and isolates (U+202A-U+202E, U+2066-U+2069) and the
  // line and paragraph separators (U+2028, U+2029).
  kTerminal,
};

// `text` with each character of `set` written as one '?', whatever its length.
void AppendMasked(std::string& out, std::string_view text, MaskSet set);

// `text` masked with kTerminal: what may be shown on a terminal.
std::string SafeText(std::string_view text);

}  // namespace sockvane::output
