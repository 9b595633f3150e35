// The handful of Win32 type names and constants that the module's calls are written with,
// mapped onto fixed-width types. Wide characters are always 16-bit UTF-16 code units.
#ifndef OMBRIVOICE_PLATFORM_WIN_TYPES_H
#define OMBRIVOICE_PLATFORM_WIN_TYPES_H

#include <cstddef>
#include <cstdint>

typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int64_t LONGLONG;
typedef uintptr_t DWORD_PTR;
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A file handle that names no file.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#endif
