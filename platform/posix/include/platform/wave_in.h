// Waveform-audio input calls (waveInOpen ... waveInClose) on ALSA's "default" capture PCM.
// One device can be open at a time, with one buffer queued at a time; it runs its own capture
// thread, which opens the PCM, fills the buffer one ALSA period at a time and delivers one
// MM_WIM_DATA message when it returns it. No call waits for the sound system without a bound:
// open, start, reset and close each give up after a fixed time, and a capture thread left
// waiting in the sound system is let go: it ends by itself, releasing the PCM, and the library
// stays mapped for the rest of the process.
#ifndef OMBRIVOICE_PLATFORM_WAVE_IN_H
#define OMBRIVOICE_PLATFORM_WAVE_IN_H

#include "platform/win_types.h"

typedef UINT MMRESULT;
typedef struct WaveInDevice* HWAVEIN;

// The capture format. 16-bit PCM only, its fields consistent with one another.
struct WAVEFORMATEX {
  WORD wFormatTag;       // WAVE_FORMAT_PCM
  WORD nChannels;        // channels per frame
  DWORD nSamplesPerSec;  // frames per second
  DWORD nAvgBytesPerSec; // nSamplesPerSec * nBlockAlign
  WORD nBlockAlign;      // bytes per frame: nChannels * 2
  WORD wBitsPerSample;   // 16
  WORD cbSize;           // 0: no extra format bytes
};

// A buffer handed to the device. The caller owns lpData and dwBufferLength; the device owns
// dwBytesRecorded (while the buffer is queued), dwFlags, lpNext and reserved.
struct WAVEHDR {
  char* lpData;            // where the audio goes
  DWORD dwBufferLength;    // its size in bytes, a whole number of frames
  DWORD dwBytesRecorded;   // bytes filled so far
  DWORD_PTR dwUser;        // the caller's value, untouched
  DWORD dwFlags;           // WHDR_* below
  DWORD dwLoops;           // unused for input
  WAVEHDR* lpNext;         // unused: one buffer is queued at a time
  DWORD_PTR reserved;      // unused
};

// The callback: device, message (MM_WIM_*), the instance value given to waveInOpen, and for
// MM_WIM_DATA the returned WAVEHDR* in param1.
typedef void(CALLBACK* WaveInCallback)(HWAVEIN device, UINT message, DWORD_PTR instance,
                               DWORD_PTR param1, DWORD_PTR param2);

#define WAVE_MAPPER (static_cast<UINT>(-1))
#define WAVE_FORMAT_PCM 1
#define CALLBACK_FUNCTION 0x00030000u

#define MM_WIM_OPEN 0x3BE
#define MM_WIM_CLOSE 0x3BF
#define MM_WIM_DATA 0x3C0

#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_INQUEUE 0x00000010u

#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34

// Opens the capture device (WAVE_MAPPER: ALSA's "default" PCM) for the format, with a callback
// function (CALLBACK_FUNCTION). MM_WIM_OPEN reaches the callback before it returns. Gives up
// with MMSYSERR_ERROR when the PCM has not opened within kWaveInOpenWaitMs, and refuses with
// MMSYSERR_ALLOCATED while a capture thread let go earlier has not ended yet.
MMRESULT waveInOpen(HWAVEIN* device, UINT deviceId, const WAVEFORMATEX* format,
                    DWORD_PTR callback, DWORD_PTR instance, DWORD flags);

// Marks a buffer prepared; a buffer must be prepared before it is queued.
MMRESULT waveInPrepareHeader(HWAVEIN device, WAVEHDR* header, UINT headerSize);

// Queues a prepared buffer; a second one while one is queued is refused (WAVERR_STILLPLAYING).
// May be called from inside the callback. Once the source has failed (the sound server died,
// the source was removed, overruns without a frame between them went on), the buffer that was
// queued has come back with what it held, and every later one is refused with
// MMSYSERR_NODRIVER.
MMRESULT waveInAddBuffer(HWAVEIN device, WAVEHDR* header, UINT headerSize);

// Starts capture; returns once the capture thread has started the ALSA stream, or failed to,
// or with MMSYSERR_ERROR after kWaveInStartWaitMs.
MMRESULT waveInStart(HWAVEIN device);

// Stops capture and returns the queued buffer with what it holds (even 0 bytes). Its
// MM_WIM_DATA message has been delivered, and no callback is running, by the time it returns.
// If the capture thread does not answer within kWaveInResetWaitMs, the buffer is returned from
// the calling thread, and nothing is written into it afterwards. Not allowed from inside the
// callback (MMSYSERR_HANDLEBUSY).
MMRESULT waveInReset(HWAVEIN device);

// Releases a prepared buffer that is not queued.
MMRESULT waveInUnprepareHeader(HWAVEIN device, WAVEHDR* header, UINT headerSize);

// Ends the capture thread and closes the device; a buffer still queued refuses it
// (WAVERR_STILLPLAYING). MM_WIM_CLOSE reaches the callback before it returns. A thread that has
// not ended within kWaveInCloseWaitMs is let go: it releases the PCM when the sound system
// lets it, and calls the callback no more.
MMRESULT waveInClose(HWAVEIN device);

// The bounds above, in milliseconds. Open and start together stay within a recording start's
// five seconds; reset and close together within a stop's half second.
constexpr unsigned kWaveInOpenWaitMs = 2500;
constexpr unsigned kWaveInStartWaitMs = 1500;
constexpr unsigned kWaveInResetWaitMs = 250;
constexpr unsigned kWaveInCloseWaitMs = 200;

#endif
