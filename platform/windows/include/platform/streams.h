// _wfopen and _wremove: the C runtime's own, on the system's UTF-16 file names; and whether a
// stream is on a disk file rather than a device such as NUL.
#ifndef OMBRIVOICE_PLATFORM_STREAMS_H
#define OMBRIVOICE_PLATFORM_STREAMS_H

#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cwchar>

// Whether the stream is on a disk file, which may be removed again when what it was opened
// for fails.
inline bool StreamIsRegularFile(FILE* stream) {
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  return file != INVALID_HANDLE_VALUE && GetFileType(file) == FILE_TYPE_DISK;
}

#endif
