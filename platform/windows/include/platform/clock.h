// GetLocalTime and SYSTEMTIME: kernel32's own.
#ifndef OMBRIVOICE_PLATFORM_CLOCK_H
#define OMBRIVOICE_PLATFORM_CLOCK_H

#include <windows.h>

#endif
