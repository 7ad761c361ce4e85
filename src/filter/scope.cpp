#include "filter/scope.h"

namespace sockvane::filter {
namespace {

bool IsPublicIpv4(uint32_t value) {
  const uint32_t a = value >> 24, b = (value >> 16) & 0xFF, c = (value >> 8) & 0xFF;
  if (a == 0 || a == 10 || a == 127 || a >= 224) return false;
  if (a == 100 && b >= 64 && b <= 127) return false;
  if (a == 169 && b == 254) return false;
  if (a == 172 && b >= 16 && b <= 31) return false;
  if (a == 192 && b == 168) return false;
  if (a == 192 && b == 0 && (c == 0 || c == 2)) return false;
  if (a == 192 && b == 88 && c == 99) return false;
  if (a == 198 && (b == 18 || b == 19)) return false;
  if (a == 198 && b == 51 && c == 100) return false;
  if (a == 203 && b == 0 && c == 113) return false;
  return true;
}

// The text rule on the text a row shows (RFC 5952): "::", "::1" and what
// begins "fe", "fc", "fd", "ff" or "2001:db8:" are not public. The first
// group is written without leading zeros, unless it is 0 ("0:" or "::" then).
bool IsPublicIpv6(const track::Address& address) {
  const unsigned first = unsigned{address[0]} << 8 | address[1];
  const unsigned second = unsigned{address[2]} << 8 | address[3];
  bool all_zero = true;
  for (int i = 0; i < 15; ++i) all_zero = all_zero && address[i] == 0;
  if (all_zero && address[15] <= 1) return false;  // "::" and "::1"
  if (first == 0x2001 && second == 0x0db8) return false;
  if (first == 0) return true;
  unsigned lead = first;  // the first two hex digits of the group as written
  while (lead > 0xFF) lead >>= 4;
  if (first < 0x10) return true;  // one digit only
  return lead != 0xfe && lead != 0xfc && lead != 0xfd && lead != 0xff;
}

}  // namespace

bool IsPublicDestination(const track::Address& address) {
  if (const std::optional<uint32_t> value = track::MappedIpv4(address)) return IsPublicIpv4(*value);
  return IsPublicIpv6(address);
}

}  // namespace sockvane::filter
