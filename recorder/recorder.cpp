// OmbriVoiceRecorderStart and OmbriVoiceRecorderStop, the capture callback and the capture
// worker. Start and stop serialise on one lock; the worker and stop meet on another, around the
// stop flag and the hand-back; the callback only sets an event.
#include "recorder/recorder.h"

#include <cstring>

#include "module/module_lifecycle.h"
#include "platform/streams.h"

namespace {

// 16-bit mono PCM at 44100 samples per second.
const WAVEFORMATEX kCaptureFormat = {WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0};

RecorderState gRecorder;
SRWLOCK gStartStopLock = SRWLOCK_INIT;  // held through each start and each stop
SRWLOCK gHandBackLock = SRWLOCK_INIT;   // makes the worker's flag test and hand-back one step
                                        // with respect to stop setting the flag

// Sets the stop flag. True when a buffer is still out, so that its last data message is to be
// waited for; false when a hand-back failed (or none was ever queued) and nothing will come.
bool RequestStop() {
  AcquireSRWLockExclusive(&gHandBackLock);
  gRecorder.stopRequested = 1;
  bool bufferOut = gRecorder.bufferOut;
  ReleaseSRWLockExclusive(&gHandBackLock);
  return bufferOut;
}

// Appends bytes from the spare buffer, as far as the count allows, and counts what the
// stream took, so that the header never claims bytes the file does not hold.
void AppendAudio(DWORD bytes) {
  DWORD kept = AudioBytesToKeep(gRecorder.dataByteCount.load(), bytes);
  size_t written = fwrite(gRecorder.spareBuffer, 1, kept, gRecorder.outputFile);
  gRecorder.dataByteCount.fetch_add(static_cast<int32_t>(written));
}

// While capture goes on, a returned buffer is full: copy it out and hand it straight back, so
// the device is without a buffer only for the copy. False, doing nothing, once stop has set
// the flag: the buffer is then the last one.
bool TakeFullBuffer() {
  AcquireSRWLockExclusive(&gHandBackLock);
  if (gRecorder.stopRequested != 0) {
    ReleaseSRWLockExclusive(&gHandBackLock);
    return false;
  }
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, kCaptureBufferBytes);
  gRecorder.bufferHeader.dwBytesRecorded = 0;
  MMRESULT handedBack = waveInAddBuffer(gRecorder.captureDevice, &gRecorder.bufferHeader,
                                        sizeof(WAVEHDR));
  // Reported to no one; but no buffer is out now, so stop must not wait for one.
  gRecorder.bufferOut = handedBack == MMSYSERR_NOERROR;
  ReleaseSRWLockExclusive(&gHandBackLock);
  return true;
}

// Writes the header for the audio appended so far over the file's start, then goes back to its
// end. Done after every whole second, so that a recording cut off without a stop (a crash, a
// kill, a process ending while the audio system's driver fails) still leaves a true header
// for its whole seconds. Results are not examined: stop writes the final header anyway.
void KeepHeaderTrue() {
  WaveFileHeader current;
  FillWaveFileHeader(&current, static_cast<uint32_t>(gRecorder.dataByteCount.load()));
  fsetpos(gRecorder.outputFile, &gRecorder.fileStart);
  fwrite(current.bytes, 1, kWaveHeaderBytes, gRecorder.outputFile);
  fseek(gRecorder.outputFile, 0, SEEK_END);
}

// The last buffer: as many bytes as the device recorded in it, then the signal stop waits for.
void WriteLastBuffer() {
  DWORD recorded = gRecorder.bufferHeader.dwBytesRecorded;
  if (recorded > kCaptureBufferBytes) {
    recorded = kCaptureBufferBytes;
  }
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, recorded);
  AppendAudio(recorded);
  SetEvent(gRecorder.lastBufferWritten);
}

// The capture worker: one pass per returned buffer, until the last one or until told to quit.
DWORD WINAPI CaptureWorkerMain(LPVOID) {
  for (;;) {
    WaitForSingleObject(gRecorder.bufferReturned, INFINITE);
    if (gRecorder.workerQuit.load()) {
      return 0;
    }
    if (!TakeFullBuffer()) {
      WriteLastBuffer();
      return 0;
    }
    AppendAudio(kCaptureBufferBytes);
    KeepHeaderTrue();
  }
}

// Releases the worker's events after it has ended (or if it never started).
void CloseWorkerEvents() {
  if (gRecorder.bufferReturned != nullptr) CloseHandle(gRecorder.bufferReturned);
  if (gRecorder.lastBufferWritten != nullptr) CloseHandle(gRecorder.lastBufferWritten);
  gRecorder.bufferReturned = nullptr;
  gRecorder.lastBufferWritten = nullptr;
}

// Creates the worker's events and starts it. False if the system refused either.
bool StartCaptureWorker() {
  gRecorder.workerQuit.store(false);
  gRecorder.bufferReturned = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  gRecorder.lastBufferWritten = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (gRecorder.bufferReturned != nullptr && gRecorder.lastBufferWritten != nullptr) {
    gRecorder.captureWorker = CreateThread(nullptr, 0, CaptureWorkerMain, nullptr, 0, nullptr);
  }
  if (gRecorder.captureWorker == nullptr) {
    CloseWorkerEvents();
    return false;
  }
  return true;
}

// Waits for the last buffer if one is out, then ends the worker (it finishes any append it is
// making) and releases it with its events.
void EndCaptureWorker(bool bufferOut) {
  if (bufferOut) {
    WaitForSingleObject(gRecorder.lastBufferWritten, INFINITE);
  }
  gRecorder.workerQuit.store(true);
  SetEvent(gRecorder.bufferReturned);
  WaitForSingleObject(gRecorder.captureWorker, INFINITE);
  CloseHandle(gRecorder.captureWorker);
  gRecorder.captureWorker = nullptr;
  CloseWorkerEvents();
}

// The header as the device must find it at every start, whatever an earlier recording left.
void FillBufferHeader() {
  gRecorder.bufferHeader = WAVEHDR();
  gRecorder.bufferHeader.lpData = gRecorder.captureBuffer;
  gRecorder.bufferHeader.dwBufferLength = kCaptureBufferBytes;
}

// Undoes a start that failed at step 1, 2 or 3: releases the device and the worker, closes and
// removes the placeholder file.
void AbandonFailedStart(LPCWSTR wavPath) {
  bool bufferOut = RequestStop();  // a buffer still queued comes back as the last, not handed back
  if (gRecorder.captureDevice != nullptr && waveInReset(gRecorder.captureDevice) != MMSYSERR_NOERROR) {
    bufferOut = false;  // a device that refuses the reset returns nothing to wait for
  }
  EndCaptureWorker(bufferOut);
  if (gRecorder.captureDevice != nullptr) {
    waveInUnprepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
    waveInClose(gRecorder.captureDevice);
    gRecorder.captureDevice = nullptr;
  }
  fclose(gRecorder.outputFile);
  gRecorder.outputFile = nullptr;
  _wremove(wavPath);
}

// Fills in the header for the count, writes it over the placeholder and closes the file. The
// stream is let go of before it is closed, so that no one can find it closed.
void FinishFile(int32_t count) {
  FILE* file = gRecorder.outputFile;
  gRecorder.outputFile = nullptr;
  FillWaveFileHeader(&gRecorder.header, static_cast<uint32_t>(count));
  fsetpos(file, &gRecorder.fileStart);
  fwrite(gRecorder.header.bytes, 1, kWaveHeaderBytes, file);
  fclose(file);
}

}  // namespace

DWORD AudioBytesToKeep(int32_t written, DWORD offered) {
  DWORD room = static_cast<DWORD>(kMaxDataBytes - written);
  return offered < room ? offered : room;
}

void CALLBACK OnCaptureBufferDone(HWAVEIN, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (message != MM_WIM_DATA) {
    return;
  }
  SetEvent(gRecorder.bufferReturned);
}

int32_t OpenCapture() {
  MMRESULT opened = waveInOpen(&gRecorder.captureDevice, WAVE_MAPPER, &kCaptureFormat,
                               reinterpret_cast<DWORD_PTR>(OnCaptureBufferDone), 0,
                               CALLBACK_FUNCTION);
  if (opened != MMSYSERR_NOERROR) {
    gRecorder.captureDevice = nullptr;
    return OMBRIVOICE_RECORDER_DEVICE_OPEN_FAILED;
  }
  FillBufferHeader();
  // Not examined: an unprepared buffer is refused by the add below.
  waveInPrepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
  AcquireSRWLockExclusive(&gHandBackLock);
  MMRESULT added = waveInAddBuffer(gRecorder.captureDevice, &gRecorder.bufferHeader,
                                   sizeof(WAVEHDR));
  gRecorder.bufferOut = added == MMSYSERR_NOERROR;
  ReleaseSRWLockExclusive(&gHandBackLock);
  if (added != MMSYSERR_NOERROR) {
    return OMBRIVOICE_RECORDER_BUFFER_FAILED;
  }
  MMRESULT started = waveInStart(gRecorder.captureDevice);
  if (started != MMSYSERR_NOERROR) {
    return OMBRIVOICE_RECORDER_CAPTURE_START_FAILED;
  }
  return OMBRIVOICE_OK;
}

int32_t OmbriVoiceRecorderStart(const OmbriVoiceChar* wavPath) {
  AcquireSRWLockExclusive(&gStartStopLock);
  if (gRecorder.recording) {
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_ALREADY_RECORDING;
  }
  AcquireSRWLockExclusive(&gHandBackLock);
  gRecorder.stopRequested = 0;
  gRecorder.bufferOut = false;
  ReleaseSRWLockExclusive(&gHandBackLock);
  gRecorder.dataByteCount.store(0);
  gRecorder.outputFile = _wfopen(wavPath, TEXT("wb"));
  if (gRecorder.outputFile == nullptr) {
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_FILE_CREATE_FAILED;
  }
  // Unbuffered: each append is one write of a whole second anyway, and the file then holds every
  // byte appended at any moment, so a process that ends mid-recording can be finished from it.
  setvbuf(gRecorder.outputFile, nullptr, _IONBF, 0);
  gRecorder.fileStart = fpos_t();  // stays the zero position if the stream cannot report one
  fgetpos(gRecorder.outputFile, &gRecorder.fileStart);
  fwrite(gRecorder.header.bytes, 1, kWaveHeaderBytes, gRecorder.outputFile);  // placeholder
  if (!KeepModuleLoadedForRecording() || !StartCaptureWorker()) {
    fclose(gRecorder.outputFile);
    gRecorder.outputFile = nullptr;
    _wremove(wavPath);
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_SETUP_FAILED;
  }
  int32_t result = OpenCapture();
  if (result != OMBRIVOICE_OK) {
    AbandonFailedStart(wavPath);
    ReleaseSRWLockExclusive(&gStartStopLock);
    return result;
  }
  gRecorder.recording = true;
  ReleaseSRWLockExclusive(&gStartStopLock);
  return OMBRIVOICE_OK;
}

int32_t OmbriVoiceRecorderStop(void) {
  AcquireSRWLockExclusive(&gStartStopLock);
  if (!gRecorder.recording) {
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_NOT_RECORDING;
  }
  bool bufferOut = RequestStop();
  // Outside the hand-back lock: the device returns the buffer in progress, and the worker
  // takes the last-buffer path for it. Only once that path has finished (or when no buffer was
  // out, or the device refused the reset and so returns nothing) does stop touch the header or
  // the file. Results from here on are not examined.
  MMRESULT reset = waveInReset(gRecorder.captureDevice);
  EndCaptureWorker(bufferOut && reset == MMSYSERR_NOERROR);
  waveInUnprepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
  waveInClose(gRecorder.captureDevice);
  gRecorder.captureDevice = nullptr;
  int32_t count = gRecorder.dataByteCount.load();
  FinishFile(count);
  gRecorder.recording = false;
  ReleaseSRWLockExclusive(&gStartStopLock);
  return count;
}

FILE* RunningRecordingStream() { return gRecorder.recording ? gRecorder.outputFile : nullptr; }
