// A thousand recorder start/stop cycles with random timing against the scripted device: stops
// from the starting thread or another, right after the start or among buffer returns, and two
// threads contending for the one recording. Every started file must come out finished and
// holding exactly the device's bytes, and every stop's count must belong to one file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/scripted_capture_device.h"
#include "support/test_files.h"

// recorder_checks.h also offers a Python WAV check that this program does not use.
#define OMBRIVOICE_PYTHON "unused"
#define OMBRIVOICE_WAV_CHECK "unused"
#include "recorder_checks.h"

namespace {

constexpr int kCyclesAlone = 1000;     // a cycle costs milliseconds, even under a sanitizer
constexpr int kCyclesContended = 300;  // attempts per thread of two
// The recorder's own limits (start within five seconds, stop within half a second) with a margin
// wide enough for a sanitizer, emulation and a busy machine: a call over these hung, it was not
// merely slow. The cycles' total time is not bounded: it only measures the machine.
constexpr auto kStartLimit = std::chrono::seconds(30);
constexpr auto kStopLimit = std::chrono::seconds(10);

// Runs call and fails the test when it took limit or longer; returns what call returned.
template <typename Call>
int32_t WithinLimit(const char* what, std::chrono::steady_clock::duration limit, Call call) {
  auto begun = std::chrono::steady_clock::now();
  int32_t result = call();
  auto took = std::chrono::steady_clock::now() - begun;
  EXPECT_LT(took, limit) << what << " took " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                         << " ms";
  return result;
}

// The file is finished for its own length and holds the device's first bytes; returns the
// count its header gives, or -1 after a failure.
int64_t CheckRecordedFile(const std::string& path) {
  std::string file = ReadBytes(path);
  if (file.size() < 44) {
    ADD_FAILURE() << path << " is " << file.size() << " bytes";
    return -1;
  }
  int32_t count = static_cast<int32_t>(file.size() - 44);
  ExpectFinishedFile(file, count);
  for (int32_t i = 0; i < count; ++i) {
    if (static_cast<uint8_t>(file[44 + i]) != ScriptedCaptureByte(static_cast<uint64_t>(i))) {
      ADD_FAILURE() << path << ": audio byte " << i << " is not the device's";
      return -1;
    }
  }
  return count;
}

class HardeningRecorderStress : public ::testing::Test {
 protected:
  void SetUp() override {
    randomStart_ = std::random_device{}();
    std::printf("random start value %u\n", randomStart_);
  }
  void TearDown() override {
    OmbriVoiceRecorderStop();
    WaveInUseScriptedDeviceForTesting(nullptr);
  }
  int32_t Start(const std::string& path) {
    return WithinLimit("start", kStartLimit, [&] { return OmbriVoiceRecorderStart(Utf16(path).c_str()); });
  }
  int32_t Stop() { return WithinLimit("stop", kStopLimit, [] { return OmbriVoiceRecorderStop(); }); }
  unsigned randomStart_ = 0;
  TempDir dir_;
};

}  // namespace

// Each cycle draws its device (piece size, pace, how much it produces in all), how long to
// record (nothing to a few milliseconds) and which thread stops.
TEST_F(HardeningRecorderStress, CyclesWithRandomTimingKeepExactlyWhatTheDeviceProduced) {
  SCOPED_TRACE("random start value " + std::to_string(randomStart_));
  std::mt19937 random(randomStart_);
  for (int cycle = 0; cycle < kCyclesAlone; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    ScriptedCaptureDevice script = {};
    script.bytesPerRead = 2 * (1 + random() % (kOneSecond / 4));
    script.microsecondsPerRead = random() % 400;
    script.totalBytes = random() % 4 == 0 ? 2 * (random() % (2 * kOneSecond)) : UINT64_C(1) << 40;
    WaveInUseScriptedDeviceForTesting(&script);
    std::string path = dir_.File("cycle.wav");
    ASSERT_EQ(Start(path), OMBRIVOICE_OK);
    unsigned wait = random() % 3000;
    if (wait > 200) std::this_thread::sleep_for(std::chrono::microseconds(wait));
    int32_t count = -2;
    if (random() % 3 == 0) {
      std::thread stopper([this, &count] { count = Stop(); });
      stopper.join();
    } else {
      count = Stop();
    }
    EXPECT_EQ(static_cast<uint64_t>(count), WaveInScriptedBytesProduced());
    EXPECT_LE(static_cast<uint64_t>(count), script.totalBytes);
    EXPECT_EQ(CheckRecordedFile(path), count);
    EXPECT_FALSE(WaveInDeviceIsOpenForTesting());
    EXPECT_EQ(Stop(), OMBRIVOICE_RECORDER_NOT_RECORDING);
    if (HasFailure()) break;
  }
}

// Two threads each start (a file of their own per attempt) and stop in a loop; a start finds
// the other's recording (5, no file made) or begins one, a stop ends whichever runs.
TEST_F(HardeningRecorderStress, TwoThreadsContendingForTheRecordingLoseNothing) {
  SCOPED_TRACE("random start value " + std::to_string(randomStart_));
  ScriptedCaptureDevice script = {};
  script.totalBytes = UINT64_C(1) << 40;
  script.bytesPerRead = kOneSecond / 8;
  script.microsecondsPerRead = 150;
  WaveInUseScriptedDeviceForTesting(&script);
  std::mutex mutex;
  std::vector<std::string> startedFiles;
  std::vector<int64_t> stopCounts;
  std::atomic<int> refusedStarts{0};
  auto contend = [&](int thread) {
    std::mt19937 random(randomStart_ + static_cast<unsigned>(thread));
    for (int attempt = 0; attempt < kCyclesContended; ++attempt) {
      std::string path = dir_.File("t" + std::to_string(thread) + "-" + std::to_string(attempt) + ".wav");
      int32_t code = Start(path);
      if (code == OMBRIVOICE_OK) {
        std::lock_guard<std::mutex> lock(mutex);
        startedFiles.push_back(path);
      } else {
        EXPECT_EQ(code, OMBRIVOICE_RECORDER_ALREADY_RECORDING);
        EXPECT_FALSE(FileExists(path));
        refusedStarts++;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
      int32_t count = Stop();
      if (count >= 0) {
        std::lock_guard<std::mutex> lock(mutex);
        stopCounts.push_back(count);
      }
    }
  };
  std::thread first(contend, 1);
  std::thread second(contend, 2);
  first.join();
  second.join();
  int32_t last = Stop();  // a start after the other thread's last stop
  if (last >= 0) stopCounts.push_back(last);

  ASSERT_EQ(startedFiles.size(), stopCounts.size());
  EXPECT_GE(startedFiles.size(), 10u);  // the two really took turns
  EXPECT_EQ(startedFiles.size() + static_cast<size_t>(refusedStarts.load()), size_t{2 * kCyclesContended});
  std::vector<int64_t> fileCounts;
  for (const std::string& path : startedFiles) fileCounts.push_back(CheckRecordedFile(path));
  std::sort(fileCounts.begin(), fileCounts.end());
  std::sort(stopCounts.begin(), stopCounts.end());
  EXPECT_EQ(fileCounts, stopCounts);
  EXPECT_FALSE(WaveInDeviceIsOpenForTesting());
}
