// Load and unload hooks of the shared object. At load the library records its own base address
// and registers itself; nothing else is set up (no device, no network session). At unload it
// first stops a recording that is still running, so that its file is finished, then undoes
// the registration. A process that exits during a recording runs the same unload hook.
#include <dlfcn.h>

#include "TolvexOmbriVoice.h"
#include "module/module_lifecycle.h"

namespace {

ExtensionModuleRecord gModule;  // zeroed until load

__attribute__((constructor)) void OnModuleLoad() {
  Dl_info info;
  if (dladdr(reinterpret_cast<const void*>(&OnModuleLoad), &info) == 0) {
    return;  // a shared object cannot refuse its load: it then stays unregistered
  }
  gModule.instanceHandle = info.dli_fbase;
  gModule.registered = true;
}

__attribute__((destructor)) void OnModuleUnload() {
  OmbriVoiceRecorderStop();  // -1, doing nothing, when no recording runs
  gModule.registered = false;
  gModule.instanceHandle = nullptr;
}

}  // namespace

const ExtensionModuleRecord& CurrentExtensionModule() { return gModule; }

bool KeepModuleLoadedForRecording() { return true; }
