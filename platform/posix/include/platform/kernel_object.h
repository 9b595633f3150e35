// Every HANDLE of this binding points at a record that begins with its kind, so that
// CloseHandle and WaitForSingleObject can tell files, events and threads apart.
#ifndef OMBRIVOICE_PLATFORM_KERNEL_OBJECT_H
#define OMBRIVOICE_PLATFORM_KERNEL_OBJECT_H

#include "platform/win_types.h"

enum class KernelObjectKind : uint32_t {
  File = 0x454C4946,    // "FILE"
  Event = 0x544E5645,   // "EVNT"
  Thread = 0x44524854,  // "THRD"
};

// The kind a valid handle carries; nullptr and INVALID_HANDLE_VALUE carry none.
bool HandleIsKind(HANDLE handle, KernelObjectKind kind);

// The per-kind halves of CloseHandle.
BOOL CloseFileObject(HANDLE file);
BOOL CloseSyncObject(HANDLE eventOrThread);

#endif
