// The key order, spelled out byte by byte for tests to check the comparisons
// against: '.' < ':' < '|' < digits < letters (case ignored) < every other
// byte by value; a key before any longer key it begins.
#pragma once

#include <cstddef>
#include <string_view>

namespace sockvane::testing {

inline int ReferenceKeyRank(unsigned char c) {
  if (c == '.') return 0;
  if (c == ':') return 1;
  if (c == '|') return 2;
  if (c >= '0' && c <= '9') return 3 + (c - '0');
  if (c >= 'a' && c <= 'z') return 13 + (c - 'a');
  if (c >= 'A' && c <= 'Z') return 13 + (c - 'A');
  return 39 + c;
}

// Negative, zero or positive as `a` comes before, with or after `b`.
inline int ReferenceCompareKeys(std::string_view a, std::string_view b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int ra = ReferenceKeyRank(static_cast<unsigned char>(a[i]));
    const int rb = ReferenceKeyRank(static_cast<unsigned char>(b[i]));
    if (ra != rb) return ra < rb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace sockvane::testing
