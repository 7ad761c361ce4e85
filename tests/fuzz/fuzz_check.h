// Invariant checks for the fuzz targets: a violation is a finding, so it
// stops the run loudly instead of being counted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(cond)                                                                    \
  do {                                                                                      \
    if (!(cond)) {                                                                          \
      std::fprintf(stderr, "invariant violated at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                                     \
    }                                                                                       \
  } while (0)

namespace fuzz {

// Cuts the input at `separator`; every piece, empty ones included.
inline std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == separator) {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

// Printable form of a byte string for the report of a violation.
inline std::string Escaped(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

}  // namespace fuzz
