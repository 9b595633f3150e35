// The WAV reader: checks that a file's bytes are RIFF/WAVE with 16-bit PCM samples and says
// where the samples are. Pure functions over bytes, so a fuzzer can drive them.
#ifndef OMBRIVOICE_SERVICE_WAV_READER_H
#define OMBRIVOICE_SERVICE_WAV_READER_H

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrivoice::service {

// Rates and channel counts the service accepts; anything else is refused as not speech audio.
constexpr std::uint32_t kMinSampleRate = 4000;
constexpr std::uint32_t kMaxSampleRate = 384000;
constexpr std::uint16_t kMaxChannels = 16;

struct WavAudio {
  std::uint32_t sampleRate = 0;
  std::uint16_t channels = 0;
  std::uint64_t frames = 0;     // samples per channel
  std::string_view samples;     // interleaved little-endian 16-bit samples, frames * channels * 2 bytes
};

struct WavReadResult {
  bool ok = false;
  std::string error;   // what is wrong, in words, when !ok
  WavAudio audio;
};

// Walks the RIFF chunks of bytes (odd chunks padded to even), takes the first "fmt " and the
// first "data" chunk after it. A data chunk that claims more bytes than the file holds (a
// writer that never finished its header) is cut to the whole frames present. Fails on anything
// but PCM (format 1, or extensible with a PCM sub-format) with 16 bits, or when no frame exists.
WavReadResult ReadWav(std::string_view bytes);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_WAV_READER_H
