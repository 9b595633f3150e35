// The recorder through the real ALSA library with no sound hardware: a test configuration
// whose "default" is the file plugin reading a known pattern over the null plugin, and one
// whose "default" names a sound card that does not exist.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "TolvexOmbriVoice.h"
#include "recorder_alsa_config.h"
#include "recorder_checks.h"

namespace {

TEST(RecorderAlsa, FilePluginPatternReachesTheFileUnchanged) {
  TempDir dir;
  const std::string pattern = PatternBytes(3 * kOneSecond + 4410);
  WriteBytes(dir.File("pattern.raw"), pattern);
  UseAlsaDefault(dir, FilePluginDefault(dir.File("pattern.raw")));
  std::string path = dir.File("pattern.wav");
  ASSERT_EQ(OmbriVoiceRecorderStart(Utf16(path).c_str()), 999);
  ASSERT_TRUE(WaitForFileSize(path, 44 + 2 * kOneSecond));
  int32_t count = OmbriVoiceRecorderStop();
  ASSERT_GE(count, static_cast<int32_t>(2 * kOneSecond));
  EXPECT_EQ(count % 2, 0);
  std::string file = ReadBytes(path);
  ExpectFinishedFile(file, count);
  size_t common = std::min(pattern.size(), file.size() - 44);
  EXPECT_TRUE(file.compare(44, common, pattern, 0, common) == 0) << "audio is not the pattern";
  EXPECT_EQ(RunWavReader(path, count, "--pattern '" + dir.File("pattern.raw") + "'"), 0);
}

TEST(RecorderAlsa, NoCaptureDeviceGivesOneAndLeavesNoFile) {
  TempDir dir;
  UseAlsaDefault(dir, "pcm.!default { type hw card 31 device 0 }\n");
  std::string path = dir.File("none.wav");
  EXPECT_EQ(OmbriVoiceRecorderStart(Utf16(path).c_str()), 1);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(OmbriVoiceRecorderStop(), -1);
}

}  // namespace
