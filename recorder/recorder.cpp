// OmbriVoiceRecorderStart and OmbriVoiceRecorderStop, the capture callback and the capture
// worker. Start and stop serialise on one lock; the worker and stop meet on another, around the
// stop flag and the hand-back; the callback only sets an event. A recording that broke off (a
// hand-back the device refused, a write that fell short) keeps what was saved and stops
// writing; its stop reports it.
#include "recorder/recorder.h"

#include <cstring>

#include "module/module_lifecycle.h"
#include "platform/streams.h"

namespace {

constexpr WORD kBlockAlign = OMBRIVOICE_RECORDING_CHANNELS * OMBRIVOICE_RECORDING_BITS_PER_SAMPLE / 8;

// The recording format (TolvexOmbriVoice.h): PCM, its rate, channels and sample size.
const WAVEFORMATEX kCaptureFormat = {WAVE_FORMAT_PCM, OMBRIVOICE_RECORDING_CHANNELS,
                                     OMBRIVOICE_RECORDING_SAMPLE_RATE,
                                     OMBRIVOICE_RECORDING_BYTES_PER_SECOND, kBlockAlign,
                                     OMBRIVOICE_RECORDING_BITS_PER_SAMPLE, 0};

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

// The bytes the device put in the returned buffer, never more than it holds.
DWORD BytesRecorded() {
  DWORD recorded = gRecorder.bufferHeader.dwBytesRecorded;
  return recorded < kCaptureBufferBytes ? recorded : kCaptureBufferBytes;
}

// Appends bytes from the spare buffer, as far as the count allows, and counts what the
// stream took, so that the header never claims bytes the file does not hold. After a write
// that fell short nothing more is written, so the file never has a gap in its middle; the
// short write's whole samples count.
void AppendAudio(DWORD bytes) {
  if (gRecorder.writeFailed) {
    return;
  }
  DWORD kept = AudioBytesToKeep(gRecorder.dataByteCount.load(), bytes);
  size_t written = fwrite(gRecorder.spareBuffer, 1, kept, gRecorder.outputFile);
  if (written < kept) {
    gRecorder.writeFailed = true;
    written -= written % kBlockAlign;
  }
  gRecorder.dataByteCount.fetch_add(static_cast<int32_t>(written));
}

// While capture goes on, copy a returned buffer out and hand it straight back, so the device
// is without a buffer only for the copy; the bytes copied. A buffer comes back before it is
// full only when the device failed, and then the hand-back fails too: capture has broken off,
// and no buffer is out, so stop must not wait for one. False, doing nothing, once stop has set
// the flag: the buffer is then the last one.
bool TakeReturnedBuffer(DWORD* copied) {
  AcquireSRWLockExclusive(&gHandBackLock);
  if (gRecorder.stopRequested != 0) {
    ReleaseSRWLockExclusive(&gHandBackLock);
    return false;
  }
  *copied = BytesRecorded();
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, *copied);
  gRecorder.bufferHeader.dwBytesRecorded = 0;
  MMRESULT handedBack = waveInAddBuffer(gRecorder.captureDevice, &gRecorder.bufferHeader,
                                        sizeof(WAVEHDR));
  gRecorder.bufferOut = handedBack == MMSYSERR_NOERROR;
  if (!gRecorder.bufferOut) {
    gRecorder.captureBroke = true;
  }
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
  DWORD recorded = BytesRecorded();
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, recorded);
  AppendAudio(recorded);
  SetEvent(gRecorder.lastBufferWritten);
}

// Whether a hand-back failed during the recording.
bool ReadCaptureBroke() {
  AcquireSRWLockExclusive(&gHandBackLock);
  bool broke = gRecorder.captureBroke;
  ReleaseSRWLockExclusive(&gHandBackLock);
  return broke;
}

// The capture worker: one pass per returned buffer, until the last one or until told to quit.
DWORD WINAPI CaptureWorkerMain(LPVOID) {
  for (;;) {
    WaitForSingleObject(gRecorder.bufferReturned, INFINITE);
    if (gRecorder.workerQuit.load()) {
      return 0;
    }
    DWORD copied = 0;
    if (!TakeReturnedBuffer(&copied)) {
      WriteLastBuffer();
      return 0;
    }
    AppendAudio(copied);
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

// Closes the file of a start that failed and removes it, if it is a regular file: a device
// such as /dev/null or /dev/full stays where it is.
void DiscardFile(LPCWSTR wavPath) {
  fclose(gRecorder.outputFile);
  gRecorder.outputFile = nullptr;
  if (gRecorder.removable) {
    _wremove(wavPath);
  }
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
  DiscardFile(wavPath);
}

// Fills in the header for the count, writes it over the placeholder and closes the file. The
// stream is let go of before it is closed, so that no one can find it closed. False when the
// header or the close failed.
bool FinishFile(int32_t count) {
  FILE* file = gRecorder.outputFile;
  gRecorder.outputFile = nullptr;
  FillWaveFileHeader(&gRecorder.header, static_cast<uint32_t>(count));
  bool moved = fsetpos(file, &gRecorder.fileStart) == 0;
  bool written = moved && fwrite(gRecorder.header.bytes, 1, kWaveHeaderBytes, file) == kWaveHeaderBytes;
  bool closed = fclose(file) == 0;
  return written && closed;
}

// Writes the header of an empty recording: a file cut off before its first second is then
// still a WAV file whose header is true. False when the write failed.
bool WritePlaceholder() {
  WaveFileHeader empty;
  FillWaveFileHeader(&empty, 0);
  return fwrite(empty.bytes, 1, kWaveHeaderBytes, gRecorder.outputFile) == kWaveHeaderBytes;
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
  gRecorder.captureBroke = false;
  ReleaseSRWLockExclusive(&gHandBackLock);
  gRecorder.writeFailed = false;
  gRecorder.dataByteCount.store(0);
  gRecorder.outputFile = _wfopen(wavPath, TEXT("wb"));
  if (gRecorder.outputFile == nullptr) {
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_FILE_CREATE_FAILED;
  }
  // Unbuffered: each append is one write of a whole second anyway, and the file then holds every
  // byte appended at any moment, so a process that ends mid-recording can be finished from it.
  setvbuf(gRecorder.outputFile, nullptr, _IONBF, 0);
  gRecorder.removable = StreamIsRegularFile(gRecorder.outputFile);
  gRecorder.fileStart = fpos_t();  // stays the zero position if the stream cannot report one
  fgetpos(gRecorder.outputFile, &gRecorder.fileStart);
  if (!WritePlaceholder()) {
    DiscardFile(wavPath);
    ReleaseSRWLockExclusive(&gStartStopLock);
    return OMBRIVOICE_RECORDER_FILE_CREATE_FAILED;
  }
  if (!KeepModuleLoadedForRecording() || !StartCaptureWorker()) {
    DiscardFile(wavPath);
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
  // the file. The device's results from here on are not examined; the file's are.
  MMRESULT reset = waveInReset(gRecorder.captureDevice);
  EndCaptureWorker(bufferOut && reset == MMSYSERR_NOERROR);
  waveInUnprepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
  waveInClose(gRecorder.captureDevice);
  gRecorder.captureDevice = nullptr;
  int32_t count = gRecorder.dataByteCount.load();
  bool finished = FinishFile(count);
  bool brokeOff = ReadCaptureBroke() || gRecorder.writeFailed || !finished;
  gRecorder.recording = false;
  ReleaseSRWLockExclusive(&gStartStopLock);
  return brokeOff ? OMBRIVOICE_RECORDER_BROKE_OFF : count;
}

FILE* RunningRecordingStream() { return gRecorder.recording ? gRecorder.outputFile : nullptr; }
