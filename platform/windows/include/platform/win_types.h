// The Win32 types, TEXT() and calling conventions come from the platform itself. The build
// defines UNICODE, so TEXT("...") is a wchar_t literal and WCHAR the 16-bit wchar_t.
#ifndef OMBRIVOICE_PLATFORM_WIN_TYPES_H
#define OMBRIVOICE_PLATFORM_WIN_TYPES_H

#include <windows.h>

#endif
