// Checks shared by the recorder tests: the header a finished file must start with (built here
// byte by byte, independently of the library), the file as a whole, and a real WAV reader.
#ifndef OMBRIVOICE_TESTS_RECORDER_CHECKS_H
#define OMBRIVOICE_TESTS_RECORDER_CHECKS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/test_files.h"

constexpr uint32_t kOneSecond = 88200;  // bytes of one second of 16-bit mono at 44100 Hz

inline std::string Little32(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// The 44 header bytes a recording of dataBytes audio bytes must start with.
inline std::string ExpectedHeader(uint32_t dataBytes) {
  const std::string fmt("\x10\0\0\0\x01\0\x01\0\x44\xAC\0\0\x88\x58\x01\0\x02\0\x10\0", 20);
  return "RIFF" + Little32(36 + dataBytes) + "WAVE" + "fmt " + fmt + "data" + Little32(dataBytes);
}

// The file is the finished header for count bytes followed by exactly count bytes.
inline void ExpectFinishedFile(const std::string& file, int32_t count) {
  ASSERT_GE(count, 0);
  ASSERT_EQ(file.size(), 44u + static_cast<size_t>(count));
  EXPECT_EQ(file.substr(0, 44), ExpectedHeader(static_cast<uint32_t>(count)));
}

// Python's wave module opens the file and finds 44100 Hz 16-bit mono with count bytes of
// frames; extra arguments ask the checker for more (see recorder_wav_check.py).
inline int RunWavReader(const std::string& path, int32_t count, const std::string& extra = "") {
  std::string command = std::string(OMBRIVOICE_PYTHON) + " " + OMBRIVOICE_WAV_CHECK + " '" +
                        path + "' " + std::to_string(count) + " " + extra;
  return std::system(command.c_str());
}

#endif
