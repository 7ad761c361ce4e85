#include "platform/users.h"

namespace sockvane::platform {

// Windows rows carry no user ID.
std::optional<std::string> UserNameOf(uint32_t) {
  return std::nullopt;
}

}  // namespace sockvane::platform
