// Win32-shaped locks, events and threads on pthreads: what the recorder needs to run its
// capture work on a thread of its own, signalled by the capture callback.
#ifndef OMBRIVOICE_PLATFORM_SYNCHRONIZATION_H
#define OMBRIVOICE_PLATFORM_SYNCHRONIZATION_H

#include <pthread.h>

#include "platform/win_types.h"

// A lock that needs no set-up: a static SRWLOCK initialised with SRWLOCK_INIT is ready.
typedef struct {
  pthread_mutex_t mutex;
} SRWLOCK;
#define SRWLOCK_INIT {PTHREAD_MUTEX_INITIALIZER}

void AcquireSRWLockExclusive(SRWLOCK* lock);
void ReleaseSRWLockExclusive(SRWLOCK* lock);

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

// An event: a manual-reset one stays signalled once set; an auto-reset one lets one wait
// through and unsignals itself. Security and name are not supported (must be null). Returns
// nullptr on failure.
HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);

// Starts start(parameter) on a new thread (flags must be 0). The handle is signalled when the
// thread has ended. Closing it waits for the thread to end (Windows would let it run on), so
// wait for the thread before closing. Returns nullptr on failure.
HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId);

// Waits until the event is signalled or the thread has ended. Only INFINITE is supported.
// WAIT_OBJECT_0, or WAIT_FAILED for a handle that cannot be waited on.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

#endif
