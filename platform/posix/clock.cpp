// The local clock as the eight-field date-and-time record.
#include "platform/clock.h"

#include <ctime>

#include "platform/test_hooks.h"

void GetLocalTime(SYSTEMTIME* time) {
  timespec now{};
  if (!TestStoppedClock(&now) && clock_gettime(CLOCK_REALTIME, &now) != 0) {
    now = timespec{};
  }
  tm local{};
  localtime_r(&now.tv_sec, &local);
  time->wYear = static_cast<WORD>(local.tm_year + 1900);
  time->wMonth = static_cast<WORD>(local.tm_mon + 1);
  time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  time->wDay = static_cast<WORD>(local.tm_mday);
  time->wHour = static_cast<WORD>(local.tm_hour);
  time->wMinute = static_cast<WORD>(local.tm_min);
  time->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);  // no leap second
  time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
