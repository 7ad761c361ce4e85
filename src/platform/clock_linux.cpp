#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <cerrno>

#include "platform/clock.h"

namespace sockvane::platform {

int64_t SteadyMs() {
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

CivilTime LocalTime(LocalTimeCache& cache) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec != cache.second) {
    tm local{};
    if (localtime_r(&now.tv_sec, &local) == nullptr) return CivilTime{};
    // Leap seconds (tm_sec 60) fold into the last second of the minute.
    cache.fields = CivilTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                             local.tm_hour,        local.tm_min,     local.tm_sec > 59 ? 59 : local.tm_sec};
    cache.second = now.tv_sec;
  }
  CivilTime time = cache.fields;
  time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return time;
}

void PauseMs(uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::string TimeSeparator() {
  locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return ":";
  std::string format = nl_langinfo_l(T_FMT, locale);
  freelocale(locale);
  return TimeSeparatorFromFormat(format);
}

}  // namespace sockvane::platform
