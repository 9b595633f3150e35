// The capture source on ALSA's "default" PCM: read with blocking snd_pcm_readi calls of one
// period (some plugins, such as "file", offer no mmap access), overruns and suspends recovered
// in place. ALSA's own error printing is silenced. Blocking reads of whole periods let ALSA
// wake the capture thread once per period; polling for partial periods cost a fifth more CPU.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include "wave_in_source.h"

namespace {

constexpr unsigned kBufferMicroseconds = 500000;  // ALSA ring: half a second of audio
constexpr unsigned kPeriodMicroseconds = 100000;  // one read: 100 ms of audio, so a stop
                                                  // waits at most that long for the read
constexpr int kWaitMilliseconds = 20;             // pause before retrying a suspended device

struct AlsaCapture {
  snd_pcm_t* pcm;                  // the open PCM; null when closed
  snd_pcm_uframes_t periodFrames;  // frames per read, as ALSA granted them
  unsigned frameBytes;             // bytes per frame
};

AlsaCapture gAlsa;                       // used by one capture thread at a time
pthread_once_t gSilenceOnce = PTHREAD_ONCE_INIT;

// ALSA prints its errors to stderr unless given a handler. The handler is process-wide (ALSA
// has no per-handle one), so the host's own ALSA errors are silenced too.
void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsaErrors() { snd_lib_error_set_handler(IgnoreAlsaError); }

// The one place ALSA's negative errno results become waveIn results.
MMRESULT MapAlsaError(int error) {
  switch (error) {
    case 0:
      return MMSYSERR_NOERROR;
    case -ENOENT:
    case -ENODEV:
    case -ENXIO:
      return MMSYSERR_BADDEVICEID;
    case -EBUSY:
      return MMSYSERR_ALLOCATED;
    case -ENOMEM:
      return MMSYSERR_NOMEM;
    case -EINVAL:
      return WAVERR_BADFORMAT;
    default:
      return MMSYSERR_ERROR;
  }
}

// Sets interleaved 16-bit capture at exactly the format's rate, with ALSA resampling if the
// device needs it, a half-second ring and 100 ms periods (or the nearest the device allows).
int ConfigureHardware(snd_pcm_t* pcm, const WAVEFORMATEX* format) {
  snd_pcm_hw_params_t* params;
  snd_pcm_hw_params_alloca(&params);
  unsigned bufferTime = kBufferMicroseconds;
  unsigned periodTime = kPeriodMicroseconds;
  int error = snd_pcm_hw_params_any(pcm, params);
  if (error >= 0) error = snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (error >= 0) error = snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE);
  if (error >= 0) error = snd_pcm_hw_params_set_channels(pcm, params, format->nChannels);
  if (error >= 0) error = snd_pcm_hw_params_set_rate_resample(pcm, params, 1);
  if (error >= 0) error = snd_pcm_hw_params_set_rate(pcm, params, format->nSamplesPerSec, 0);
  if (error >= 0) error = snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferTime, nullptr);
  if (error >= 0) error = snd_pcm_hw_params_set_period_time_near(pcm, params, &periodTime, nullptr);
  if (error >= 0) error = snd_pcm_hw_params(pcm, params);
  if (error >= 0) error = snd_pcm_hw_params_get_period_size(params, &gAlsa.periodFrames, nullptr);
  return error;
}

MMRESULT OpenAlsa(const WAVEFORMATEX* format) {
  pthread_once(&gSilenceOnce, SilenceAlsaErrors);
  snd_pcm_t* pcm = nullptr;
  int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_CAPTURE, 0);
  if (error < 0) {
    return MapAlsaError(error);
  }
  error = ConfigureHardware(pcm, format);
  if (error < 0 || gAlsa.periodFrames == 0) {
    snd_pcm_close(pcm);
    return error < 0 ? MapAlsaError(error) : MMSYSERR_ERROR;
  }
  gAlsa.pcm = pcm;
  gAlsa.frameBytes = format->nBlockAlign;
  return MMSYSERR_NOERROR;
}

MMRESULT StartAlsa() {
  int error = 0;
  if (snd_pcm_state(gAlsa.pcm) != SND_PCM_STATE_PREPARED) {
    error = snd_pcm_prepare(gAlsa.pcm);
  }
  if (error >= 0) {
    error = snd_pcm_start(gAlsa.pcm);
  }
  return MapAlsaError(error < 0 ? error : 0);
}

// After an overrun, or a suspend that cannot be resumed: the lost audio stays lost.
long RestartAfterLoss() {
  int error = snd_pcm_prepare(gAlsa.pcm);
  if (error >= 0) {
    error = snd_pcm_start(gAlsa.pcm);
  }
  return error < 0 ? -1 : 0;
}

long ReadAlsa(char* destination, DWORD maxBytes) {
  snd_pcm_uframes_t frames = maxBytes / gAlsa.frameBytes;
  if (frames > gAlsa.periodFrames) {
    frames = gAlsa.periodFrames;
  }
  snd_pcm_sframes_t got = snd_pcm_readi(gAlsa.pcm, destination, frames);
  if (got >= 0) {
    return static_cast<long>(got) * gAlsa.frameBytes;
  }
  if (got == -EAGAIN || got == -EINTR) {
    return 0;  // nothing this time: the capture thread looks at its requests, then reads again
  }
  if (got == -EPIPE) {
    return RestartAfterLoss();
  }
  if (got == -ESTRPIPE) {
    int resumed = snd_pcm_resume(gAlsa.pcm);
    if (resumed == -EAGAIN) {
      usleep(kWaitMilliseconds * 1000);  // still suspended: try again on the next pass
      return 0;
    }
    return resumed < 0 ? RestartAfterLoss() : 0;
  }
  return -1;
}

void StopAlsa() { snd_pcm_drop(gAlsa.pcm); }

void CloseAlsa() {
  if (gAlsa.pcm != nullptr) {
    snd_pcm_close(gAlsa.pcm);
  }
  gAlsa.pcm = nullptr;
}

}  // namespace

const CaptureSource kAlsaCaptureSource = {OpenAlsa, StartAlsa, ReadAlsa, StopAlsa, CloseAlsa};
