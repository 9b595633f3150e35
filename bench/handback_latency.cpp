// Times the recorder's hand-back on the scripted capture device: from the moment a full buffer
// is returned (its MM_WIM_DATA callback is entered, on the capture thread) to the moment the
// recorder's worker thread has queued it again with waveInAddBuffer. Prints "buffers p50_us
// p99_us max_us".
//   ombrivoice_bench_handback BUFFERS WAV
// Linked with the tests' copy of the core and the linker's --wrap for waveInOpen and waveInAddBuffer (see
// CMakeLists.txt), so that the recorder's own calls pass through the timing shims below.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/scripted_capture_device.h"
#include "recorder/recorder.h"

namespace {

constexpr int kQuietWaitMs = 600000;  // upper bound for producing every buffer

constexpr int kHandBackWaitMs = 10000;  // the worker's last hand-back after the device is quiet

struct Timing {
  WaveInCallback recorderCallback;   // the recorder's callback, called from the shim
  std::vector<double> microseconds;  // one per hand-back, reserved before recording starts
  std::atomic<size_t> count;         // samples taken
  std::atomic<double> returnedAt;    // when the last data callback was entered; -1: none pending
};

Timing gTiming;

double NowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

void TimedCallback(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2) {
  if (message == MM_WIM_DATA) {
    gTiming.returnedAt.store(NowMicroseconds());
  }
  gTiming.recorderCallback(device, message, instance, param1, param2);
}

// Waits until every buffer's hand-back has been timed (the worker lags the device a little).
bool WaitForHandBacks(size_t buffers) {
  for (int waited = 0; waited < kHandBackWaitMs; ++waited) {
    if (gTiming.count.load() >= buffers) return true;
    usleep(1000);
  }
  return false;
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
  // Taken before the real call: once the buffer is queued, the next one may come back at once.
  double returnedAt = gTiming.returnedAt.exchange(-1);
  MMRESULT result = __real__Z15waveInAddBufferP12WaveInDeviceP7WAVEHDRj(device, header, size);
  size_t taken = gTiming.count.load();
  if (returnedAt >= 0 && taken < gTiming.microseconds.size()) {
    gTiming.microseconds[taken] = NowMicroseconds() - returnedAt;
    gTiming.count.store(taken + 1);
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
  gTiming.returnedAt.store(-1);
  ScriptedCaptureDevice script = {};
  script.totalBytes = static_cast<uint64_t>(buffers) * kCaptureBufferBytes;  // every buffer full
  WaveInUseScriptedDeviceForTesting(&script);
  std::string path = argv[2];
  std::u16string wide(path.begin(), path.end());
  if (OmbriVoiceRecorderStart(wide.c_str()) != OMBRIVOICE_OK) {
    fprintf(stderr, "recording did not start\n");
    return 1;
  }
  bool quiet = WaveInWaitUntilScriptedDeviceQuiet(kQuietWaitMs) && WaitForHandBacks(buffers);
  int32_t bytes = OmbriVoiceRecorderStop();
  if (!quiet || gTiming.count.load() != buffers || bytes != static_cast<int32_t>(script.totalBytes)) {
    fprintf(stderr, "took %zu of %zu hand-backs, %d bytes\n", gTiming.count.load(), buffers, bytes);
    return 1;
  }
  std::vector<double> sorted = gTiming.microseconds;
  std::sort(sorted.begin(), sorted.end());
  printf("%zu %.1f %.1f %.1f\n", buffers, Percentile(sorted, 0.50), Percentile(sorted, 0.99), sorted.back());
  return 0;
}
