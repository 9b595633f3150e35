// OmbriVoiceRecorderStart and OmbriVoiceRecorderStop, the capture callback, and the stop that
// unloading the library makes. Start and stop serialise on one lock; the callback and stop
// meet on another, around the stop flag and the hand-back.
#include "recorder/recorder.h"

#include <cstring>

#include "platform/streams.h"

namespace {

// 16-bit mono PCM at 44100 samples per second.
const WAVEFORMATEX kCaptureFormat = {WAVE_FORMAT_PCM, 1, 44100, 88200, 2, 16, 0};

RecorderState gRecorder;

void SetStopRequested(int32_t value) {
  std::lock_guard<std::mutex> guard(gRecorder.handBackLock);
  gRecorder.stopRequested = value;
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
bool TakeFullBuffer(HWAVEIN device) {
  std::lock_guard<std::mutex> guard(gRecorder.handBackLock);
  if (gRecorder.stopRequested != 0) {
    return false;
  }
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, kCaptureBufferBytes);
  gRecorder.bufferHeader.dwBytesRecorded = 0;
  // Not examined: after a failed hand-back no buffer is out, no further data message comes,
  // and stop's reset has nothing to wait for.
  waveInAddBuffer(device, &gRecorder.bufferHeader, sizeof(WAVEHDR));
  return true;
}

// The header as the device must find it at every start, whatever an earlier recording left.
void FillBufferHeader() {
  gRecorder.bufferHeader = WAVEHDR();
  gRecorder.bufferHeader.lpData = gRecorder.captureBuffer;
  gRecorder.bufferHeader.dwBufferLength = kCaptureBufferBytes;
}

// Undoes a start that failed at step 1, 2 or 3: releases the device, closes and removes the
// placeholder file.
void AbandonFailedStart(LPCWSTR wavPath) {
  if (gRecorder.captureDevice != nullptr) {
    SetStopRequested(1);  // a buffer still queued comes back as the last, not handed back
    waveInReset(gRecorder.captureDevice);
    waveInUnprepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
    waveInClose(gRecorder.captureDevice);
    gRecorder.captureDevice = nullptr;
  }
  fclose(gRecorder.outputFile);
  gRecorder.outputFile = nullptr;
  _wremove(wavPath);
}

// A library unloaded (or a process ending) during a recording finishes its file first.
__attribute__((destructor)) void StopRecordingAtUnload() { OmbriVoiceRecorderStop(); }

}  // namespace

DWORD AudioBytesToKeep(int32_t written, DWORD offered) {
  DWORD room = static_cast<DWORD>(kMaxDataBytes - written);
  return offered < room ? offered : room;
}

void OnCaptureBufferDone(HWAVEIN device, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (message != MM_WIM_DATA) {
    return;
  }
  if (TakeFullBuffer(device)) {
    AppendAudio(kCaptureBufferBytes);
    return;
  }
  DWORD recorded = gRecorder.bufferHeader.dwBytesRecorded;
  if (recorded > kCaptureBufferBytes) {
    recorded = kCaptureBufferBytes;
  }
  memcpy(gRecorder.spareBuffer, gRecorder.captureBuffer, recorded);
  AppendAudio(recorded);
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
  MMRESULT added = waveInAddBuffer(gRecorder.captureDevice, &gRecorder.bufferHeader,
                                   sizeof(WAVEHDR));
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
  std::lock_guard<std::mutex> guard(gRecorder.startStopLock);
  if (gRecorder.recording) {
    return OMBRIVOICE_RECORDER_ALREADY_RECORDING;
  }
  SetStopRequested(0);
  gRecorder.dataByteCount.store(0);
  gRecorder.outputFile = _wfopen(wavPath, u"wb");
  if (gRecorder.outputFile == nullptr) {
    return OMBRIVOICE_RECORDER_FILE_CREATE_FAILED;
  }
  gRecorder.fileStart = fpos_t();  // stays the zero position if the stream cannot report one
  fgetpos(gRecorder.outputFile, &gRecorder.fileStart);
  fwrite(gRecorder.header.bytes, 1, kWaveHeaderBytes, gRecorder.outputFile);  // placeholder
  int32_t result = OpenCapture();
  if (result != OMBRIVOICE_OK) {
    AbandonFailedStart(wavPath);
    return result;
  }
  gRecorder.recording = true;
  return OMBRIVOICE_OK;
}

int32_t OmbriVoiceRecorderStop(void) {
  std::lock_guard<std::mutex> guard(gRecorder.startStopLock);
  if (!gRecorder.recording) {
    return OMBRIVOICE_RECORDER_NOT_RECORDING;
  }
  SetStopRequested(1);
  // Outside handBackLock: the reset delivers the last data message, whose callback takes that
  // lock, before it returns. So once it returns the last buffer is in the file, or no buffer
  // was out because a hand-back failed. Results from here on are not examined.
  waveInReset(gRecorder.captureDevice);
  waveInUnprepareHeader(gRecorder.captureDevice, &gRecorder.bufferHeader, sizeof(WAVEHDR));
  waveInClose(gRecorder.captureDevice);
  int32_t count = gRecorder.dataByteCount.load();
  FillWaveFileHeader(&gRecorder.header, static_cast<uint32_t>(count));
  fsetpos(gRecorder.outputFile, &gRecorder.fileStart);
  fwrite(gRecorder.header.bytes, 1, kWaveHeaderBytes, gRecorder.outputFile);
  fclose(gRecorder.outputFile);
  gRecorder.outputFile = nullptr;
  gRecorder.captureDevice = nullptr;
  gRecorder.recording = false;
  return count;
}
