// Unloading the shared library during a recording stops the recording and finishes its file.
// Loads the library itself with dlopen (the program links only the tests' helpers, no copy of
// the module), records from the file plugin's pattern, and unloads it mid-recording.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "recorder_alsa_config.h"
#include "recorder_checks.h"

namespace {

typedef int32_t (*StartCall)(const char16_t*);

TEST(RecorderUnload, UnloadDuringARecordingFinishesItsFile) {
  TempDir dir;
  const std::string pattern = PatternBytes(2 * kOneSecond + 4410, 7);
  WriteBytes(dir.File("pattern.raw"), pattern);
  UseAlsaDefault(dir, FilePluginDefault(dir.File("pattern.raw")));
  void* library = dlopen(OMBRIVOICE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  StartCall start = reinterpret_cast<StartCall>(dlsym(library, "OmbriVoiceRecorderStart"));
  ASSERT_NE(start, nullptr);
  std::string path = dir.File("unloaded.wav");
  ASSERT_EQ(start(Utf16(path).c_str()), 999);
  ASSERT_TRUE(WaitForFileSize(path, 44 + kOneSecond));
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_EQ(dlopen(OMBRIVOICE_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
  std::string file = ReadBytes(path);
  ASSERT_GE(file.size(), 44u + kOneSecond);
  int32_t count = static_cast<int32_t>(file.size() - 44);
  ExpectFinishedFile(file, count);
  size_t common = std::min(pattern.size(), file.size() - 44);
  EXPECT_TRUE(file.compare(44, common, pattern, 0, common) == 0) << "audio is not the pattern";
}

}  // namespace
