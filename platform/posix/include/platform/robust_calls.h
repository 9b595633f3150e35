// The file system calls of the POSIX bindings, each retried where a signal interrupts it, so
// that no caller writes its own EINTR loop. close() is never retried: on Linux the descriptor
// is gone even when close reports EINTR.
#ifndef OMBRIVOICE_PLATFORM_ROBUST_CALLS_H
#define OMBRIVOICE_PLATFORM_ROBUST_CALLS_H

#include <sys/types.h>

#include <cstddef>

// open() with O_CLOEXEC added: the descriptor, or -1.
int RobustOpen(const char* fileName, int flags, mode_t mode = 0);

// One read() of up to length bytes: the bytes read, 0 at the end, -1 on error.
ssize_t RobustRead(int descriptor, void* out, size_t length);

// write() until every byte is written: false on an error or a write that takes nothing.
bool RobustWriteAll(int descriptor, const void* bytes, size_t length);

#endif
