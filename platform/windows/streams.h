// _wfopen and _wremove: the C runtime's own, on the system's UTF-16 file names.
#ifndef OMBRIVOICE_PLATFORM_STREAMS_H
#define OMBRIVOICE_PLATFORM_STREAMS_H

#include <cstdio>
#include <cwchar>

#endif
