// Where the capture thread's audio comes from: ALSA, or in the tests' copy of the core a
// scripted device (test_hooks.h). Only the waveIn binding and such a device see this; every
// call but wake runs on the capture thread.
#ifndef OMBRIVOICE_PLATFORM_WAVE_IN_SOURCE_H
#define OMBRIVOICE_PLATFORM_WAVE_IN_SOURCE_H

#include <pthread.h>

#include "platform/wave_in.h"

// What read gives when audio was lost (an overrun) and the source has restarted its stream.
constexpr long kSourceOverrun = -2;

struct CaptureSource {
  // Opens the source for the format (checked already); MMSYSERR_NOERROR or the failure.
  MMRESULT (*open)(const WAVEFORMATEX* format);
  // Starts the stream; MMSYSERR_NOERROR or the failure.
  MMRESULT (*start)();
  // Reads whole frames into destination: at most one period and at most maxBytes. Returns the
  // bytes read; 0 when none came within a short wait or wake was called; kSourceOverrun when
  // audio was lost and the stream restarted; -1 when the source failed for good.
  long (*read)(char* destination, DWORD maxBytes);
  // From any thread: a read waiting for audio now, or the next one, returns 0 at once.
  void (*wake)();
  // Stops the stream; what it still held is dropped.
  void (*stop)();
  // Closes the source (after stop, or after a failed start).
  void (*close)();
};

// The ALSA "default" capture PCM.
extern const CaptureSource kAlsaCaptureSource;

// Reads one field under its lock.
template <typename T>
T ReadLocked(pthread_mutex_t* lock, const T* field) {
  pthread_mutex_lock(lock);
  T value = *field;
  pthread_mutex_unlock(lock);
  return value;
}

#endif
