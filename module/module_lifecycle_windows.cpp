// DllMain of the Windows DLL. Nothing is set up at process attach, and thread attach and detach
// do nothing.
//
// Unloading during a recording: DllMain runs under the loader lock, where stopping the device
// would wait for the audio system's thread and hang FreeLibrary. So the first recording pins
// the library (KeepModuleLoadedForRecording): FreeLibrary then returns at once, the recording
// goes on, and a stop still reaches it, however the host got there. A process that exits during a
// recording arrives here with its other threads already gone, perhaps in the middle of an
// append and holding the stream's lock; the file is then finished through its system handle,
// without the device, the recorder's locks or the stream's.
#include <windows.h>

#include <io.h>

#include "module/module_lifecycle.h"
#include "recorder/recorder.h"

namespace {

// Writes the header for the audio the file holds (whole samples after the 44 header bytes) over
// its start. The system closes the file as the process ends.
void FinishRecordingAtProcessExit() {
  FILE* stream = RunningRecordingStream();
  if (stream == nullptr) {
    return;
  }
  HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  const LONGLONG headerBytes = static_cast<LONGLONG>(kWaveHeaderBytes);
  LARGE_INTEGER size;
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart < headerBytes) {
    return;
  }
  LONGLONG audio = size.QuadPart - headerBytes;
  uint32_t count = static_cast<uint32_t>(audio < kMaxDataBytes ? audio : kMaxDataBytes) & ~1u;
  WaveFileHeader header;
  FillWaveFileHeader(&header, count);
  OVERLAPPED atStart = {};  // offset 0, written where it says whatever the file position
  DWORD written = 0;
  WriteFile(file, header.bytes, kWaveHeaderBytes, &written, &atStart);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // At process detach with reserved set the process is ending, not FreeLibrary.
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
    FinishRecordingAtProcessExit();
  }
  return TRUE;
}

bool KeepModuleLoadedForRecording() {
  HMODULE self = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&KeepModuleLoadedForRecording), &self) != FALSE;
}
