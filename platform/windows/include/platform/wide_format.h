// swprintf: the C runtime's ISO form (buffer, count, format, ...), where %ls is a wide string.
#ifndef OMBRIVOICE_PLATFORM_WIDE_FORMAT_H
#define OMBRIVOICE_PLATFORM_WIDE_FORMAT_H

#include <cwchar>

#endif
