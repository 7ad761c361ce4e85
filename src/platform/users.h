// The user database: the name of a user ID.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sockvane::platform {

// The login name of `uid`; nullopt when the database has none (or the
// platform gives sockets no user ID).
std::optional<std::string> UserNameOf(uint32_t uid);

}  // namespace sockvane::platform
