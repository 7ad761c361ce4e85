#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/users.h"

namespace sockvane::platform {

std::optional<std::string> UserNameOf(uint32_t uid) {
  const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  passwd entry{};
  passwd* found = nullptr;
  // A database entry larger than the suggestion: grow, within reason.
  while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') return std::nullopt;
  return std::string(found->pw_name);
}

}  // namespace sockvane::platform
