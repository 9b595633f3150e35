// The module's own record of itself: filled in when the library is loaded, cleared when it is
// unloaded. It stands in for an extension-library registration with a host framework. Each
// platform has its own load and unload file (module_lifecycle_posix.cpp, _windows.cpp).
#ifndef OMBRIVOICE_MODULE_LIFECYCLE_H
#define OMBRIVOICE_MODULE_LIFECYCLE_H

struct ExtensionModuleRecord {
  const void* instanceHandle;  // the library's own handle: its base address
  bool registered;             // true from load to unload
};

// The record; read-only for everyone but the load and unload hooks.
const ExtensionModuleRecord& CurrentExtensionModule();

// Called by a start that returned 999, and by its stop. Where unloading cannot stop a recording
// safely (Windows: the loader lock is held), the library stays loaded until the stop; where the
// unload hook stops it (POSIX), these do nothing.
void HoldModuleForRecording();
void ReleaseModuleAfterRecording();

#endif
