// The recorder against the scripted capture device: exact buffer timing around stop, the
// start and stop codes, failed starts, devices that stall, hang, fail or overrun for ever,
// writes that fail, the count limit, exit during a recording, a callback that allocates
// nothing, and many start/stop cycles whose stops race the buffer returns.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>

#include "TolvexOmbriVoice.h"
#include "doubles/scripted_capture_device.h"
#include "recorder/recorder.h"
#include "recorder_alsa_config.h"
#include "recorder_checks.h"

namespace {

// Counts heap allocations made on threads other than the test's own while counting is on.
std::atomic<bool> gCounting{false};
std::atomic<int> gAllocations{0};
pthread_t gTestThread;

void CountAllocation() {
  if (gCounting.load() && pthread_equal(pthread_self(), gTestThread) == 0) {
    gAllocations.fetch_add(1);
  }
}

}  // namespace

// The replacements allocate with malloc and free with free, which GCC cannot see match; the
// nothrow forms are replaced too, so that every allocation and release pairs under ASan.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  CountAllocation();
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  CountAllocation();
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// malloc itself, where no sanitizer owns it.
extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) noexcept {
  CountAllocation();
  return __libc_malloc(size);
}
#endif

namespace {

constexpr int kWaitMs = 20000;

class RecorderScripted : public ::testing::Test {
 protected:
  void TearDown() override {
    OmbriVoiceRecorderStop();
    WaveInUseScriptedDeviceForTesting(nullptr);
  }
  void Use(ScriptedCaptureDevice script) { WaveInUseScriptedDeviceForTesting(&script); }
  int32_t Start(const std::string& path) { return OmbriVoiceRecorderStart(Utf16(path).c_str()); }
  // The file is finished for count and holds the device's first count bytes.
  void ExpectRecording(const std::string& path, int32_t count) {
    std::string file = ReadBytes(path);
    ExpectFinishedFile(file, count);
    for (int32_t i = 0; i < count && 44u + i < file.size(); ++i) {
      if (static_cast<uint8_t>(file[44 + i]) != ScriptedCaptureByte(i)) {
        ADD_FAILURE() << "audio byte " << i << " is not the device's";
        return;
      }
    }
  }
  TempDir dir_;
};

ScriptedCaptureDevice Producing(uint64_t totalBytes) {
  ScriptedCaptureDevice script = {};
  script.totalBytes = totalBytes;
  return script;
}

TEST_F(RecorderScripted, StopWithinTheFirstSecondKeepsOnlyThePartialBuffer) {
  for (uint32_t produced : {0u, 2u, 30000u, kOneSecond - 2}) {
    SCOPED_TRACE(produced);
    Use(Producing(produced));
    std::string path = dir_.File("short.wav");
    ASSERT_EQ(Start(path), 999);
    ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
    EXPECT_EQ(OmbriVoiceRecorderStop(), static_cast<int32_t>(produced));
    ExpectRecording(path, produced);
    EXPECT_EQ(WaveInScriptedAddBufferCalls(), 1u);
  }
}

TEST_F(RecorderScripted, StopAfterWholeSecondsAndAPartialOne) {
  const int32_t expected = 3 * kOneSecond + 1234;
  Use(Producing(expected));
  std::string path = dir_.File("Sprache \xC3\xBC\x62\x65r \xF0\x9F\x8E\xA4.wav");  // UTF-8 on disk
  ASSERT_EQ(Start(path), 999);
  ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
  EXPECT_EQ(OmbriVoiceRecorderStop(), expected);
  ExpectRecording(path, expected);
  EXPECT_EQ(WaveInScriptedAddBufferCalls(), 4u);  // the first add and three hand-backs
  EXPECT_EQ(RunWavReader(path, expected), 0);
}

TEST_F(RecorderScripted, StopJustAsAFullBufferComesBackTakesItAsTheLast) {
  ScriptedCaptureDevice script = Producing(10 * kOneSecond);
  script.heldFullBuffer = 2;
  Use(script);
  std::string path = dir_.File("edge.wav");
  ASSERT_EQ(Start(path), 999);
  ASSERT_TRUE(WaveInWaitUntilScriptedBufferHeld(kWaitMs));
  EXPECT_EQ(OmbriVoiceRecorderStop(), static_cast<int32_t>(2 * kOneSecond));
  ExpectRecording(path, 2 * kOneSecond);
  EXPECT_EQ(WaveInScriptedAddBufferCalls(), 2u);  // the last full buffer was not handed back
  EXPECT_EQ(WaveInScriptedBytesProduced(), 2u * kOneSecond);
}

// Capture that ends before the stop: the file keeps every byte that came, its header true,
// and the stop says the recording broke off. A device that only overruns is given up after a
// few tries, so the reads stop.
TEST_F(RecorderScripted, CaptureThatBreaksOffKeepsWhatCameAndStopGivesMinusTwo) {
  const uint32_t partial = kOneSecond + 30000;
  ScriptedCaptureDevice refusedHandBack = Producing(10 * kOneSecond);
  refusedHandBack.failingAddBufferCall = 2;  // the first hand-back
  ScriptedCaptureDevice failing = Producing(partial);
  failing.afterTotal = ScriptedEnd::kFails;
  ScriptedCaptureDevice overrunning = Producing(partial);
  overrunning.afterTotal = ScriptedEnd::kOverruns;
  const std::tuple<const char*, ScriptedCaptureDevice, uint32_t> cases[] = {
      {"hand-back refused", refusedHandBack, kOneSecond},
      {"source failed", failing, partial},
      {"overruns for ever", overrunning, partial}};
  for (const auto& [name, script, kept] : cases) {
    SCOPED_TRACE(name);
    Use(script);
    std::string path = dir_.File("broken.wav");
    ASSERT_EQ(Start(path), 999);
    // The last add is the one refused: after the first second, or after the partial buffer.
    const uint32_t refusedAdd = kept == kOneSecond ? 2 : 3;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (WaveInScriptedAddBufferCalls() < refusedAdd && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(WaveInScriptedAddBufferCalls(), refusedAdd);
    EXPECT_EQ(OmbriVoiceRecorderStop(), -2);
    ExpectRecording(path, static_cast<int32_t>(kept));
    EXPECT_EQ(RunWavReader(path, static_cast<int32_t>(kept)), 0);
    EXPECT_LE(WaveInScriptedReadCalls(), kept / 4410 + 1 + 4) << "reads went on after the failure";
  }
}

// Stop returns what came, at once, whether the device waits for audio that never comes (it
// must be woken, or its thread would outlive the stop) or hangs as it stops (its thread is let
// go and ends once the device lets it).
TEST_F(RecorderScripted, StopReturnsWhateverTheDeviceDoes) {
  ScriptedCaptureDevice stalled = Producing(30000);
  stalled.afterTotal = ScriptedEnd::kSilentUntilWoken;
  ScriptedCaptureDevice hangsInStop = Producing(kOneSecond + 30000);
  hangsInStop.afterTotal = ScriptedEnd::kSilentUntilWoken;
  hangsInStop.hangIn = ScriptedHang::kStop;
  for (const ScriptedCaptureDevice& script : {stalled, hangsInStop}) {
    const bool hangs = script.hangIn != ScriptedHang::kNone;
    SCOPED_TRACE(hangs ? "hangs in stop" : "stalled");
    Use(script);
    std::string path = dir_.File("stalled.wav");
    ASSERT_EQ(Start(path), 999);
    ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
    EXPECT_EQ(OmbriVoiceRecorderStop(), static_cast<int32_t>(script.totalBytes));
    ExpectRecording(path, static_cast<int32_t>(script.totalBytes));
    EXPECT_EQ(WaveInScriptedHanging(), hangs);
    EXPECT_EQ(WaveInCaptureThreadEndedForTesting(), !hangs);
    WaveInReleaseScriptedHang();
    ASSERT_TRUE(WaveInWaitUntilCaptureThreadEnded(kWaitMs));
  }
}

TEST_F(RecorderScripted, SecondStartAndStrayStopsLeaveTheRecordingAlone) {
  EXPECT_EQ(OmbriVoiceRecorderStop(), -1);
  Use(Producing(kOneSecond + 100));
  std::string path = dir_.File("one.wav");
  ASSERT_EQ(Start(path), 999);
  EXPECT_EQ(Start(dir_.File("two.wav")), 5);
  EXPECT_FALSE(FileExists(dir_.File("two.wav")));
  ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
  EXPECT_EQ(OmbriVoiceRecorderStop(), static_cast<int32_t>(kOneSecond + 100));
  std::string finished = ReadBytes(path);
  EXPECT_EQ(OmbriVoiceRecorderStop(), -1);
  EXPECT_EQ(ReadBytes(path), finished);
  ExpectRecording(path, kOneSecond + 100);
  EXPECT_EQ(WaveInScriptedOpenCalls(), 1u);
}

// A file that cannot be created, or whose placeholder cannot be written (a full device: a copy
// of /dev/full's node where the test may make one), gives 4 before any device is opened; a
// device node stays where it is.
TEST_F(RecorderScripted, UncreatableOrUnwritableFileGivesFourWithoutOpeningTheDevice) {
  std::string full = "/dev/full";
  if (geteuid() == 0 && mknod(dir_.File("full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) {
    full = dir_.File("full");
  }
  for (const std::string& path : {dir_.File("missing-folder/x.wav"), full}) {
    SCOPED_TRACE(path);
    Use(Producing(kOneSecond));
    EXPECT_EQ(Start(path), 4);
    EXPECT_EQ(WaveInScriptedOpenCalls(), 0u);
    EXPECT_EQ(OmbriVoiceRecorderStop(), -1);
  }
  struct stat node;
  ASSERT_EQ(stat(full.c_str(), &node), 0);
  EXPECT_TRUE(S_ISCHR(node.st_mode));
}

// A write that falls short (the file size limit here; a full disk alike) ends the file at what
// was written: when room comes back later, the next buffer is not appended after a gap. The
// stop gives -2.
TEST_F(RecorderScripted, AFailedWriteEndsTheFileThereAndStopGivesMinusTwo) {
  const rlim_t limit = 44 + 2 * kOneSecond + 1000;  // the third second's write falls short
  ScriptedCaptureDevice script = Producing(10 * kOneSecond);
  script.heldFullBuffer = 4;  // comes back as the last buffer, after room has come back
  Use(script);
  std::string path = dir_.File("limited.wav");
  rlimit before;
  getrlimit(RLIMIT_FSIZE, &before);
  rlimit limited = {limit, before.rlim_max};
  sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  ASSERT_EQ(Start(path), 999);
  bool held = WaveInWaitUntilScriptedBufferHeld(kWaitMs);
  bool filled = WaitForFileSize(path, limit);
  setrlimit(RLIMIT_FSIZE, &before);
  signal(SIGXFSZ, previous);
  ASSERT_TRUE(held && filled);
  EXPECT_EQ(OmbriVoiceRecorderStop(), -2);
  ExpectRecording(path, static_cast<int32_t>(limit - 44));
}

TEST_F(RecorderScripted, FailedStartReleasesTheDeviceAndRemovesThePlaceholder) {
  ScriptedCaptureDevice noDevice = Producing(kOneSecond);
  noDevice.openResult = MMSYSERR_BADDEVICEID;
  ScriptedCaptureDevice noBuffer = Producing(kOneSecond);
  noBuffer.failingAddBufferCall = 1;
  ScriptedCaptureDevice noStart = Producing(kOneSecond);
  noStart.startResult = MMSYSERR_ERROR;
  ScriptedCaptureDevice hangsInOpen = Producing(kOneSecond);
  hangsInOpen.hangIn = ScriptedHang::kOpen;
  ScriptedCaptureDevice hangsInStart = Producing(kOneSecond);
  hangsInStart.hangIn = ScriptedHang::kStart;
  const std::pair<ScriptedCaptureDevice, int32_t> cases[] = {
      {noDevice, 1}, {noBuffer, 2}, {noStart, 3}, {hangsInOpen, 1}, {hangsInStart, 3}};
  for (const auto& [script, code] : cases) {
    const bool hangs = script.hangIn != ScriptedHang::kNone;
    SCOPED_TRACE(std::to_string(code) + (hangs ? ", hanging" : ""));
    Use(script);
    std::string path = dir_.File("failed.wav");
    EXPECT_EQ(Start(path), code);
    EXPECT_EQ(WaveInScriptedHanging(), hangs) << "start waited for the device";
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(WaveInDeviceIsOpenForTesting());
    EXPECT_EQ(OmbriVoiceRecorderStop(), -1);
    if (hangs) {  // the device is busy until its thread, let go, has ended
      EXPECT_EQ(Start(dir_.File("busy.wav")), 1);
      EXPECT_FALSE(FileExists(dir_.File("busy.wav")));
    }
    WaveInReleaseScriptedHang();
    ASSERT_TRUE(WaveInWaitUntilCaptureThreadEnded(kWaitMs));
  }
  Use(Producing(500));
  ASSERT_EQ(Start(dir_.File("after.wav")), 999);
  ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
  EXPECT_EQ(OmbriVoiceRecorderStop(), 500);
  ExpectRecording(dir_.File("after.wav"), 500);
}

TEST_F(RecorderScripted, CountStopsAtTheLargestEvenInt32) {
  EXPECT_EQ(AudioBytesToKeep(0, kOneSecond), kOneSecond);
  EXPECT_EQ(AudioBytesToKeep(kMaxDataBytes - 100, kOneSecond), 100u);
  EXPECT_EQ(AudioBytesToKeep(kMaxDataBytes, kOneSecond), 0u);
  ScriptedCaptureDevice script = Producing(static_cast<uint64_t>(kMaxDataBytes) + 3 * kOneSecond + 10);
  script.bytesPerRead = kOneSecond;
  Use(script);
  ASSERT_EQ(Start("/dev/null"), 999);  // 2 GiB of audio, written nowhere
  ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(600000));
  EXPECT_EQ(OmbriVoiceRecorderStop(), kMaxDataBytes);
}

TEST_F(RecorderScripted, ProcessExitDuringARecordingFinishesItsFile) {
  const int32_t expected = 2 * kOneSecond + 4410;
  std::string path = dir_.File("exit.wav");
  EXPECT_EXIT(
      {
        Use(Producing(expected));
        if (Start(path) != 999 || !WaveInWaitUntilScriptedDeviceQuiet(kWaitMs)) std::_Exit(3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  ExpectRecording(path, expected);
}

TEST_F(RecorderScripted, CallbackAllocatesNothing) {
  const int32_t expected = 5 * kOneSecond + 100;
  Use(Producing(expected));
  std::string path = dir_.File("quiet.wav");
  gTestThread = pthread_self();
  ASSERT_EQ(Start(path), 999);
  gAllocations.store(0);
  gCounting.store(true);
  ASSERT_TRUE(WaveInWaitUntilScriptedDeviceQuiet(kWaitMs));
  int32_t count = OmbriVoiceRecorderStop();  // the last buffer is handled on the worker thread
  gCounting.store(false);
  EXPECT_EQ(count, expected);
  EXPECT_EQ(gAllocations.load(), 0);
  ExpectRecording(path, expected);
}

// Buffers come back about every millisecond; stops land anywhere among them, some from
// another thread than the start. Every file must hold exactly what the device produced.
TEST_F(RecorderScripted, ManyCyclesWithStopsRacingBufferReturns) {
  ScriptedCaptureDevice script = Producing(UINT64_C(1) << 40);
  script.bytesPerRead = kOneSecond / 4;
  script.microsecondsPerRead = 200;
  Use(script);
  std::mt19937 random(20261208);
  for (int cycle = 0; cycle < 150; ++cycle) {
    SCOPED_TRACE(cycle);
    std::string path = dir_.File(cycle % 2 == 0 ? "even.wav" : "odd.wav");
    ASSERT_EQ(Start(path), 999);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
    int32_t count = -2;
    if (cycle % 3 == 0) {
      std::thread stopper([&count] { count = OmbriVoiceRecorderStop(); });
      stopper.join();
    } else {
      count = OmbriVoiceRecorderStop();
    }
    EXPECT_EQ(static_cast<uint64_t>(count), WaveInScriptedBytesProduced());
    ExpectRecording(path, count);
    if (HasFailure()) break;
  }
}

}  // namespace
