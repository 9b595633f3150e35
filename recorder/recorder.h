// The recorder: one recording at a time, captured from the waveIn device one second per buffer
// and appended to a WAV file whose header is finished at stop.
#ifndef OMBRIVOICE_RECORDER_RECORDER_H
#define OMBRIVOICE_RECORDER_RECORDER_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "TolvexOmbriVoice.h"
#include "platform/wave_in.h"
#include "recorder/wave_file_header.h"

constexpr DWORD kCaptureBufferBytes = 88200;     // one second: 44100 samples of 2 bytes
constexpr int32_t kMaxDataBytes = 2147483646;    // the largest even int32: a whole number of
                                                 // samples, and 36 + it fits the RIFF size

// Everything one recording needs; a single module-wide record, zero at load.
struct RecorderState {
  std::mutex startStopLock;              // held through each start and each stop
  bool recording;                        // a start returned 999 and its stop has not ended;
                                         // guarded by startStopLock
  FILE* outputFile;                      // the WAV file, open from start to stop
  fpos_t fileStart;                      // the stream position of byte 0, taken at the open
  HWAVEIN captureDevice;                 // the capture device, open from start to stop
  WAVEHDR bufferHeader;                  // the one buffer header the device is given
  char captureBuffer[kCaptureBufferBytes];  // what the device fills
  char spareBuffer[kCaptureBufferBytes];    // each returned buffer is copied here, and the
                                            // file is written from here
  std::mutex handBackLock;               // makes the callback's flag test and hand-back one
                                         // step with respect to stop setting the flag
  int32_t stopRequested;                 // 0 or 1: the next returned buffer is the last;
                                         // guarded by handBackLock
  std::atomic<int32_t> dataByteCount;    // audio bytes written after the header
  WaveFileHeader header;                 // the header record: zero at load, then the header
                                         // of the last finished recording
};

// The capture callback: handles MM_WIM_DATA for the one buffer header, ignores the rest.
void OnCaptureBufferDone(HWAVEIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                         DWORD_PTR param2);

// Opens the device, queues the buffer and starts capture: 999, or 1, 2 or 3 for the step that
// failed (the device then stays as that step left it).
int32_t OpenCapture();

// How many of offered bytes may still be written when written are already in the file, so
// that the count never passes kMaxDataBytes.
DWORD AudioBytesToKeep(int32_t written, DWORD offered);

#endif
