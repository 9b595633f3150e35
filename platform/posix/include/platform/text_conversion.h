// UTF-16 to narrow text. Both code pages known here, CP_UTF8 and the "ANSI code page" CP_ACP,
// are UTF-8, whatever the host's locale.
#ifndef OMBRIVOICE_PLATFORM_TEXT_CONVERSION_H
#define OMBRIVOICE_PLATFORM_TEXT_CONVERSION_H

#include "platform/win_types.h"

#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_ERR_INVALID_CHARS 0x80u  // fail on a lone surrogate (this conversion always does)

// Converts wideLength code units (-1: up to and including the NUL) of UTF-16 into UTF-8.
// Returns the number of bytes written (counting the NUL when it was converted), or 0 when the
// text holds a lone surrogate, the output does not fit, or the code page is not CP_ACP/CP_UTF8.
// With narrowCapacity 0 it returns the size needed and writes nothing.
int WideCharToMultiByte(DWORD codePage, DWORD flags, LPCWSTR wideText, int wideLength,
                        char* narrowText, int narrowCapacity, const char* defaultChar,
                        BOOL* usedDefaultChar);

// Length of a NUL-terminated UTF-16 string, in code units.
size_t WideLength(LPCWSTR text);

constexpr size_t kFileNameBytes = 4096;  // the longest file name a file call takes: PATH_MAX

// Converts a NUL-terminated UTF-16 path into a NUL-terminated UTF-8 file name. Returns false for
// an empty path, a lone surrogate or a name that does not fit capacity bytes.
bool WidePathToUtf8(LPCWSTR path, char* fileName, size_t capacity);

#endif
