// The WAV reader: a chunk walk over the RIFF container with a check of each format field that
// the service relies on when it decodes the samples.
#include "service/wav_reader.h"

namespace ombrivoice::service {
namespace {

constexpr std::size_t kRiffHeaderBytes = 12;      // "RIFF" + size + "WAVE"
constexpr std::size_t kChunkHeaderBytes = 8;      // four-character id + 32-bit size
constexpr std::size_t kPcmFormatBytes = 16;       // the fields of a plain PCM fmt chunk
constexpr std::size_t kExtensibleFormatBytes = 40;  // 16 + cbSize + 22 bytes of extension
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::size_t kSubFormatOffset = 24;      // the GUID's first two bytes are the format

std::uint16_t Get16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t Get32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(Get16(bytes, at)) | static_cast<std::uint32_t>(Get16(bytes, at + 2)) << 16;
}

WavReadResult Fail(std::string error) {
  WavReadResult result;
  result.error = std::move(error);
  return result;
}

// Checks the fmt chunk body and fills rate and channels; an empty string means it is usable.
std::string ReadFormat(std::string_view fmt, WavAudio* audio) {
  if (fmt.size() < kPcmFormatBytes) {
    return "the fmt chunk is shorter than 16 bytes";
  }
  std::uint16_t format = Get16(fmt, 0);
  if (format == kFormatExtensible && fmt.size() >= kExtensibleFormatBytes) {
    format = Get16(fmt, kSubFormatOffset);
  }
  if (format != kFormatPcm) {
    return "the samples are not PCM (format " + std::to_string(format) + ")";
  }
  audio->channels = Get16(fmt, 2);
  audio->sampleRate = Get32(fmt, 4);
  const std::uint16_t blockAlign = Get16(fmt, 12);
  const std::uint16_t bits = Get16(fmt, 14);
  if (bits != 16) {
    return "the samples have " + std::to_string(bits) + " bits; 16 are needed";
  }
  if (audio->channels == 0 || audio->channels > kMaxChannels) {
    return "the channel count " + std::to_string(audio->channels) + " is not between 1 and 16";
  }
  if (audio->sampleRate < kMinSampleRate || audio->sampleRate > kMaxSampleRate) {
    return "the sample rate " + std::to_string(audio->sampleRate) + " Hz is not between 4000 and 384000";
  }
  if (blockAlign != audio->channels * 2u) {
    return "the block alignment " + std::to_string(blockAlign) + " does not match 16-bit samples";
  }
  return "";
}

}  // namespace

WavReadResult ReadWav(std::string_view bytes) {
  if (bytes.size() < kRiffHeaderBytes || bytes.substr(0, 4) != "RIFF" || bytes.substr(8, 4) != "WAVE") {
    return Fail("the file is not a WAV file (no RIFF/WAVE header)");
  }
  WavReadResult result;
  bool haveFormat = false;
  std::size_t pos = kRiffHeaderBytes;
  while (bytes.size() - pos >= kChunkHeaderBytes) {
    const std::string_view id = bytes.substr(pos, 4);
    const std::uint64_t declared = Get32(bytes, pos + 4);
    const std::size_t bodyStart = pos + kChunkHeaderBytes;
    const std::size_t available = bytes.size() - bodyStart;
    if (id == "data") {
      if (!haveFormat) {
        return Fail("the data chunk comes before any fmt chunk");
      }
      const std::size_t frameBytes = result.audio.channels * 2u;
      const std::size_t usable = static_cast<std::size_t>(declared < available ? declared : available);
      result.audio.frames = usable / frameBytes;
      result.audio.samples = bytes.substr(bodyStart, result.audio.frames * frameBytes);
      if (result.audio.frames == 0) {
        return Fail("the data chunk holds no samples");
      }
      result.ok = true;
      return result;
    }
    if (declared > available) {
      return Fail("the \"" + std::string(id) + "\" chunk is cut off");
    }
    if (id == "fmt " && !haveFormat) {
      std::string error = ReadFormat(bytes.substr(bodyStart, declared), &result.audio);
      if (!error.empty()) {
        return Fail(error);
      }
      haveFormat = true;
    }
    pos = bodyStart + declared + (declared & 1u);  // odd chunks carry one pad byte
    if (pos > bytes.size()) {
      break;
    }
  }
  return Fail(haveFormat ? "the file has no data chunk" : "the file has no fmt chunk");
}

}  // namespace ombrivoice::service
