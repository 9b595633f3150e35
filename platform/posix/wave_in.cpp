// The waveIn calls and the capture thread behind them. There is one device record; the calls
// post requests into it, and the capture thread acts on them at the top of its loop, so that
// every source call and every callback happens on that one thread.
#include "wave_in.h"

#include <pthread.h>

#include "test_hooks.h"
#include "wave_in_source.h"

// The one capture device; HWAVEIN points at it.
struct WaveInDevice {
  pthread_mutex_t lock;          // guards every field below
  pthread_cond_t changed;        // broadcast on each request and each acknowledgement
  bool open;                     // from a successful waveInOpen to the end of waveInClose
  const CaptureSource* source;   // where the audio comes from
  WaveInCallback callback;       // the caller's callback function
  DWORD_PTR instance;            // the caller's instance value, passed back unchanged
  pthread_t thread;              // the capture thread, alive while open
  WAVEHDR* queued;               // the one buffer with the device, being filled; null when none
  bool running;                  // the stream has been started and not reset since
  bool sourceFailed;             // the source broke; the queued buffer waits for the reset
  bool startRequested;           // waveInStart waits for the thread to start the stream
  MMRESULT startResult;          // what the last start gave, for waveInStart
  bool resetRequested;           // waveInReset waits for the thread to return the buffers
  bool quitRequested;            // waveInClose waits for the thread to end
};

namespace {

constexpr DWORD kSampleRate = 44100;

WaveInDevice gDevice = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, false, nullptr,
                        nullptr, 0, pthread_t(), nullptr, false, false, false,
                        MMSYSERR_NOERROR, false, false};

bool IsOpenDevice(HWAVEIN device) { return device == &gDevice && gDevice.open; }

bool OnCaptureThread() { return pthread_equal(pthread_self(), gDevice.thread) != 0; }

// The calls that wait for the capture thread cannot be made from the callback, which runs on it.
MMRESULT CheckWaitingCall(HWAVEIN device) {
  if (!IsOpenDevice(device)) {
    return MMSYSERR_INVALHANDLE;
  }
  return OnCaptureThread() ? MMSYSERR_HANDLEBUSY : MMSYSERR_NOERROR;
}

// The one format the recorder asks for: 16-bit mono PCM at 44100 samples per second.
bool IsSupportedFormat(const WAVEFORMATEX* format) {
  return format != nullptr && format->wFormatTag == WAVE_FORMAT_PCM && format->nChannels == 1 &&
         format->nSamplesPerSec == kSampleRate && format->nAvgBytesPerSec == kSampleRate * 2 &&
         format->nBlockAlign == 2 && format->wBitsPerSample == 16 && format->cbSize == 0;
}

// Hands one buffer back to the caller. Called with the lock held; drops it for the callback.
void ReturnBuffer(WAVEHDR* header) {
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  WaveInCallback callback = gDevice.callback;
  DWORD_PTR instance = gDevice.instance;
  pthread_mutex_unlock(&gDevice.lock);
  callback(&gDevice, MM_WIM_DATA, instance, reinterpret_cast<DWORD_PTR>(header), 0);
  pthread_mutex_lock(&gDevice.lock);
}

void StartStream() {
  if (!gDevice.running) {
    gDevice.startResult = gDevice.source->start();
    gDevice.running = gDevice.startResult == MMSYSERR_NOERROR;
  }
  gDevice.startRequested = false;
  pthread_cond_broadcast(&gDevice.changed);
}

// Stops the stream and returns the buffer queued when the reset arrived with what it holds. A
// buffer the callback queues meanwhile stays queued.
void ResetStream() {
  if (gDevice.running) {
    gDevice.source->stop();
  }
  gDevice.running = false;
  gDevice.sourceFailed = false;
  WAVEHDR* header = gDevice.queued;
  gDevice.queued = nullptr;
  if (header != nullptr) {
    ReturnBuffer(header);
  }
  gDevice.resetRequested = false;
  pthread_cond_broadcast(&gDevice.changed);
}

// Reads one period into the queued buffer and returns it once it is full.
// Called with the lock held; drops it around the read.
void FillHeadBuffer() {
  WAVEHDR* header = gDevice.queued;
  DWORD room = header->dwBufferLength - header->dwBytesRecorded;
  if (room > 0) {
    pthread_mutex_unlock(&gDevice.lock);
    long got = gDevice.source->read(header->lpData + header->dwBytesRecorded, room);
    pthread_mutex_lock(&gDevice.lock);
    if (got < 0) {
      gDevice.sourceFailed = true;
      return;
    }
    header->dwBytesRecorded += static_cast<DWORD>(got);
    if (header->dwBytesRecorded < header->dwBufferLength) {
      return;
    }
  }
  pthread_mutex_unlock(&gDevice.lock);
  TestBeforeFullBufferReturn();
  pthread_mutex_lock(&gDevice.lock);
  gDevice.queued = nullptr;
  ReturnBuffer(header);
}

void* CaptureThreadMain(void*) {
  pthread_mutex_lock(&gDevice.lock);
  while (!gDevice.quitRequested) {
    if (gDevice.startRequested) {
      StartStream();
    } else if (gDevice.resetRequested) {
      ResetStream();
    } else if (gDevice.running && !gDevice.sourceFailed && gDevice.queued != nullptr) {
      FillHeadBuffer();
    } else {
      pthread_cond_wait(&gDevice.changed, &gDevice.lock);
    }
  }
  pthread_mutex_unlock(&gDevice.lock);
  return nullptr;
}

// Posts a request flag and waits until the capture thread has cleared it.
MMRESULT PostAndWait(HWAVEIN device, bool* request) {
  MMRESULT allowed = CheckWaitingCall(device);
  if (allowed != MMSYSERR_NOERROR) {
    return allowed;
  }
  pthread_mutex_lock(&gDevice.lock);
  *request = true;
  pthread_cond_broadcast(&gDevice.changed);
  while (*request) {
    pthread_cond_wait(&gDevice.changed, &gDevice.lock);
  }
  pthread_mutex_unlock(&gDevice.lock);
  return MMSYSERR_NOERROR;
}

// Sets up the device record and its thread for a freshly opened source. Lock held.
MMRESULT LaunchCaptureThread(const CaptureSource* source, WaveInCallback callback,
                             DWORD_PTR instance) {
  gDevice.source = source;
  gDevice.callback = callback;
  gDevice.instance = instance;
  gDevice.queued = nullptr;
  gDevice.running = false;
  gDevice.sourceFailed = false;
  gDevice.startRequested = false;
  gDevice.resetRequested = false;
  gDevice.quitRequested = false;
  int created = pthread_create(&gDevice.thread, nullptr, CaptureThreadMain, nullptr);
  if (created != 0) {
    return MMSYSERR_NOMEM;
  }
  gDevice.open = true;
  return MMSYSERR_NOERROR;
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
  pthread_mutex_lock(&gDevice.lock);
  if (gDevice.open) {
    pthread_mutex_unlock(&gDevice.lock);
    return MMSYSERR_ALLOCATED;
  }
  const CaptureSource* source = TestCaptureSource();
  if (source == nullptr) {
    source = &kAlsaCaptureSource;
  }
  MMRESULT result = source->open(format);
  if (result == MMSYSERR_NOERROR) {
    result = LaunchCaptureThread(source, reinterpret_cast<WaveInCallback>(callback), instance);
    if (result != MMSYSERR_NOERROR) {
      source->close();
    }
  }
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
  MMRESULT posted = PostAndWait(device, &gDevice.startRequested);
  if (posted != MMSYSERR_NOERROR) {
    return posted;
  }
  return ReadLocked(&gDevice.lock, &gDevice.startResult);
}

MMRESULT waveInReset(HWAVEIN device) { return PostAndWait(device, &gDevice.resetRequested); }

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
  pthread_mutex_unlock(&gDevice.lock);
  pthread_join(gDevice.thread, nullptr);
  pthread_mutex_lock(&gDevice.lock);
  if (gDevice.running) {
    gDevice.source->stop();
  }
  gDevice.running = false;
  gDevice.source->close();
  WaveInCallback callback = gDevice.callback;
  DWORD_PTR instance = gDevice.instance;
  pthread_mutex_unlock(&gDevice.lock);
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
#endif
