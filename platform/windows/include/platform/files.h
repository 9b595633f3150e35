// CreateFileW, ReadFile, WriteFile, GetFileSizeEx, DeleteFileW and CloseHandle: kernel32's own.
#ifndef OMBRIVOICE_PLATFORM_FILES_H
#define OMBRIVOICE_PLATFORM_FILES_H

#include <windows.h>

#endif
