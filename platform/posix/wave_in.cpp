// The waveIn calls and the capture thread behind them. There is one device record; the calls
// post requests into it, and the capture thread acts on them at the top of its loop, so that
// every source call (open included) happens on that one thread. Each call waits for the thread
// only so long: a thread that the sound system holds is let go and ends by itself.
#include "platform/wave_in.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <time.h>

#include <cstring>

#include "platform/test_hooks.h"
#include "platform/wave_in_source.h"

namespace {

constexpr DWORD kStagingBytes = 17640;     // 200 ms of 16-bit mono at 44100 Hz: two of ALSA's
                                           // 100 ms periods; a read never asks for more
constexpr int kMaxOverrunsWithoutAudio = 3;  // overruns in a row with no frame read between
                                             // them, past which the source has failed: a dead
                                             // server may report nothing but overruns

}  // namespace

// The one capture device; HWAVEIN points at it.
struct WaveInDevice {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;  // guards every field below
  pthread_cond_t changed = PTHREAD_COND_INITIALIZER; // broadcast on each request and each
                                                     // acknowledgement
  bool open;                     // from a successful waveInOpen to the end of waveInClose
  const CaptureSource* source;   // where the audio comes from
  WAVEFORMATEX format;           // what the capture thread opens the source for
  WaveInCallback callback;       // the caller's callback function
  DWORD_PTR instance;            // the caller's instance value, passed back unchanged
  pthread_t thread;              // the capture thread
  bool threadAlive;              // the capture thread has not ended (one let go included)
  bool letGo;                    // no call waits for the thread any more: it releases the
                                 // source and ends by itself, and calls back no more
  bool openDone;                 // the thread has tried to open the source
  MMRESULT openResult;           // what that gave, for waveInOpen
  WAVEHDR* queued;               // the one buffer with the device, being filled; null when none
  bool running;                  // the stream has been started and not reset since
  bool sourceFailed;             // the source broke: buffers are refused until the close
  int overrunsWithoutAudio;      // overruns since the last read that brought a frame
  bool delivering;               // an MM_WIM_DATA callback is running
  bool startRequested;           // waveInStart waits for the thread to start the stream
  MMRESULT startResult;          // what the last start gave, for waveInStart
  bool resetRequested;           // waveInReset waits for the thread to return the buffer
  bool stopPending;              // a reset returned the buffer without the thread, which stops
                                 // the stream once it is back
  bool quitRequested;            // waveInClose waits for the thread to end
  char staging[kStagingBytes];   // each read lands here, and is copied into the buffer under
                                 // the lock only if that is still queued
};

namespace {

WaveInDevice gDevice{};  // the rest zero
pthread_once_t gClockOnce = PTHREAD_ONCE_INIT;

// The waits are timed on the monotonic clock, which no clock setting moves.
void UseMonotonicClock() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_destroy(&gDevice.changed);
  pthread_cond_init(&gDevice.changed, &attributes);
  pthread_condattr_destroy(&attributes);
}

// Waits, lock held, until *flag is want or milliseconds have passed; whether it is.
bool WaitForFlag(const bool* flag, bool want, unsigned milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (*flag != want) {
    if (pthread_cond_timedwait(&gDevice.changed, &gDevice.lock, &deadline) == ETIMEDOUT) {
      return *flag == want;
    }
  }
  return true;
}

// A thread let go runs this library's code until the sound server lets it: the library is
// then kept mapped for the rest of the process, so that unloading it cannot pull the code
// from under that thread.
void LetGo() {
  gDevice.letGo = true;
  Dl_info self;
  if (dladdr(reinterpret_cast<const void*>(&LetGo), &self) != 0 && self.dli_fname != nullptr) {
    dlopen(self.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
  }
}

bool IsOpenDevice(HWAVEIN device) { return device == &gDevice && gDevice.open; }

bool OnCaptureThread() { return pthread_equal(pthread_self(), gDevice.thread) != 0; }

// The calls that wait for the capture thread cannot be made from the callback, which runs on it.
MMRESULT CheckWaitingCall(HWAVEIN device) {
  if (!IsOpenDevice(device)) {
    return MMSYSERR_INVALHANDLE;
  }
  return OnCaptureThread() ? MMSYSERR_HANDLEBUSY : MMSYSERR_NOERROR;
}

// 16-bit PCM whose fields agree with one another; ALSA is asked for its rate and channels.
bool IsSupportedFormat(const WAVEFORMATEX* format) {
  return format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM && format->nChannels > 0 &&
         format->wBitsPerSample == 16 && format->nBlockAlign == format->nChannels * 2 &&
         format->nSamplesPerSec > 0 &&
         format->nAvgBytesPerSec == format->nSamplesPerSec * format->nBlockAlign &&
         format->cbSize == 0;
}

// Hands one buffer back to the caller. Called with the lock held; drops it for the callback,
// which a let-go device no longer calls.
void ReturnBuffer(WAVEHDR* header) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  if (gDevice.letGo) {
    return;
  }
  WaveInCallback callback = gDevice.callback;
  DWORD_PTR instance = gDevice.instance;
  gDevice.delivering = true;
  pthread_mutex_unlock(&gDevice.lock);
  callback(&gDevice, MM_WIM_DATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
  pthread_mutex_lock(&gDevice.lock);
  gDevice.delivering = false;
  pthread_cond_broadcast(&gDevice.changed);
}

// The source broke: the queued buffer comes back with what it holds, and no other is taken.
void FailSource() {
  gDevice.sourceFailed = true;
  WAVEHDR* header = gDevice.queued;
  gDevice.queued = nullptr;
  if (header != nullptr) {
    ReturnBuffer(header);
  }
}

// Stops the stream. Lock held; dropped around the source call.
void StopStream() {
  gDevice.running = false;
  gDevice.stopPending = false;
  const CaptureSource* source = gDevice.source;
  pthread_mutex_unlock(&gDevice.lock);
  source->stop();
  pthread_mutex_lock(&gDevice.lock);
}

void StartStream() {
  if (!gDevice.running) {
    const CaptureSource* source = gDevice.source;
    pthread_mutex_unlock(&gDevice.lock);
    MMRESULT result = source->start();
    pthread_mutex_lock(&gDevice.lock);
    gDevice.startResult = result;
    gDevice.running = result == MMSYSERR_NOERROR;
    gDevice.overrunsWithoutAudio = 0;
  }
  gDevice.startRequested = false;
  pthread_cond_broadcast(&gDevice.changed);
}

// Returns the buffer queued when the reset arrived with what it holds, answers the reset, then
// stops the stream, so that a stop the sound system holds up keeps no caller waiting. A buffer
// the callback queues meanwhile stays queued.
void ResetStream() {
  bool wasRunning = gDevice.running;
  gDevice.running = false;
  WAVEHDR* header = gDevice.queued;
  gDevice.queued = nullptr;
  if (header != nullptr) {
    ReturnBuffer(header);
  }
  gDevice.resetRequested = false;
  pthread_cond_broadcast(&gDevice.changed);
  if (wasRunning) {
    StopStream();
  }
}

// Puts what a read gave into the buffer if it is still the queued one, and counts overruns.
// False when the buffer is not to be filled further now. Lock held.
bool TakeRead(WAVEHDR* header, long got) {
  if (got == kSourceOverrun) {
    gDevice.overrunsWithoutAudio += 1;
    got = gDevice.overrunsWithoutAudio > kMaxOverrunsWithoutAudio ? -1 : 0;
  } else if (got > 0) {
    gDevice.overrunsWithoutAudio = 0;
  }
  if (got < 0) {
    FailSource();
    return false;
  }
  if (gDevice.queued != header) {
    return false;  // a reset took it back while the read went on
  }
  memcpy(header->lpData + header->dwBytesRecorded, gDevice.staging, static_cast<size_t>(got));
  header->dwBytesRecorded += static_cast<DWORD>(got);
  return true;
}

// Reads into the queued buffer and returns it once it is full.
// Called with the lock held; drops it around the read.
void FillHeadBuffer() {
  WAVEHDR* header = gDevice.queued;
  DWORD room = header->dwBufferLength - header->dwBytesRecorded;
  if (room > 0) {
    DWORD want = room < kStagingBytes ? room : kStagingBytes;
    const CaptureSource* source = gDevice.source;
    pthread_mutex_unlock(&gDevice.lock);
    long got = source->read(gDevice.staging, want);
    pthread_mutex_lock(&gDevice.lock);
    if (!TakeRead(header, got) || header->dwBytesRecorded < header->dwBufferLength) {
      return;
    }
  }
  pthread_mutex_unlock(&gDevice.lock);
  TestBeforeFullBufferReturn();
  pthread_mutex_lock(&gDevice.lock);
  if (gDevice.queued != header) {
    return;
  }
  gDevice.queued = nullptr;
  ReturnBuffer(header);
}

// Opens the source for the device's format. Lock held; dropped around the source call.
void OpenSource() {
  const CaptureSource* source = gDevice.source;
  WAVEFORMATEX format = gDevice.format;
  pthread_mutex_unlock(&gDevice.lock);
  MMRESULT result = source->open(&format);
  pthread_mutex_lock(&gDevice.lock);
  gDevice.openResult = result;
  gDevice.openDone = true;
  pthread_cond_broadcast(&gDevice.changed);
}

void ServeRequests() {
  while (!gDevice.quitRequested && !gDevice.letGo) {
    if (gDevice.stopPending) {
      StopStream();
    } else if (gDevice.startRequested) {
      StartStream();
    } else if (gDevice.resetRequested) {
      ResetStream();
    } else if (gDevice.running && !gDevice.sourceFailed && gDevice.queued != nullptr) {
      FillHeadBuffer();
    } else {
      pthread_cond_wait(&gDevice.changed, &gDevice.lock);
    }
  }
}

// Stops the stream if it may be running and closes the source. Lock held.
void CloseSource() {
  if (gDevice.running || gDevice.stopPending) {
    StopStream();
  }
  const CaptureSource* source = gDevice.source;
  pthread_mutex_unlock(&gDevice.lock);
  source->close();
  pthread_mutex_lock(&gDevice.lock);
}

void* CaptureThreadMain(void*) {
  pthread_mutex_lock(&gDevice.lock);
  OpenSource();
  if (gDevice.openResult == MMSYSERR_NOERROR) {
    ServeRequests();
    CloseSource();
  }
  gDevice.threadAlive = false;
  pthread_cond_broadcast(&gDevice.changed);
  pthread_mutex_unlock(&gDevice.lock);
  return nullptr;
}

// Wakes a read of the source that is waiting for audio. Lock held; dropped around the call.
void WakeSource() {
  const CaptureSource* source = gDevice.source;
  pthread_mutex_unlock(&gDevice.lock);
  source->wake();
  pthread_mutex_lock(&gDevice.lock);
}

// Posts a request, wakes a read waiting for audio, and waits up to milliseconds for the capture
// thread to answer it. Lock held. Whether it did.
bool PostAndWait(bool* request, unsigned milliseconds) {
  *request = true;
  pthread_cond_broadcast(&gDevice.changed);
  WakeSource();
  return WaitForFlag(request, false, milliseconds);
}

// The capture thread is held in the sound system: the buffer comes back from this thread, and
// the capture thread stops the stream once it is back. Lock held.
void ResetWithoutThread() {
  gDevice.resetRequested = false;
  gDevice.stopPending = true;
  gDevice.running = false;
  while (gDevice.delivering) {
    pthread_cond_wait(&gDevice.changed, &gDevice.lock);
  }
  WAVEHDR* header = gDevice.queued;
  gDevice.queued = nullptr;
  if (header != nullptr) {
    ReturnBuffer(header);
  }
  pthread_cond_broadcast(&gDevice.changed);
}

// Sets up the device record for a new source and starts the capture thread, which opens it.
// Lock held.
MMRESULT LaunchCaptureThread(const CaptureSource* source, const WAVEFORMATEX* format,
                             WaveInCallback callback, DWORD_PTR instance) {
  gDevice.source = source;
  gDevice.format = *format;
  gDevice.callback = callback;
  gDevice.instance = instance;
  gDevice.letGo = false;
  gDevice.openDone = false;
  gDevice.queued = nullptr;
  gDevice.running = false;
  gDevice.sourceFailed = false;
  gDevice.overrunsWithoutAudio = 0;
  gDevice.delivering = false;
  gDevice.startRequested = false;
  gDevice.resetRequested = false;
  gDevice.stopPending = false;
  gDevice.quitRequested = false;
  int created = pthread_create(&gDevice.thread, nullptr, CaptureThreadMain, nullptr);
  if (created != 0) {
    return MMSYSERR_NOMEM;
  }
  gDevice.threadAlive = true;
  return MMSYSERR_NOERROR;
}

// Waits for the new thread to open the source: its result, or MMSYSERR_ERROR when it takes too
// long, and the thread is then let go. A thread that failed to open has ended and is joined.
// Lock held.
MMRESULT AwaitOpen() {
  if (!WaitForFlag(&gDevice.openDone, true, kWaveInOpenWaitMs)) {
    LetGo();
    pthread_detach(gDevice.thread);
    return MMSYSERR_ERROR;
  }
  if (gDevice.openResult != MMSYSERR_NOERROR) {
    pthread_t thread = gDevice.thread;
    pthread_mutex_unlock(&gDevice.lock);
    pthread_join(thread, nullptr);
    pthread_mutex_lock(&gDevice.lock);
  }
  return gDevice.openResult;
}

}  // namespace

MMRESULT waveInOpen(HWAVEIN* device, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags) {
  if (device == nullptr || callback == 0 || flags != CALLBACK_FUNCTION) {
    return MMSYSERR_INVALFLAG;
  }
  if (deviceId != WAVE_MAPPER) {
    return MMSYSERR_BADDEVICEID;
  }
  if (!IsSupportedFormat(format)) {
    return WAVERR_BADFORMAT;
  }
  pthread_once(&gClockOnce, UseMonotonicClock);
  pthread_mutex_lock(&gDevice.lock);
  if (gDevice.open || gDevice.threadAlive) {
    pthread_mutex_unlock(&gDevice.lock);
    return MMSYSERR_ALLOCATED;  // also while a thread let go still waits in the sound system
  }
  const CaptureSource* source = TestCaptureSource();
  if (source == nullptr) {
    source = &kAlsaCaptureSource;
  }
  MMRESULT result = LaunchCaptureThread(source, format,
                                        reinterpret_cast<WaveInCallback>(callback), instance);
  if (result == MMSYSERR_NOERROR) {
    result = AwaitOpen();
  }
  gDevice.open = result == MMSYSERR_NOERROR;
  pthread_mutex_unlock(&gDevice.lock);
  if (result != MMSYSERR_NOERROR) {
    return result;
  }
  *device = &gDevice;
  reinterpret_cast<WaveInCallback>(callback)(&gDevice, MM_WIM_OPEN, instance, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header, UINT headerSize) {
  if (!IsOpenDevice(device)) {
    return MMSYSERR_INVALHANDLE;
  }
  if (header == nullptr || header->lpData == nullptr || headerSize < sizeof(WAVEHDR)) {
    return MMSYSERR_INVALPARAM;
  }
  pthread_mutex_lock(&gDevice.lock);
  header->dwFlags |= WHDR_PREPARED;
  pthread_mutex_unlock(&gDevice.lock);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header, UINT headerSize) {
  if (!IsOpenDevice(device)) {
    return MMSYSERR_INVALHANDLE;
  }
  if (header == nullptr || headerSize < sizeof(WAVEHDR) || header->dwBufferLength % 2 != 0) {
    return MMSYSERR_INVALPARAM;
  }
  pthread_mutex_lock(&gDevice.lock);
  MMRESULT result = TestAdmitBuffer();
  if ((header->dwFlags & WHDR_PREPARED) == 0) {
    result = WAVERR_UNPREPARED;
  } else if ((header->dwFlags & WHDR_INQUEUE) != 0 || gDevice.queued != nullptr) {
    result = WAVERR_STILLPLAYING;  // one buffer at a time is all the device takes
  } else if (gDevice.sourceFailed) {
    result = MMSYSERR_NODRIVER;  // nothing will fill it
  }
  if (result == MMSYSERR_NOERROR) {
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    header->dwBytesRecorded = 0;
    gDevice.queued = header;
    pthread_cond_broadcast(&gDevice.changed);
  }
  pthread_mutex_unlock(&gDevice.lock);
  return result;
}

MMRESULT waveInStart(HWAVEIN device) {
  MMRESULT allowed = CheckWaitingCall(device);
  if (allowed != MMSYSERR_NOERROR) {
    return allowed;
  }
  pthread_mutex_lock(&gDevice.lock);
  bool answered = PostAndWait(&gDevice.startRequested, kWaveInStartWaitMs);
  MMRESULT result = answered ? gDevice.startResult : MMSYSERR_ERROR;
  pthread_mutex_unlock(&gDevice.lock);
  return result;
}

MMRESULT waveInReset(HWAVEIN device) {
  MMRESULT allowed = CheckWaitingCall(device);
  if (allowed != MMSYSERR_NOERROR) {
    return allowed;
  }
  pthread_mutex_lock(&gDevice.lock);
  if (!PostAndWait(&gDevice.resetRequested, kWaveInResetWaitMs)) {
    ResetWithoutThread();
  }
  pthread_mutex_unlock(&gDevice.lock);
  return MMSYSERR_NOERROR;
}

MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header, UINT headerSize) {
  if (!IsOpenDevice(device)) {
    return MMSYSERR_INVALHANDLE;
  }
  if (header == nullptr || headerSize < sizeof(WAVEHDR)) {
    return MMSYSERR_INVALPARAM;
  }
  pthread_mutex_lock(&gDevice.lock);
  MMRESULT result = MMSYSERR_NOERROR;
  if ((header->dwFlags & WHDR_INQUEUE) != 0) {
    result = WAVERR_STILLPLAYING;
  } else {
    header->dwFlags &= ~WHDR_PREPARED;
  }
  pthread_mutex_unlock(&gDevice.lock);
  return result;
}

MMRESULT waveInClose(HWAVEIN device) {
  MMRESULT allowed = CheckWaitingCall(device);
  if (allowed != MMSYSERR_NOERROR) {
    return allowed;
  }
  pthread_mutex_lock(&gDevice.lock);
  if (gDevice.queued != nullptr) {
    pthread_mutex_unlock(&gDevice.lock);
    return WAVERR_STILLPLAYING;
  }
  gDevice.quitRequested = true;
  pthread_cond_broadcast(&gDevice.changed);
  WakeSource();
  bool ended = WaitForFlag(&gDevice.threadAlive, false, kWaveInCloseWaitMs);
  if (!ended) {
    LetGo();  // it closes the source once the sound system lets it
  }
  pthread_t thread = gDevice.thread;
  WaveInCallback callback = gDevice.callback;
  DWORD_PTR instance = gDevice.instance;
  pthread_mutex_unlock(&gDevice.lock);
  if (ended) {
    pthread_join(thread, nullptr);
  } else {
    pthread_detach(thread);
  }
  callback(&gDevice, MM_WIM_CLOSE, instance, 0, 0);
  pthread_mutex_lock(&gDevice.lock);
  gDevice.open = false;
  gDevice.thread = pthread_t();
  pthread_mutex_unlock(&gDevice.lock);
  return MMSYSERR_NOERROR;
}

#if OMBRIVOICE_TEST_HOOKS
bool WaveInResetPending() { return ReadLocked(&gDevice.lock, &gDevice.resetRequested); }

bool WaveInDeviceIsOpen() { return ReadLocked(&gDevice.lock, &gDevice.open); }

bool WaveInCaptureThreadAlive() { return ReadLocked(&gDevice.lock, &gDevice.threadAlive); }
#endif
