// Every place where the tests' copy of the core lets a test step in: how transfers connect and
// how long they wait, the capture device behind waveIn, and the clock. The shipped library is
// built without OMBRIVOICE_TEST_HOOKS, so each hook is an empty inline function there and no
// seam, nor a symbol of one, is in it; the tests' build defines the hooks in tests/doubles.
#ifndef OMBRIVOICE_PLATFORM_TEST_HOOKS_H
#define OMBRIVOICE_PLATFORM_TEST_HOOKS_H

#include <curl/curl.h>

#include <ctime>

#include "platform/wave_in_source.h"

#if OMBRIVOICE_TEST_HOOKS

// Applied to every transfer after its own options: shorter time-outs, a connection sent to a
// loopback server, a test CA in place of the system's (certificates are checked either way).
// False when an option was refused.
bool ApplyTestConnectionOptions(CURL* easy);

// The capture source the next waveInOpen uses in place of ALSA, or nullptr for ALSA.
const CaptureSource* TestCaptureSource();

// The test device's say on a buffer being queued (MMSYSERR_NOERROR lets it in), and its hold
// on a full buffer about to be returned (called on the capture thread).
MMRESULT TestAdmitBuffer();
void TestBeforeFullBufferReturn();

// What the test device watches: a waveInReset waiting for the capture thread, whether the
// one device is open, and whether its capture thread (one let go included) has yet to end.
bool WaveInResetPending();
bool WaveInDeviceIsOpen();
bool WaveInCaptureThreadAlive();

// The moment a test stopped the real-time clock at (one past January 2038, say, which no real
// clock here shows): true, with *now set, while it is stopped.
bool TestStoppedClock(timespec* now);

#else

inline bool ApplyTestConnectionOptions(CURL*) { return true; }
inline const CaptureSource* TestCaptureSource() { return nullptr; }
inline MMRESULT TestAdmitBuffer() { return MMSYSERR_NOERROR; }
inline void TestBeforeFullBufferReturn() {}
inline bool TestStoppedClock(timespec*) { return false; }

#endif

#endif
