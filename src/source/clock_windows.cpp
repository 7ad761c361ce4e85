#include <windows.h>

#include "source/clock.h"
#include "source/naming.h"
#include "track/day_count.h"

namespace sockvane::source {

double NowDays() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  track::CivilTime civil;
  civil.year = now.wYear;
  civil.month = now.wMonth;
  civil.day = now.wDay;
  civil.hour = now.wHour;
  civil.minute = now.wMinute;
  civil.second = now.wSecond;
  civil.millisecond = now.wMilliseconds;
  return track::DaysFromCivil(civil);
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

}  // namespace sockvane::source
