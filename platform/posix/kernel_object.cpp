// CloseHandle for every kind of handle, and the kind test the bindings share.
#include "platform/kernel_object.h"

bool HandleIsKind(HANDLE handle, KernelObjectKind kind) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  return *static_cast<const KernelObjectKind*>(handle) == kind;
}

BOOL CloseHandle(HANDLE object) {
  if (HandleIsKind(object, KernelObjectKind::File)) {
    return CloseFileObject(object);
  }
  if (HandleIsKind(object, KernelObjectKind::Event) || HandleIsKind(object, KernelObjectKind::Thread)) {
    return CloseSyncObject(object);
  }
  return FALSE;
}
