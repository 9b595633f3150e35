// The Windows DLL's recorder under Wine, through Wine's PulseAudio driver and a private
// PulseAudio daemon whose default source is the monitor of a null sink that a known pattern is
// played into; unloading and exiting during a recording; and the README's C example built for
// Windows. Wine's driver holds back about a second at the end, so counts are never timed
// against the clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "support/loopback_server.h"
#include "support/test_files.h"
#include "wine/wine_runner.h"

extern char** environ;

namespace {

const std::string kHost = OMBRIVOICE_WINDOWS_BUILD "/tests/windows/ombrivoice_win_host.exe";
const std::string kExample = OMBRIVOICE_WINDOWS_BUILD "/tests/windows/ombrivoice_win_example.exe";
const std::string kDll = OMBRIVOICE_WINDOWS_BUILD "/TolvexOmbriVoice.dll";
const std::string kNoAudioDrivers = "WINEDLLOVERRIDES=mscoree,mshtml=;winepulse.drv,winealsa.drv,wineoss.drv=d";
constexpr uint32_t kOneSecond = 88200;            // bytes of 16-bit mono audio at 44100 Hz
constexpr int kPatternBase = 1000;                // played samples: base + (index mod period)
constexpr int kPatternPeriod = 30000;

WineRun Host(const std::vector<std::string>& steps, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {WinePath(kDll)};
  args.insert(args.end(), steps.begin(), steps.end());
  return RunUnderWine(kHost, args, extra);
}

// The 44-byte header of a 16-bit mono 44100 Hz file with dataBytes of audio.
std::string WaveHeader(uint32_t dataBytes) {
  std::string header = "RIFF    WAVEfmt ";
  auto put32 = [&header](uint32_t value) {
    for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  auto put16 = [&header](uint16_t value) {
    header.push_back(static_cast<char>(value & 0xFF));
    header.push_back(static_cast<char>(value >> 8));
  };
  put32(16);
  put16(1);
  put16(1);
  put32(44100);
  put32(88200);
  put16(2);
  put16(16);
  header += "data";
  put32(dataBytes);
  uint32_t riff = 36 + dataBytes;
  for (int i = 0; i < 4; ++i) header[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
  return header;
}

// A finished file: its header is true (its sizes match the file) and the count is whole samples.
void ExpectFinishedFile(const std::string& file) {
  ASSERT_GE(file.size(), 44u);
  uint32_t count = static_cast<uint32_t>(file.size() - 44);
  EXPECT_EQ(count % 2, 0u);
  EXPECT_TRUE(file.compare(0, 44, WaveHeader(count)) == 0) << "header does not match the file";
}

// A private PulseAudio daemon (scripts/private_pulse.sh) whose default source is the monitor
// of its null sink; stopped when the object goes.
class PrivatePulse {
 public:
  explicit PrivatePulse(const std::string& folder) : server_("unix:" + folder + "/run/native") {
    std::string command = "bash -c 'source \"" OMBRIVOICE_PRIVATE_PULSE "\" && start_private_pulse \"" +
                          folder + "\" ombri_wine >/dev/null 2>&1 && pactl set-default-source "
                          "ombri_wine.monitor >/dev/null && echo $private_pulse_pid'";
    FILE* started = popen(command.c_str(), "r");
    char line[32] = {0};
    if (started != nullptr && fgets(line, sizeof line, started) != nullptr) daemon_ = atoi(line);
    if (started != nullptr) pclose(started);
  }
  ~PrivatePulse() {
    if (daemon_ > 0) kill(daemon_, SIGTERM);
  }
  bool running() const { return daemon_ > 0; }
  std::string ServerVariable() const { return "PULSE_SERVER=" + server_; }

  // Plays a WAV file into the null sink until the returned process is stopped.
  pid_t Play(const std::string& wav) const {
    std::string server = ServerVariable();
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (strncmp(*entry, "PULSE_SERVER=", 13) != 0) envp.push_back(*entry);
    }
    envp.push_back(&server[0]);
    envp.push_back(nullptr);
    std::string program = "paplay", latency = "--latency-msec=100", device = "--device=ombri_wine";
    std::string file = wav;
    char* argv[] = {&program[0], &latency[0], &device[0], &file[0], nullptr};
    pid_t player = -1;
    if (posix_spawnp(&player, "paplay", nullptr, nullptr, argv, envp.data()) != 0) return -1;
    return player;
  }

 private:
  std::string server_;
  pid_t daemon_ = -1;
};

void Stop(pid_t player) {
  if (player <= 0) return;
  kill(player, SIGTERM);
  waitpid(player, nullptr, 0);
}

// A minute of samples counting up: any gap or doubling in a recording of it shows. Long enough
// that a recording started late on a busy machine still falls inside it.
std::string CountingPattern() {
  std::string samples;
  for (int i = 0; i < 60 * 44100; ++i) {
    int value = kPatternBase + i % kPatternPeriod;
    samples.push_back(static_cast<char>(value & 0xFF));
    samples.push_back(static_cast<char>(value >> 8));
  }
  return WaveHeader(static_cast<uint32_t>(samples.size())) + samples;
}

// The number of samples in the audio's longest stretch that follows the pattern unbroken, and
// whether everything outside that stretch is silence (before playback reached the recording,
// or after it).
size_t PatternStretch(const std::string& audio, bool* onlySilenceAround) {
  size_t count = audio.size() / 2;
  auto sample = [&audio](size_t i) {
    return static_cast<int>(static_cast<uint8_t>(audio[2 * i]) | static_cast<uint8_t>(audio[2 * i + 1]) << 8);
  };
  size_t first = 0;
  while (first < count && sample(first) == 0) ++first;
  size_t last = count;
  while (last > first && sample(last - 1) == 0) --last;
  size_t end = first + 1;
  while (end < last) {
    int expected = sample(end - 1) + 1 == kPatternBase + kPatternPeriod ? kPatternBase : sample(end - 1) + 1;
    if (sample(end) != expected) break;
    ++end;
  }
  *onlySilenceAround = end == last;
  return first < last ? end - first : 0;
}

// Each test has its own daemon, with the counting pattern playing into its sink.
class WindowsRecorder : public ::testing::Test {
 protected:
  void SetUp() override {
    pulse.reset(new PrivatePulse(dir.File("pulse")));
    ASSERT_TRUE(pulse->running());
    WriteBytes(dir.File("pattern.wav"), CountingPattern());
    player = pulse->Play(dir.File("pattern.wav"));
    usleep(500000);  // playback has begun
  }
  void TearDown() override { Stop(player); }
  // The host's steps, with the private daemon as Wine's sound server.
  WineRun Record(const std::vector<std::string>& steps) { return Host(steps, {pulse->ServerVariable()}); }

  TempDir dir;
  std::unique_ptr<PrivatePulse> pulse;
  pid_t player = -1;
};

}  // namespace

TEST_F(WindowsRecorder, RecordsAGapFreeStretchOfWhatIsPlayed) {
  const std::string path = WinePath(dir.File("rec.wav"));
  WineRun run = Record({"start", path, "await", path, std::to_string(44 + 2 * kOneSecond), "stop"});
  ASSERT_EQ(run.lines.size(), 3u);
  EXPECT_EQ(run.lines[0], "start 999");
  EXPECT_EQ(run.lines[1], "awaited");
  std::string file = ReadBytes(dir.File("rec.wav"));
  EXPECT_EQ(run.lines[2], "stop " + std::to_string(file.size() - 44));
  ExpectFinishedFile(file);
  EXPECT_GE(file.size() - 44, 2 * kOneSecond);
  bool onlySilenceAround = false;
  size_t stretch = PatternStretch(file.substr(44), &onlySilenceAround);
  EXPECT_TRUE(onlySilenceAround) << "the pattern breaks off inside the recording";
  EXPECT_GE(stretch, 44100u) << "less than a second of the pattern";
}

TEST_F(WindowsRecorder, EndsInTheSameCodesAsTheLinuxBuild) {
  WineRun run = Record({"stop", "start", WinePath(dir.File("no/folder.wav")), "start", WinePath(dir.File("a.wav")),
                        "start", WinePath(dir.File("b.wav")), "stop", "stop"});
  ASSERT_EQ(run.lines.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(run.lines.begin(), run.lines.begin() + 4),
            (std::vector<std::string>{"stop -1", "start 4", "start 999", "start 5"}));
  EXPECT_EQ(run.lines[4], "stop " + std::to_string(ReadBytes(dir.File("a.wav")).size() - 44));
  EXPECT_EQ(run.lines[5], "stop -1");
  EXPECT_FALSE(FileExists(dir.File("b.wav")));
  ExpectFinishedFile(ReadBytes(dir.File("a.wav")));

  run = Host({"start", WinePath(dir.File("c.wav")), "stop"}, {kNoAudioDrivers});
  EXPECT_EQ(run.lines, (std::vector<std::string>{"start 1", "stop -1"}));
  EXPECT_FALSE(FileExists(dir.File("c.wav"))) << "the placeholder is removed";
}

TEST_F(WindowsRecorder, UnloadReturnsAtOnceAndStopOrExitStillFinishesTheFile) {
  // FreeLibrary during a recording: the DLL stays loaded, so it returns at once, the recording
  // goes on (a second second arrives), and a stop through the old entry point finishes it.
  const std::string unloaded = WinePath(dir.File("unloaded.wav"));
  WineRun run = Record({"start", unloaded, "await", unloaded, std::to_string(44 + kOneSecond), "unload",
                        "await", unloaded, std::to_string(44 + 2 * kOneSecond), "stop"});
  ASSERT_EQ(run.lines.size(), 5u);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines[1], "awaited");
  ASSERT_EQ(run.lines[2].rfind("unload ", 0), 0u) << run.lines[2];
  EXPECT_LT(std::stoi(run.lines[2].substr(7)), 1000) << "FreeLibrary waited";
  EXPECT_EQ(run.lines[3], "awaited") << "the recording stopped at the unload";
  std::string file = ReadBytes(dir.File("unloaded.wav"));
  EXPECT_EQ(run.lines[4], "stop " + std::to_string(file.size() - 44));
  ExpectFinishedFile(file);
  EXPECT_GE(file.size() - 44, 2 * kOneSecond);

  // The process ends while capture runs: its threads are gone, and the file is still finished.
  // Wine's sound driver sometimes crashes the ending process (SIGSEGV in about one run in
  // eight, before or after this DLL's detach); the file must be true either way, so only a
  // hang counts against the exit.
  const std::string exited = WinePath(dir.File("exited.wav"));
  run = Record({"start", exited, "await", exited, std::to_string(44 + kOneSecond), "sleep", "200", "exit"});
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.lines, (std::vector<std::string>{"start 999", "awaited", "slept 200"}));
  file = ReadBytes(dir.File("exited.wav"));
  ExpectFinishedFile(file);
  EXPECT_GE(file.size() - 44, kOneSecond);
}

TEST(WindowsExample, TheCExampleMakesEveryCall) {
  TempDir dir;
  LoopbackServer proxy(HttpReply(202, "{\"jobid\":\"j1\"}"));
  LoopbackServer files(HttpReply(200, "source bytes\n"));
  WriteBytes(dir.File("given.wav"), "RIFF-not-really");
  std::string url = "http://127.0.0.1:" + std::to_string(files.port()) + "/source.txt";
  WineRun run = RunUnderWine(kExample,
                             {WinePath(dir.File("new.wav")), WinePath(dir.File("given.wav")), "KEY",
                              WinePath(dir.File("reply.json")), url, WinePath(dir.File("copy.txt"))},
                             {"http_proxy=http://127.0.0.1:" + std::to_string(proxy.port()), "no_proxy=127.0.0.1",
                              kNoAudioDrivers});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, (std::vector<std::string>{"no recording: 1", "upload: 999", "download: 999"}));
  EXPECT_EQ(ReadBytes(dir.File("reply.json")), "{\"jobid\":\"j1\"}");
  EXPECT_EQ(ReadBytes(dir.File("copy.txt")), "source bytes\n");
  EXPECT_FALSE(FileExists(dir.File("new.wav")));
}
