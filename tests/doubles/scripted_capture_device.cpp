// The scripted capture device, and the tests' choice between it and ALSA. It produces a known
// byte pattern at a scripted pace and fails the calls it is told to.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/test_hooks.h"
#include "platform/wave_in_source.h"
#include "doubles/scripted_capture_device.h"

namespace {

constexpr uint32_t kPatternSamples = 32749;                // a prime: no buffer size divides it
constexpr uint32_t kPatternBytes = kPatternSamples * 2;    // one turn of the pattern
constexpr uint32_t kDefaultBytesPerRead = 4410;            // 25 ms at 44100 Hz, 16-bit mono
constexpr unsigned kIdleMicroseconds = 1000;               // pause of a silent read
constexpr unsigned kPollMicroseconds = 500;                // pause while holding a buffer
constexpr int kLongestHangMs = 60000;                      // a hang or a wait for a wake-up
                                                           // ends by itself after this

struct ScriptedState {
  pthread_mutex_t lock;            // guards every field below
  pthread_cond_t changed;          // broadcast when quiet or holding become true
  bool inUse;                      // the next open uses the script instead of ALSA
  bool deviceOpen;                 // the device is open on the script
  ScriptedCaptureDevice script;    // what to do
  uint32_t openCalls;              // opens since the script was set
  uint64_t produced;               // bytes produced since the last open
  uint32_t addBufferCalls;         // waveInAddBuffer calls since the last open
  uint32_t fullBuffers;            // full buffers returned since the last open
  bool quiet;                      // a read came after all bytes were produced
  bool holding;                    // the held buffer is being held
  uint32_t readCalls;              // reads since the last open
  bool woken;                      // wake was called and no read has consumed it yet
  bool hanging;                    // the scripted call is hanging
  bool released;                   // hangs are over (since the script was set)
};

ScriptedState gScripted = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false, false,
                           ScriptedCaptureDevice(), 0, 0, 0, 0, false, false, 0, false, false,
                           false};
uint8_t gPattern[kPatternBytes];  // one turn of the pattern, filled once
pthread_once_t gPatternOnce = PTHREAD_ONCE_INIT;

void FillPattern() {
  for (uint32_t sample = 0; sample < kPatternSamples; ++sample) {
    gPattern[2 * sample] = static_cast<uint8_t>(sample & 0xFF);
    gPattern[2 * sample + 1] = static_cast<uint8_t>(sample >> 8);
  }
}

// Copies the pattern's bytes [offset, offset + count) to destination.
void CopyPattern(char* destination, uint64_t offset, uint32_t count) {
  pthread_once(&gPatternOnce, FillPattern);
  while (count > 0) {
    uint32_t at = static_cast<uint32_t>(offset % kPatternBytes);
    uint32_t piece = kPatternBytes - at < count ? kPatternBytes - at : count;
    memcpy(destination, gPattern + at, piece);
    destination += piece;
    offset += piece;
    count -= piece;
  }
}

// A deadline timeoutMs from now on the real-time clock, which the condition variable uses.
timespec DeadlineAfter(int timeoutMs) {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return deadline;
}

// Waits, lock held, until *flag is true or timeoutMs passes; whether it is.
bool WaitLockedForFlag(const bool* flag, int timeoutMs) {
  timespec deadline = DeadlineAfter(timeoutMs);
  int waited = 0;
  while (!*flag && waited == 0) {
    waited = pthread_cond_timedwait(&gScripted.changed, &gScripted.lock, &deadline);
  }
  return *flag;
}

// The scripted call hangs here until released. Lock held.
void HangIfScripted(ScriptedHang call) {
  if (gScripted.script.hangIn != call || gScripted.released) return;
  gScripted.hanging = true;
  pthread_cond_broadcast(&gScripted.changed);
  WaitLockedForFlag(&gScripted.released, kLongestHangMs);
  gScripted.hanging = false;
}

MMRESULT OpenScripted(const WAVEFORMATEX*) {
  pthread_mutex_lock(&gScripted.lock);
  HangIfScripted(ScriptedHang::kOpen);
  gScripted.openCalls += 1;
  gScripted.deviceOpen = gScripted.script.openResult == MMSYSERR_NOERROR;
  gScripted.produced = 0;
  gScripted.addBufferCalls = 0;
  gScripted.fullBuffers = 0;
  gScripted.quiet = false;
  gScripted.holding = false;
  gScripted.readCalls = 0;
  MMRESULT result = gScripted.script.openResult;
  pthread_mutex_unlock(&gScripted.lock);
  return result;
}

MMRESULT StartScripted() {
  pthread_mutex_lock(&gScripted.lock);
  HangIfScripted(ScriptedHang::kStart);
  MMRESULT result = gScripted.script.startResult;
  pthread_mutex_unlock(&gScripted.lock);
  return result;
}

// A read after the total: what the script says. Lock held.
long ReadAfterTotal() {
  gScripted.quiet = true;
  pthread_cond_broadcast(&gScripted.changed);
  switch (gScripted.script.afterTotal) {
    case ScriptedEnd::kSilentUntilWoken:
      WaitLockedForFlag(&gScripted.woken, kLongestHangMs);
      gScripted.woken = false;
      return 0;
    case ScriptedEnd::kOverruns:
      return kSourceOverrun;
    case ScriptedEnd::kFails:
      return -1;
    case ScriptedEnd::kSilent:
      break;
  }
  pthread_mutex_unlock(&gScripted.lock);
  usleep(kIdleMicroseconds);
  pthread_mutex_lock(&gScripted.lock);
  return 0;
}

long ReadScripted(char* destination, DWORD maxBytes) {
  pthread_mutex_lock(&gScripted.lock);
  gScripted.readCalls += 1;
  uint64_t offset = gScripted.produced;
  uint64_t left = gScripted.script.totalBytes - offset;
  uint32_t count = gScripted.script.bytesPerRead != 0 ? gScripted.script.bytesPerRead
                                                      : kDefaultBytesPerRead;
  unsigned pause = gScripted.script.microsecondsPerRead;
  if (left == 0) {
    long result = ReadAfterTotal();
    pthread_mutex_unlock(&gScripted.lock);
    return result;
  }
  pthread_mutex_unlock(&gScripted.lock);
  if (count > maxBytes) count = maxBytes;
  if (count > left) count = static_cast<uint32_t>(left);
  if (pause > 0) {
    usleep(pause);
  }
  CopyPattern(destination, offset, count);
  pthread_mutex_lock(&gScripted.lock);
  gScripted.produced += count;
  pthread_mutex_unlock(&gScripted.lock);
  return count;
}

void WakeScripted() {
  pthread_mutex_lock(&gScripted.lock);
  gScripted.woken = true;
  pthread_cond_broadcast(&gScripted.changed);
  pthread_mutex_unlock(&gScripted.lock);
}

void StopScripted() {
  pthread_mutex_lock(&gScripted.lock);
  HangIfScripted(ScriptedHang::kStop);
  pthread_mutex_unlock(&gScripted.lock);
}

void CloseScripted() {
  pthread_mutex_lock(&gScripted.lock);
  gScripted.deviceOpen = false;
  pthread_mutex_unlock(&gScripted.lock);
}

const CaptureSource kScriptedCaptureSource = {OpenScripted, StartScripted, ReadScripted,
                                              WakeScripted, StopScripted, CloseScripted};

// Waits until *flag is true or timeoutMs passes.
bool WaitForFlag(const bool* flag, int timeoutMs) {
  pthread_mutex_lock(&gScripted.lock);
  bool reached = WaitLockedForFlag(flag, timeoutMs);
  pthread_mutex_unlock(&gScripted.lock);
  return reached;
}

}  // namespace

const CaptureSource* TestCaptureSource() {
  pthread_mutex_lock(&gScripted.lock);
  const CaptureSource* source = gScripted.inUse ? &kScriptedCaptureSource : nullptr;
  pthread_mutex_unlock(&gScripted.lock);
  return source;
}

// While the device is open on the script, counts one more call in *counter and says whether it
// is the scripted one (numbered from 1; 0 names none). Called with the lock held.
bool CountsToScripted(uint32_t* counter, uint32_t scripted) {
  if (!gScripted.deviceOpen) return false;
  *counter += 1;
  return *counter == scripted;
}

// The scripted queueing fails.
MMRESULT TestAdmitBuffer() {
  pthread_mutex_lock(&gScripted.lock);
  bool fails = CountsToScripted(&gScripted.addBufferCalls, gScripted.script.failingAddBufferCall);
  pthread_mutex_unlock(&gScripted.lock);
  return fails ? MMSYSERR_ERROR : MMSYSERR_NOERROR;
}

// The scripted full buffer is held until a waveInReset asks for it.
void TestBeforeFullBufferReturn() {
  pthread_mutex_lock(&gScripted.lock);
  bool hold = CountsToScripted(&gScripted.fullBuffers, gScripted.script.heldFullBuffer);
  if (gScripted.deviceOpen) {
    gScripted.holding = hold;
    pthread_cond_broadcast(&gScripted.changed);
  }
  pthread_mutex_unlock(&gScripted.lock);
  while (hold && !WaveInResetPending()) {
    usleep(kPollMicroseconds);
  }
}

void WaveInUseScriptedDeviceForTesting(const ScriptedCaptureDevice* script) {
  pthread_mutex_lock(&gScripted.lock);
  gScripted.inUse = script != nullptr;
  gScripted.script = script != nullptr ? *script : ScriptedCaptureDevice();
  gScripted.openCalls = 0;
  gScripted.woken = false;
  gScripted.released = false;
  pthread_mutex_unlock(&gScripted.lock);
}

uint8_t ScriptedCaptureByte(uint64_t offset) {
  pthread_once(&gPatternOnce, FillPattern);
  return gPattern[offset % kPatternBytes];
}

bool WaveInWaitUntilScriptedDeviceQuiet(int timeoutMs) {
  return WaitForFlag(&gScripted.quiet, timeoutMs);
}

bool WaveInWaitUntilScriptedBufferHeld(int timeoutMs) {
  return WaitForFlag(&gScripted.holding, timeoutMs);
}

bool WaveInWaitUntilScriptedHanging(int timeoutMs) { return WaitForFlag(&gScripted.hanging, timeoutMs); }

bool WaveInScriptedHanging() { return ReadLocked(&gScripted.lock, &gScripted.hanging); }

void WaveInReleaseScriptedHang() {
  pthread_mutex_lock(&gScripted.lock);
  gScripted.released = true;
  pthread_cond_broadcast(&gScripted.changed);
  pthread_mutex_unlock(&gScripted.lock);
}

bool WaveInWaitUntilCaptureThreadEnded(int timeoutMs) {
  for (int waited = 0; WaveInCaptureThreadAlive(); ++waited) {
    if (waited >= timeoutMs) return false;
    usleep(1000);
  }
  return true;
}

uint32_t WaveInScriptedReadCalls() { return ReadLocked(&gScripted.lock, &gScripted.readCalls); }

uint64_t WaveInScriptedBytesProduced() { return ReadLocked(&gScripted.lock, &gScripted.produced); }

uint32_t WaveInScriptedAddBufferCalls() { return ReadLocked(&gScripted.lock, &gScripted.addBufferCalls); }

uint32_t WaveInScriptedOpenCalls() { return ReadLocked(&gScripted.lock, &gScripted.openCalls); }

bool WaveInDeviceIsOpenForTesting() { return WaveInDeviceIsOpen(); }

bool WaveInCaptureThreadEndedForTesting() { return !WaveInCaptureThreadAlive(); }
