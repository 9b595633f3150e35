// C-runtime stream calls with UTF-16 paths: the file is opened or removed under its UTF-8
// name, and the stream is then used with the standard fwrite, fsetpos and fclose.
#ifndef OMBRIVOICE_PLATFORM_STREAMS_H
#define OMBRIVOICE_PLATFORM_STREAMS_H

#include <cstdio>

#include "platform/win_types.h"

// Opens path with an fopen mode given in UTF-16 ("wb", "rb"...). Null when the path or mode
// cannot be converted or the file cannot be opened.
FILE* _wfopen(LPCWSTR path, LPCWSTR mode);

// Removes the file at path; 0 on success, -1 otherwise.
int _wremove(LPCWSTR path);

// Whether the stream is on a regular file (not a device such as /dev/null, nor a FIFO), which
// may be removed again when what it was opened for fails.
bool StreamIsRegularFile(FILE* stream);

#endif
