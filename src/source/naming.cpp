#include "source/naming.h"

namespace sockvane::source {

uint16_t PortFromNetworkOrder(uint32_t value) {
  return static_cast<uint16_t>(((value & 0xFF) << 8) | ((value >> 8) & 0xFF));
}

std::string ProcessNameFromPath(std::string_view path, std::string_view separators) {
  const std::size_t last = path.find_last_of(separators);
  return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string ProcessNameFromExeLink(std::string_view link) {
  // An upgraded daemon runs from an unlinked file; it is still the same program.
  constexpr std::string_view kDeleted = " (deleted)";
  if (link.ends_with(kDeleted)) link.remove_suffix(kDeleted.size());
  return ProcessNameFromPath(link, kLinuxPathSeparators);
}

}  // namespace sockvane::source
