// Audio preparation: mix-down, level measurement and the libsamplerate conversion to 16 kHz.
#include "service/audio_prep.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>

namespace ombrivoice::service {
namespace {

constexpr float kFullScale = 32768.0f;  // the magnitude of the most negative 16-bit sample

double ToDbfs(double magnitude) {
  return magnitude > 0 ? std::max(kSilenceDbfs, 20.0 * std::log10(magnitude)) : kSilenceDbfs;
}

}  // namespace

std::vector<float> MixToMono(const WavAudio& audio) {
  std::vector<float> mono(audio.frames);
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(audio.samples.data());
  std::size_t at = 0;
  for (std::uint64_t frame = 0; frame < audio.frames; ++frame) {
    float sum = 0;
    for (std::uint16_t channel = 0; channel < audio.channels; ++channel, at += 2) {
      sum += static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8);
    }
    mono[frame] = sum / (kFullScale * audio.channels);
  }
  return mono;
}

AudioFacts MeasureAudio(const WavAudio& audio, const std::vector<float>& mono) {
  AudioFacts facts;
  facts.sampleRate = audio.sampleRate;
  facts.channels = audio.channels;
  facts.durationSeconds = static_cast<double>(audio.frames) / audio.sampleRate;
  double squares = 0;
  float peak = 0;
  for (float sample : mono) {
    squares += static_cast<double>(sample) * sample;
    peak = std::max(peak, std::fabs(sample));
  }
  facts.rmsDbfs = mono.empty() ? kSilenceDbfs : ToDbfs(std::sqrt(squares / mono.size()));
  facts.peakDbfs = ToDbfs(peak);
  return facts;
}

bool ResampleForRecognizer(const std::vector<float>& mono, std::uint32_t fromRate,
                           std::vector<std::int16_t>* out, std::string* error) {
  std::vector<float> converted;
  if (fromRate == kRecognizerRate) {
    converted = mono;
  } else {
    const double ratio = static_cast<double>(kRecognizerRate) / fromRate;
    converted.resize(static_cast<std::size_t>(std::ceil(mono.size() * ratio)) + 1);
    SRC_DATA data{};
    data.data_in = mono.data();
    data.input_frames = static_cast<long>(mono.size());
    data.data_out = converted.data();
    data.output_frames = static_cast<long>(converted.size());
    data.src_ratio = ratio;
    int status = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    if (status != 0) {
      *error = std::string("resampling failed: ") + src_strerror(status);
      return false;
    }
    converted.resize(static_cast<std::size_t>(data.output_frames_gen));
  }
  out->resize(converted.size());
  src_float_to_short_array(converted.data(), out->data(), static_cast<int>(converted.size()));
  return true;
}

}  // namespace ombrivoice::service
