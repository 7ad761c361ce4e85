#include <windows.h>

#include "platform/clock.h"

namespace sockvane::platform {

// Counts time asleep and hibernated too, as the Linux clock does.
int64_t SteadyMs() {
  return static_cast<int64_t>(GetTickCount64());
}

CivilTime LocalTime(LocalTimeCache&) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return CivilTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void PauseMs(uint32_t milliseconds) {
  Sleep(milliseconds);
}

std::string TimeSeparator() {
  char separator[16] = {};
  // The count includes the terminating NUL; 0 means no setting could be read.
  const int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, sizeof(separator));
  if (length <= 1) return ":";
  std::string text(separator, static_cast<std::size_t>(length - 1));
  return IsUsableTimeSeparator(text) ? text : ":";
}

}  // namespace sockvane::platform
