// The names of the user IDs rows carry, each looked up once in a run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/users.h"

namespace sockvane::output {

struct UserNames {
  std::optional<std::string> (*lookup)(uint32_t uid) = platform::UserNameOf;
  std::unordered_map<uint32_t, std::string> names;
};

// The name of `uid`, its decimal number when the database has none, "" for
// track::kNoUid.
const std::string& UserName(UserNames& users, uint32_t uid);

}  // namespace sockvane::output
