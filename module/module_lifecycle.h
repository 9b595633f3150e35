// The module's own record of itself: filled in when the library is loaded, cleared when it is
// unloaded. It stands in for an extension-library registration with a host framework.
#ifndef OMBRIVOICE_MODULE_LIFECYCLE_H
#define OMBRIVOICE_MODULE_LIFECYCLE_H

struct ExtensionModuleRecord {
  const void* instanceHandle;  // base address the library is mapped at
  const char* fileName;        // the file it was loaded from, as the loader reports it
  bool registered;             // true from load to unload
};

// The record; read-only for everyone but the load and unload hooks.
const ExtensionModuleRecord& CurrentExtensionModule();

#endif
