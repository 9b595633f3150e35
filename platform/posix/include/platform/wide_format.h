// The wide formatted print for UTF-16 buffers. It knows the conversions the module uses:
// %ls (a UTF-16 string), %d with an optional 0 flag and width, and %%.
#ifndef OMBRIVOICE_PLATFORM_WIDE_FORMAT_H
#define OMBRIVOICE_PLATFORM_WIDE_FORMAT_H

#include "platform/win_types.h"

// Writes at most count code units including the NUL. Returns the number of code units written
// without the NUL, or -1 when the text does not fit or the format is not understood (the buffer
// then holds an empty string).
int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);

#endif
