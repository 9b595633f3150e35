// The platform's eight-field date-and-time record, read from the local clock.
#ifndef OMBRIVOICE_PLATFORM_CLOCK_H
#define OMBRIVOICE_PLATFORM_CLOCK_H

#include "platform/win_types.h"

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;         // 1 to 12
  WORD wDayOfWeek;     // 0 = Sunday
  WORD wDay;           // 1 to 31
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME;

// The current local date and time (the time zone comes from TZ, never from the locale).
void GetLocalTime(SYSTEMTIME* time);

#endif
