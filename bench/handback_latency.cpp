// Times the recorder's hand-back on the scripted capture device: from the moment a full buffer
// is returned (its MM_WIM_DATA callback is entered) to the moment waveInAddBuffer has queued it
// again. Prints "buffers p50_us p99_us max_us".
//   ombrivoice_bench_handback BUFFERS WAV
// Linked with the static core and the linker's --wrap for waveInOpen and waveInAddBuffer (see
// CMakeLists.txt), so that the recorder's own calls pass through the timing shims below.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "platform/wave_in_testing.h"
#include "recorder/recorder.h"

namespace {

constexpr int kQuietWaitMs = 600000;  // upper bound for producing every buffer

struct Timing {
  WaveInCallback recorderCallback;   // the recorder's callback, called from the shim
  std::vector<double> microseconds;  // one per hand-back, reserved before recording starts
  size_t count;                      // samples taken
};

Timing gTiming;
thread_local double tReturnedAt = -1;  // when the callback on this thread was entered

double NowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

void TimedCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
  tReturnedAt = message == MM_WIM_DATA ? NowMicroseconds() : -1;
  gTiming.recorderCallback(device, message, instance, param1, param2);
  tReturnedAt = -1;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  size_t at = static_cast<size_t>(fraction * (sorted.size() - 1) + 0.5);
  return sorted[at];
}

}  // namespace

// The mangled names of the two C++ functions wrapped (wave_in.h gives them C++ linkage).
extern "C" MMRESULT __real__Z10waveInOpenPP12WaveInDevicejPK12WAVEFORMATEXmmj(
    HWAVEIN*, UINT, const WAVEFORMATEX*, DWORD_PTR, DWORD_PTR, DWORD);
extern "C" MMRESULT __real__Z15waveInAddBufferP12WaveInDeviceP7WAVEHDRj(HWAVEIN, WAVEHDR*, UINT);

extern "C" MMRESULT __wrap__Z10waveInOpenPP12WaveInDevicejPK12WAVEFORMATEXmmj(
    HWAVEIN* device, UINT id, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR instance,
    DWORD flags) {
  gTiming.recorderCallback = reinterpret_cast<WaveInCallback>(callback);
  return __real__Z10waveInOpenPP12WaveInDevicejPK12WAVEFORMATEXmmj(
      device, id, format, reinterpret_cast<DWORD_PTR>(TimedCallback), instance, flags);
}

extern "C" MMRESULT __wrap__Z15waveInAddBufferP12WaveInDeviceP7WAVEHDRj(HWAVEIN device, WAVEHDR* header,
                                                                        UINT size) {
  MMRESULT result = __real__Z15waveInAddBufferP12WaveInDeviceP7WAVEHDRj(device, header, size);
  if (tReturnedAt >= 0 && gTiming.count < gTiming.microseconds.size()) {
    gTiming.microseconds[gTiming.count++] = NowMicroseconds() - tReturnedAt;
  }
  return result;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s BUFFERS WAV\n", argv[0]);
    return 2;
  }
  size_t buffers = strtoul(argv[1], nullptr, 10);
  gTiming.microseconds.assign(buffers, 0.0);
  ScriptedCaptureDevice script = {};
  script.totalBytes = static_cast<uint64_t>(buffers) * kCaptureBufferBytes;  // every buffer full
  WaveInUseScriptedDeviceForTesting(&script);
  std::string path = argv[2];
  std::u16string wide(path.begin(), path.end());
  if (OmbriVoiceRecorderStart(wide.c_str()) != OMBRIVOICE_OK) {
    fprintf(stderr, "recording did not start\n");
    return 1;
  }
  bool quiet = WaveInWaitUntilScriptedDeviceQuiet(kQuietWaitMs);
  int32_t bytes = OmbriVoiceRecorderStop();
  if (!quiet || gTiming.count != buffers || bytes != static_cast<int32_t>(script.totalBytes)) {
    fprintf(stderr, "took %zu of %zu hand-backs, %d bytes\n", gTiming.count, buffers, bytes);
    return 1;
  }
  std::vector<double> sorted = gTiming.microseconds;
  std::sort(sorted.begin(), sorted.end());
  printf("%zu %.1f %.1f %.1f\n", buffers, Percentile(sorted, 0.50), Percentile(sorted, 0.99), sorted.back());
  return 0;
}
