// The Windows table has no destroy notifications: polling alone.
#include "platform/clock.h"
#include "source/short_lived.h"

namespace sockvane::source {

std::string StartShortLived() {
  return "";
}

void ReadShortLived(const RowConsumer&) {}

void PauseShortLived(uint32_t milliseconds) {
  platform::PauseMs(milliseconds);
}

std::string ShortLivedLossNotice() {
  return "";
}

}  // namespace sockvane::source
