// Win32-shaped file calls on POSIX files. Paths are UTF-16 and become UTF-8 file names.
// A handle is used either for reading (through a read-ahead buffer) or for writing (through a
// write buffer), never both; a failed flush is reported by the write or the close that
// triggers it, never swallowed.
#ifndef OMBRIVOICE_PLATFORM_FILES_H
#define OMBRIVOICE_PLATFORM_FILES_H

#include "platform/win_types.h"

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

typedef union _LARGE_INTEGER {
  LONGLONG QuadPart;
} LARGE_INTEGER;

// Opens an existing regular file for reading (OPEN_EXISTING, GENERIC_READ), or creates or
// truncates a file for writing (CREATE_ALWAYS, GENERIC_WRITE, with GENERIC_READ or not); other
// combinations are refused. A read open takes only a regular file whose size is its length and
// never waits (a FIFO is refused at once). Of the sharing rules one holds: while a file is open
// for reading without FILE_SHARE_WRITE, this process cannot open it for writing, so it cannot be
// truncated under its reader. Security and template arguments are ignored. Returns
// INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, void* security,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);

// Reads up to bytesToRead bytes; *bytesRead is 0 at end of file. Retries interrupted and short
// reads, so fewer bytes than asked mean the end of the file was reached.
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped);

// Appends bytesToWrite bytes at the current position (through the handle's write buffer).
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped);

// The file's size in bytes.
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* fileSize);

// Removes a file. FALSE when it cannot be removed (or does not exist).
BOOL DeleteFileW(LPCWSTR fileName);

// CloseHandle (win_types.h) flushes and closes a file handle.

#endif
