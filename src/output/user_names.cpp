#include "output/user_names.h"

#include "track/conn.h"
#include "track/text.h"

namespace sockvane::output {

const std::string& UserName(UserNames& users, uint32_t uid) {
  static const std::string kNone;
  if (uid == track::kNoUid) return kNone;
  auto it = users.names.find(uid);
  if (it != users.names.end()) return it->second;
  // Bounded: only root makes sockets of arbitrary users, and even so a run
  // keeps at most this many names.
  if (users.names.size() >= 4096) users.names.clear();
  std::optional<std::string> name = users.lookup(uid);
  return users.names.emplace(uid, name ? std::move(*name) : track::DecimalText(uid)).first->second;
}

}  // namespace sockvane::output
