// Audio preparation for the recogniser: mixes WAV samples down to mono, measures their level
// and resamples them to the 16 kHz the acoustic model was trained on.
#ifndef OMBRIVOICE_SERVICE_AUDIO_PREP_H
#define OMBRIVOICE_SERVICE_AUDIO_PREP_H

#include <cstdint>
#include <string>
#include <vector>

#include "service/wav_reader.h"

namespace ombrivoice::service {

// The rate the recogniser's model expects.
constexpr std::uint32_t kRecognizerRate = 16000;

// What a job reports about its audio besides the text.
struct AudioFacts {
  double durationSeconds = 0;
  std::uint32_t sampleRate = 0;   // of the uploaded file
  std::uint16_t channels = 0;     // of the uploaded file
  double rmsDbfs = 0;             // root mean square of the mono mix, dB below full scale
  double peakDbfs = 0;            // largest absolute sample of the mono mix, dB below full scale
};

// Floor reported for silence, where the logarithm would be minus infinity.
constexpr double kSilenceDbfs = -120.0;

// The channels' average per frame, scaled to [-1, 1).
std::vector<float> MixToMono(const WavAudio& audio);

// Duration, format and level of audio whose mono mix is mono.
AudioFacts MeasureAudio(const WavAudio& audio, const std::vector<float>& mono);

// mono at fromRate resampled to 16 kHz 16-bit samples; false with error when the resampler
// fails.
bool ResampleForRecognizer(const std::vector<float>& mono, std::uint32_t fromRate,
                           std::vector<std::int16_t>* out, std::string* error);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_AUDIO_PREP_H
