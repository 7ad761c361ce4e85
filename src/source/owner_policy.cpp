#include "source/owner_policy.h"

#include <algorithm>

namespace sockvane::source {

bool MayHaveChanged(const ProcessLook& before, const ProcessLook& now) {
  // A kernel that keeps no run figures gives zeros: nothing to go by.
  if (!before.known || !now.known || now.run == RunTime{}) return true;
  return now.descriptors != before.descriptors || !(now.run == before.run);
}

bool BackstopDue(uint64_t poll, uint32_t pid) {
  return (poll + pid) % kBackstopPolls == 0;
}

uint64_t LinkBudget(int64_t gap_ms, int64_t spent_ms) {
  constexpr int64_t kMinMs = 100;
  if (gap_ms <= 0) return kUnlimited;
  const int64_t rest = gap_ms - std::clamp<int64_t>(spent_ms, 0, gap_ms);
  return static_cast<uint64_t>(std::max(kMinMs, rest)) * kLinksPerMs;
}

void OrderReads(std::vector<DueProcess> due, std::vector<uint32_t>& smallest_first,
                std::vector<uint32_t>& oldest_first) {
  smallest_first.clear();
  oldest_first.clear();
  std::sort(due.begin(), due.end(), [](const DueProcess& a, const DueProcess& b) {
    return a.descriptors != b.descriptors ? a.descriptors < b.descriptors : a.pid < b.pid;
  });
  for (const DueProcess& process : due) smallest_first.push_back(process.pid);
  std::stable_sort(due.begin(), due.end(),
                   [](const DueProcess& a, const DueProcess& b) { return a.read_at < b.read_at; });
  for (const DueProcess& process : due) oldest_first.push_back(process.pid);
}

void AddHolder(OwnerMap& owners, uint64_t inode, uint32_t pid) {
  auto [it, inserted] = owners.try_emplace(inode, pid);
  if (!inserted && pid < it->second) it->second = pid;
}

}  // namespace sockvane::source
