// What the library's load and unload hooks give the rest of the module. Each platform has its
// own load and unload file (module_lifecycle_posix.cpp, _windows.cpp).
#ifndef OMBRIVOICE_MODULE_LIFECYCLE_H
#define OMBRIVOICE_MODULE_LIFECYCLE_H

// Called by every start before it sets anything up. Where unloading cannot stop a recording
// safely (Windows: the loader lock is held), the library is pinned: from its first recording on
// it stays loaded until the process ends, so that neither the audio system's callback, the
// recording's thread nor a stop called after FreeLibrary can find it gone. Where the unload
// hook stops the recording (POSIX), nothing is needed. False if the library cannot be pinned.
bool KeepModuleLoadedForRecording();

#endif
