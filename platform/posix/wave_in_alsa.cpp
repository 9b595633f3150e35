// The capture source on ALSA's "default" PCM, opened non-blocking: snd_pcm_readi of what is
// there, up to one period (some plugins, such as "file", offer no mmap access), and while
// nothing is there a
// poll on the PCM's descriptors and a wake-up descriptor, with a time-out, so that a sound
// server that stops delivering (frozen, suspended, gone) never holds the capture thread.
// Overruns and suspends are recovered in place; the binding bounds how often. ALSA's own error
// printing is silenced.
#include <alsa/asoundlib.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include "platform/wave_in_source.h"

namespace {

constexpr unsigned kBufferMicroseconds = 500000;  // ALSA ring: half a second of audio
constexpr unsigned kPeriodMicroseconds = 100000;  // one read: 100 ms of audio, so a stop
                                                  // waits at most that long for the read
constexpr int kPollMilliseconds = 100;            // longest wait for audio before the capture
                                                  // thread looks at its requests again
constexpr int kSuspendedMilliseconds = 20;        // pause before retrying a suspended device
constexpr int kNotReadyMilliseconds = 10;         // pause after a wake-up that the PCM calls
                                                  // no audio (PipeWire's plugin keeps its
                                                  // descriptor readable until a period is in)
constexpr int kMaxPollFds = 8;                    // the PCM's descriptors (plugins use 1 or 2)

struct AlsaCapture {
  snd_pcm_t* pcm;                  // the open PCM; null when closed
  snd_pcm_uframes_t periodFrames;  // frames per read, as ALSA granted them
  unsigned frameBytes;             // bytes per frame
  pollfd fds[kMaxPollFds + 1];     // the PCM's descriptors, then the wake-up descriptor
  int pcmFds;                      // how many of fds are the PCM's
};

AlsaCapture gAlsa;                       // used by one capture thread at a time
int gWakeFd = -1;                        // eventfd that wake writes; made once, kept for the
                                         // process, since wake may come from any thread
pthread_once_t gSilenceOnce = PTHREAD_ONCE_INIT;

// ALSA prints its errors to stderr unless given a handler. The handler is process-wide (ALSA
// has no per-handle one), so the host's own ALSA errors are silenced too.
void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// Once per process: ALSA's errors silenced and the wake-up descriptor made.
void SetUpOnce() {
  snd_lib_error_set_handler(IgnoreAlsaError);
  gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

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

// The PCM's poll descriptors, and the wake-up descriptor after them. False if they do not fit.
bool CollectPollFds(snd_pcm_t* pcm) {
  int count = snd_pcm_poll_descriptors_count(pcm);
  if (count <= 0 || count > kMaxPollFds || gWakeFd < 0) {
    return false;
  }
  gAlsa.pcmFds = snd_pcm_poll_descriptors(pcm, gAlsa.fds, static_cast<unsigned>(count));
  gAlsa.fds[gAlsa.pcmFds] = {gWakeFd, POLLIN, 0};
  return gAlsa.pcmFds == count;
}

MMRESULT OpenAlsa(const WAVEFORMATEX* format) {
  pthread_once(&gSilenceOnce, SetUpOnce);
  snd_pcm_t* pcm = nullptr;
  int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
  if (error < 0) {
    return MapAlsaError(error);
  }
  error = ConfigureHardware(pcm, format);
  if (error < 0 || gAlsa.periodFrames == 0 || !CollectPollFds(pcm)) {
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
  return error < 0 ? -1 : kSourceOverrun;
}

// Waits up to milliseconds for the PCM (when withPcm) or a wake-up, and consumes a wake-up.
// True when the PCM's descriptors woke it; what they mean is for the PCM to say.
bool WaitForAudioOrWake(bool withPcm, int milliseconds) {
  pollfd* fds = withPcm ? gAlsa.fds : gAlsa.fds + gAlsa.pcmFds;
  nfds_t count = static_cast<nfds_t>(withPcm ? gAlsa.pcmFds + 1 : 1);
  if (poll(fds, count, milliseconds) <= 0) {
    return false;
  }
  if ((gAlsa.fds[gAlsa.pcmFds].revents & POLLIN) != 0) {
    eventfd_t ignored;
    eventfd_read(gWakeFd, &ignored);
    return false;
  }
  return withPcm;
}

// Waits for a period of audio or a wake-up. A PCM that wakes the poll while it has nothing to
// read is given a short pause, so that such a plugin does not make the thread spin.
void WaitForAudio() {
  if (!WaitForAudioOrWake(true, kPollMilliseconds)) {
    return;
  }
  unsigned short events = 0;
  snd_pcm_poll_descriptors_revents(gAlsa.pcm, gAlsa.fds, static_cast<unsigned>(gAlsa.pcmFds), &events);
  if (events == 0) {
    WaitForAudioOrWake(false, kNotReadyMilliseconds);
  }
}

long ReadAlsa(char* destination, DWORD maxBytes) {
  snd_pcm_uframes_t frames = maxBytes / gAlsa.frameBytes;
  if (frames > gAlsa.periodFrames) {
    frames = gAlsa.periodFrames;
  }
  // A non-blocking read of more than is there reads nothing; so ask for what is there (an
  // error here shows again in the read).
  snd_pcm_sframes_t available = snd_pcm_avail_update(gAlsa.pcm);
  if (available > 0 && frames > static_cast<snd_pcm_uframes_t>(available)) {
    frames = static_cast<snd_pcm_uframes_t>(available);
  }
  snd_pcm_sframes_t got = snd_pcm_readi(gAlsa.pcm, destination, frames);
  if (got > 0) {
    return static_cast<long>(got) * gAlsa.frameBytes;
  }
  if (got == 0 || got == -EAGAIN) {
    WaitForAudio();
    return 0;  // the capture thread looks at its requests, then reads again
  }
  if (got == -EINTR) {
    return 0;
  }
  if (got == -EPIPE) {
    return RestartAfterLoss();
  }
  if (got == -ESTRPIPE) {
    int resumed = snd_pcm_resume(gAlsa.pcm);
    if (resumed == -EAGAIN) {
      WaitForAudioOrWake(false, kSuspendedMilliseconds);  // still suspended: try again later
      return 0;
    }
    return resumed < 0 ? RestartAfterLoss() : 0;
  }
  return -1;
}

void WakeAlsa() {
  pthread_once(&gSilenceOnce, SetUpOnce);
  eventfd_write(gWakeFd, 1);
}

void StopAlsa() { snd_pcm_drop(gAlsa.pcm); }

void CloseAlsa() {
  if (gAlsa.pcm != nullptr) {
    snd_pcm_close(gAlsa.pcm);
  }
  gAlsa.pcm = nullptr;
}

}  // namespace

const CaptureSource kAlsaCaptureSource = {OpenAlsa, StartAlsa, ReadAlsa, WakeAlsa, StopAlsa,
                                          CloseAlsa};
