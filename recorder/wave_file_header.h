// The 44-byte RIFF/WAVE header at the start of every recording: one format chunk for 16-bit
// mono PCM at 44100 Hz, then the data chunk header. Kept as the bytes that go into the file.
#ifndef OMBRIVOICE_RECORDER_WAVE_FILE_HEADER_H
#define OMBRIVOICE_RECORDER_WAVE_FILE_HEADER_H

#include <cstddef>
#include <cstdint>

constexpr size_t kWaveHeaderBytes = 44;  // RIFF header 12 + fmt chunk 24 + data chunk header 8

// The header in file order: integers little-endian, chunk ids in ASCII without a terminator.
// All zero until it is first filled in.
struct WaveFileHeader {
  uint8_t bytes[kWaveHeaderBytes];
};

// Fills in all thirteen fields for a recording of dataBytes audio bytes.
void FillWaveFileHeader(WaveFileHeader* header, uint32_t dataBytes);

#endif
