// A scripted capture device that replaces ALSA behind the waveIn binding, so that tests decide
// exactly how many bytes come back, when, and which calls fail. Built only into the tests'
// copy of the core, never into the shipped library.
#ifndef OMBRIVOICE_TESTS_SCRIPTED_CAPTURE_DEVICE_H
#define OMBRIVOICE_TESTS_SCRIPTED_CAPTURE_DEVICE_H

#include <cstdint>

#include "platform/wave_in.h"

// What reads give once the device has produced its total.
enum class ScriptedEnd : uint8_t {
  kSilent,         // nothing, after a millisecond's pause
  kSilentUntilWoken,  // nothing, after waiting for the binding's wake-up (a stalled server)
  kOverruns,       // an overrun every time, the stream restarted each time (a dead server)
  kFails,          // a failure for good (a removed source)
};

// A source call that waits until WaveInReleaseScriptedHang (or a minute), as a call into a
// frozen sound server does.
enum class ScriptedHang : uint8_t { kNone, kOpen, kStart, kStop };

struct ScriptedCaptureDevice {
  MMRESULT openResult;            // what waveInOpen gives (MMSYSERR_NOERROR: it opens)
  MMRESULT startResult;           // what waveInStart gives
  uint32_t failingAddBufferCall;  // this waveInAddBuffer call since the open fails (from 1;
                                  // 0: none fails)
  uint64_t totalBytes;            // bytes the device produces in all; then it stays silent
  uint32_t bytesPerRead;          // bytes one read produces (even; 0 means 4410, 25 ms)
  uint32_t microsecondsPerRead;   // pause before each read (0: none)
  uint32_t heldFullBuffer;        // this full buffer (from 1; 0: none) is returned only once
                                  // waveInReset has been called
  ScriptedEnd afterTotal;         // what reads give after totalBytes
  ScriptedHang hangIn;            // the call that hangs
};

// From the next waveInOpen on, the device follows script (copied); nullptr restores ALSA.
void WaveInUseScriptedDeviceForTesting(const ScriptedCaptureDevice* script);

// The byte the scripted device produces at this offset of its stream: 16-bit samples counting
// up and wrapping at 32749, so a lost, doubled or misplaced buffer shows.
uint8_t ScriptedCaptureByte(uint64_t offset);

// Waits until the scripted device has produced all its bytes and its capture thread has come
// back for more, so every full buffer's callback has finished. False after timeoutMs.
bool WaveInWaitUntilScriptedDeviceQuiet(int timeoutMs);

// Waits until the held full buffer is being held. False after timeoutMs.
bool WaveInWaitUntilScriptedBufferHeld(int timeoutMs);

// Waits until the scripted call is hanging. False after timeoutMs.
bool WaveInWaitUntilScriptedHanging(int timeoutMs);

// Whether the scripted call is hanging now; and lets it (and any later one) return.
bool WaveInScriptedHanging();
void WaveInReleaseScriptedHang();

// Waits until the capture thread, also one the binding let go, has ended. False after timeoutMs.
bool WaveInWaitUntilCaptureThreadEnded(int timeoutMs);

// Counts since the last open of the scripted device.
uint64_t WaveInScriptedBytesProduced();
uint32_t WaveInScriptedReadCalls();
uint32_t WaveInScriptedAddBufferCalls();
uint32_t WaveInScriptedOpenCalls();  // since WaveInUseScriptedDeviceForTesting

// Whether the one capture device is open (whatever its source), and whether its capture
// thread, also one let go, has ended.
bool WaveInDeviceIsOpenForTesting();
bool WaveInCaptureThreadEndedForTesting();

#endif
