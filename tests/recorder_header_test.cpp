// The 44-byte WAVE header: every field at its offset for small and large counts, the
// placeholder a recording starts with (the header of no audio, every time), and the header
// kept true after each whole second. The recording test must stay the only one in
// this program.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <functional>

#include "TolvexOmbriVoice.h"
#include "doubles/scripted_capture_device.h"
#include "recorder/wave_file_header.h"
#include "recorder_checks.h"

namespace {

uint32_t Read32(const uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t Read16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

std::string Id(const uint8_t* at) { return std::string(reinterpret_cast<const char*>(at), 4); }

TEST(RecorderHeader, EveryFieldAtItsOffset) {
  for (uint32_t count : {0u, 88200u, 2147483646u}) {
    SCOPED_TRACE(count);
    WaveFileHeader header;
    memset(&header, 0xEE, sizeof header);
    FillWaveFileHeader(&header, count);
    const uint8_t* b = header.bytes;
    EXPECT_EQ(Id(b + 0), "RIFF");
    EXPECT_EQ(Read32(b + 4), count + 36);
    EXPECT_EQ(Id(b + 8), "WAVE");
    EXPECT_EQ(Id(b + 12), "fmt ");
    EXPECT_EQ(b[15], 0x20);
    EXPECT_EQ(Read32(b + 16), 16u);
    EXPECT_EQ(Read16(b + 20), 1);
    EXPECT_EQ(Read16(b + 22), 1);
    EXPECT_EQ(Read32(b + 24), 44100u);
    EXPECT_EQ(Read32(b + 28), 88200u);
    EXPECT_EQ(Read16(b + 32), 2);
    EXPECT_EQ(Read16(b + 34), 16);
    EXPECT_EQ(Id(b + 36), "data");
    EXPECT_EQ(Read32(b + 40), count);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b), 44), ExpectedHeader(count));
  }
}

// Records totalBytes with the scripted device; before stopping, waits (up to 10 s) until what
// the file holds is ready, since the worker appends after the device has its buffer back, and
// returns it.
std::string RecordAndPeek(const std::string& path, uint64_t totalBytes,
                          const std::function<bool(const std::string&)>& ready, int32_t* count) {
  ScriptedCaptureDevice script = {};
  script.totalBytes = totalBytes;
  WaveInUseScriptedDeviceForTesting(&script);
  EXPECT_EQ(OmbriVoiceRecorderStart(Utf16(path).c_str()), 999);
  EXPECT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(10000));
  std::string beforeStop = ReadBytes(path);
  for (int i = 0; i < 1000 && !ready(beforeStop); ++i) {
    usleep(10000);
    beforeStop = ReadBytes(path);
  }
  *count = OmbriVoiceRecorderStop();
  WaveInUseScriptedDeviceForTesting(nullptr);
  return beforeStop;
}

TEST(RecorderHeader, PlaceholderIsTheHeaderOfNoAudioUntilTheFirstSecondKeepsItTrue) {
  TempDir dir;
  // Under a second: the device still holds everything, and the file only its placeholder,
  // true for no audio in the process's first recording and after an earlier one alike.
  auto placeholderWritten = [](const std::string& file) { return file.size() >= 44; };
  int32_t first = 0;
  std::string firstPeek = RecordAndPeek(dir.File("first.wav"), 10, placeholderWritten, &first);
  EXPECT_EQ(firstPeek, ExpectedHeader(0));
  EXPECT_EQ(first, 10);
  ExpectFinishedFile(ReadBytes(dir.File("first.wav")), first);

  int32_t second = 0;
  std::string secondPeek = RecordAndPeek(dir.File("second.wav"), 20, placeholderWritten, &second);
  EXPECT_EQ(secondPeek, ExpectedHeader(0));
  EXPECT_EQ(second, 20);
  ExpectFinishedFile(ReadBytes(dir.File("second.wav")), second);

  // After whole seconds, before any stop, the header already tells the truth about them.
  const std::string twoSecondsHeader = ExpectedHeader(2 * kOneSecond);
  int32_t third = 0;
  std::string thirdPeek = RecordAndPeek(
      dir.File("third.wav"), 2 * kOneSecond + 30,
      [&](const std::string& file) { return file.compare(0, 44, twoSecondsHeader) == 0; }, &third);
  EXPECT_EQ(thirdPeek.size(), 44 + 2 * kOneSecond);
  EXPECT_EQ(thirdPeek.substr(0, 44), twoSecondsHeader);
  EXPECT_EQ(third, static_cast<int32_t>(2 * kOneSecond + 30));
  ExpectFinishedFile(ReadBytes(dir.File("third.wav")), third);
  ExpectFinishedFile(ReadBytes(dir.File("first.wav")), first);
}

}  // namespace
