// The recorder: one recording at a time, captured from the waveIn device one second per buffer
// and appended to a WAV file whose header is kept true after each second and finished at stop.
#ifndef OMBRIVOICE_RECORDER_RECORDER_H
#define OMBRIVOICE_RECORDER_RECORDER_H

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "TolvexOmbriVoice.h"
#include "recorder/wave_file_header.h"
#include "platform/synchronization.h"
#include "platform/wave_in.h"

constexpr DWORD kCaptureBufferBytes = OMBRIVOICE_RECORDING_BYTES_PER_SECOND;  // one second
constexpr int32_t kMaxDataBytes = 2147483646;    // the largest even int32: a whole number of
                                                 // samples, and 36 + it fits the RIFF size

// Everything one recording needs; a single module-wide record, zero at load. The two locks
// that guard parts of it are beside it (recorder.cpp), since they need no set-up.
//
// The capture callback may not call waveIn functions, so it only signals bufferReturned. The
// capture worker, a thread of the recording, does the work: copy, hand-back, then append.
struct RecorderState {
  bool recording;                        // a start returned 999 and its stop has not ended;
                                         // guarded by the start/stop lock
  FILE* outputFile;                      // the WAV file, open from start to stop
  fpos_t fileStart;                      // the stream position of byte 0, taken at the open
  bool removable;                        // the file is a regular file, removed if the start
                                         // fails (never a device such as /dev/null)
  HWAVEIN captureDevice;                 // the capture device, open from start to stop
  WAVEHDR bufferHeader;                  // the one buffer header the device is given
  char captureBuffer[kCaptureBufferBytes];  // what the device fills
  char spareBuffer[kCaptureBufferBytes];    // each returned buffer is copied here, and the
                                            // file is written from here
  HANDLE bufferReturned;                 // auto-reset event the callback sets for each data
                                         // message; the worker waits on it
  HANDLE lastBufferWritten;              // manual-reset event the worker sets once the last
                                         // buffer is in the file; stop waits on it
  HANDLE captureWorker;                  // the worker thread, from start to stop
  std::atomic<bool> workerQuit;          // the worker ends at its next wake-up
  int32_t stopRequested;                 // 0 or 1: the next returned buffer is the last;
                                         // guarded by the hand-back lock
  bool bufferOut;                        // a buffer is with the device or the worker, so a
                                         // last data message will come (false after a failed
                                         // hand-back); guarded by the hand-back lock
  bool captureBroke;                     // a hand-back failed: capture ended before the stop;
                                         // guarded by the hand-back lock
  bool writeFailed;                      // an append fell short: nothing more is written; set
                                         // by the worker, read by stop after it has ended
  std::atomic<int32_t> dataByteCount;    // audio bytes written after the header
  WaveFileHeader header;                 // the header record: zero at load, then the header
                                         // of the last finished recording
};

// The capture callback: signals the worker for MM_WIM_DATA, ignores the rest. It calls nothing
// of the waveIn family, which the platform forbids inside its callback.
void CALLBACK OnCaptureBufferDone(HWAVEIN device, UINT message, DWORD_PTR instance,
                                  DWORD_PTR param1, DWORD_PTR param2);

// Opens the device, queues the buffer and starts capture: 999, or 1, 2 or 3 for the step that
// failed (the device then stays as that step left it).
int32_t OpenCapture();

// How many of offered bytes may still be written when written are already in the file, so
// that the count never passes kMaxDataBytes.
DWORD AudioBytesToKeep(int32_t written, DWORD offered);

// The WAV file's stream while a recording runs, else nullptr. Its file always holds every byte
// appended (the stream is unbuffered), so a process that ends during a recording, when the
// recorder's threads and locks are gone, can still finish the file from its size.
FILE* RunningRecordingStream();

#endif
