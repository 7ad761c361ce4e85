#include "platform/std_streams.h"

namespace sockvane::platform {

std::size_t WholeLinesPrefix(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text.size();
  const std::size_t last = text.rfind('\n', limit - 1);
  if (last != std::string_view::npos) return last + 1;
  const std::size_t first = text.find('\n', limit);
  return first == std::string_view::npos ? text.size() : first + 1;
}

}  // namespace sockvane::platform
