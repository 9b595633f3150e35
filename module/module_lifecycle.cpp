// Load and unload hooks. At load the library records its own handle and registers itself;
// nothing else is set up (no device, no network session). At unload it undoes that.
#include "module/module_lifecycle.h"

#include <dlfcn.h>

namespace {

ExtensionModuleRecord gModule;  // zeroed until load

__attribute__((constructor)) void OnModuleLoad() {
  Dl_info info;
  if (dladdr(reinterpret_cast<const void*>(&OnModuleLoad), &info) == 0) {
    return;  // a shared object cannot refuse its load: it then stays unregistered
  }
  gModule.instanceHandle = info.dli_fbase;
  gModule.fileName = info.dli_fname;
  gModule.registered = true;
}

__attribute__((destructor)) void OnModuleUnload() {
  gModule.registered = false;
  gModule.instanceHandle = nullptr;
  gModule.fileName = nullptr;
}

}  // namespace

const ExtensionModuleRecord& CurrentExtensionModule() { return gModule; }
