// Unload hook of the shared object. Nothing is set up at load (no device, no network session).
// At unload it stops a recording that is still running, so that its file is finished. A
// process that exits during a recording runs the same unload hook.
#include "TolvexOmbriVoice.h"
#include "module/module_lifecycle.h"

namespace {

__attribute__((destructor)) void OnModuleUnload() {
  OmbriVoiceRecorderStop();  // -1, doing nothing, when no recording runs
}

}  // namespace

bool KeepModuleLoadedForRecording() { return true; }
