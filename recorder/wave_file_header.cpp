// Fills the WAVE header field by field with little-endian put helpers, one line per field.
#include "recorder/wave_file_header.h"

#include "TolvexOmbriVoice.h"

namespace {

constexpr uint32_t kSampleRate = OMBRIVOICE_RECORDING_SAMPLE_RATE;
constexpr uint16_t kChannels = OMBRIVOICE_RECORDING_CHANNELS;
constexpr uint16_t kBitsPerSample = OMBRIVOICE_RECORDING_BITS_PER_SAMPLE;
constexpr uint16_t kBlockAlign = kChannels * kBitsPerSample / 8;
constexpr uint32_t kBytesPerSecond = OMBRIVOICE_RECORDING_BYTES_PER_SECOND;
constexpr uint32_t kFormatChunkBytes = 16;  // the PCM format fields, offsets 20 to 35
constexpr uint16_t kFormatPcm = 1;

void PutId(uint8_t* at, const char id[5]) {
  at[0] = static_cast<uint8_t>(id[0]);
  at[1] = static_cast<uint8_t>(id[1]);
  at[2] = static_cast<uint8_t>(id[2]);
  at[3] = static_cast<uint8_t>(id[3]);
}

void PutLittle16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutLittle32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  at[2] = static_cast<uint8_t>((value >> 16) & 0xFF);
  at[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

void FillWaveFileHeader(WaveFileHeader* header, uint32_t dataBytes) {
  uint8_t* b = header->bytes;
  PutId(b + 0, "RIFF");                      // RIFF chunk id
  PutLittle32(b + 4, 36 + dataBytes);        // "WAVE" 4 + fmt chunk 24 + data header 8 + data
  PutId(b + 8, "WAVE");                      // form type
  PutId(b + 12, "fmt ");                     // format chunk id, with its trailing space
  PutLittle32(b + 16, kFormatChunkBytes);    // format chunk size
  PutLittle16(b + 20, kFormatPcm);           // format tag
  PutLittle16(b + 22, kChannels);            // channels
  PutLittle32(b + 24, kSampleRate);          // samples per second
  PutLittle32(b + 28, kBytesPerSecond);      // average bytes per second
  PutLittle16(b + 32, kBlockAlign);          // block align
  PutLittle16(b + 34, kBitsPerSample);       // bits per sample
  PutId(b + 36, "data");                     // data chunk id
  PutLittle32(b + 40, dataBytes);            // data chunk size
}
