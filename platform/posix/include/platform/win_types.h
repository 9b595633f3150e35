// The handful of Win32 type names, constants and macros that the module's calls are written
// with, mapped onto fixed-width types. Wide characters are always 16-bit UTF-16 code units.
#ifndef OMBRIVOICE_PLATFORM_WIN_TYPES_H
#define OMBRIVOICE_PLATFORM_WIN_TYPES_H

#include <cstddef>
#include <cstdint>

typedef int32_t BOOL;
typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t DWORD_PTR;
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef void* LPVOID;
typedef void* HANDLE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A wide string literal: TEXT("abc") is u"abc" here and L"abc" on Windows, where WCHAR is
// wchar_t. The argument is expanded first, so TEXT(SOME_MACRO) works for a string macro.
#define OMBRIVOICE_WIDE_LITERAL(quote) u##quote
#define TEXT(quote) OMBRIVOICE_WIDE_LITERAL(quote)

// Calling-convention markers of callbacks and thread functions: one convention on this platform.
#define CALLBACK
#define WINAPI

// A file handle that names no file.
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Releases a file, event or thread handle. For a file it flushes first; FALSE if the flush or
// the close failed. The handle is gone either way.
BOOL CloseHandle(HANDLE object);

#endif
