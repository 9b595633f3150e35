// SRWLOCK, events, threads and WaitForSingleObject: kernel32's own.
#ifndef OMBRIVOICE_PLATFORM_SYNCHRONIZATION_H
#define OMBRIVOICE_PLATFORM_SYNCHRONIZATION_H

#include <windows.h>

#endif
