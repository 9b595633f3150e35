// The WAV reader's checks and the audio preparation: mix-down, level and resampling.
#include <gtest/gtest.h>

#include <cmath>

#include "service/audio_prep.h"
#include "service/wav_reader.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using testing::MakeWav;
using testing::Sine;

TEST(ServiceWav, RecorderFormatIsRead) {
  const std::string wav = MakeWav(44100, 1, 16, std::vector<std::int16_t>(441, 7));
  WavReadResult read = ReadWav(wav);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.audio.sampleRate, 44100u);
  EXPECT_EQ(read.audio.channels, 1u);
  EXPECT_EQ(read.audio.frames, 441u);
  EXPECT_EQ(read.audio.samples.data(), wav.data() + 44);
}

TEST(ServiceWav, ExtraChunksAreSkippedAndOverlongDataIsCutToWholeFrames) {
  std::string wav = MakeWav(16000, 2, 16, std::vector<std::int16_t>(10, 1));
  // A three-byte LIST chunk (padded to four) between fmt and data.
  wav.insert(36, std::string("LIST\x03\0\0\0abc\0", 12));
  wav[36 + 12 + 4] = static_cast<char>(0xFF);  // data size 255: more than the 20 bytes present
  wav.push_back('\x01');                        // and one stray byte: not a whole frame
  WavReadResult read = ReadWav(wav);
  ASSERT_TRUE(read.ok) << read.error;
  EXPECT_EQ(read.audio.frames, 5u);
  EXPECT_EQ(read.audio.samples.size(), 20u);
}

TEST(ServiceWav, UnusableFilesAreRefusedWithAReason) {
  std::string extensibleFloat = MakeWav(16000, 1, 16, {1, 2});
  extensibleFloat[20] = 3;  // IEEE float
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"not a WAV", "hello, this is plain text and not audio at all"},
      {"empty", ""},
      {"8-bit", MakeWav(16000, 1, 8, {1, 2, 3})},
      {"24-bit", MakeWav(16000, 1, 24, {1, 2, 3})},
      {"float", extensibleFloat},
      {"no channels", MakeWav(16000, 0, 16, {1})},
      {"rate 0", MakeWav(0, 1, 16, {1})},
      {"header only", MakeWav(16000, 1, 16, {})},
      {"too short for fmt", MakeWav(16000, 1, 16, {1}).substr(0, 30)},
      {"no data chunk", MakeWav(16000, 1, 16, {1}).substr(0, 36)},
  };
  for (const Case& c : cases) {
    WavReadResult read = ReadWav(c.bytes);
    EXPECT_FALSE(read.ok) << c.what;
    EXPECT_FALSE(read.error.empty()) << c.what;
  }
}

TEST(ServiceWav, EveryTruncationOfAWavIsSafe) {
  const std::string wav = MakeWav(8000, 1, 16, std::vector<std::int16_t>(4, 3));
  for (std::size_t length = 0; length <= wav.size(); ++length) {
    std::string cut = wav.substr(0, length);
    WavReadResult read = ReadWav(cut);
    EXPECT_EQ(read.ok, length >= 46) << "length " << length;  // header + at least one frame
  }
}

TEST(ServiceAudio, StereoIsAveragedAndLevelIsMeasured) {
  std::string wav = MakeWav(8000, 2, 16, {16384, -16384, 16384, 16384, -16384, -16384, 0, 0});
  WavReadResult read = ReadWav(wav);
  ASSERT_TRUE(read.ok);
  std::vector<float> mono = MixToMono(read.audio);
  ASSERT_EQ(mono.size(), 4u);
  EXPECT_FLOAT_EQ(mono[0], 0.0f);
  EXPECT_FLOAT_EQ(mono[1], 0.5f);
  EXPECT_FLOAT_EQ(mono[2], -0.5f);
  AudioFacts facts = MeasureAudio(read.audio, mono);
  EXPECT_DOUBLE_EQ(facts.durationSeconds, 0.0005);
  EXPECT_NEAR(facts.peakDbfs, -6.02, 0.01);                       // 0.5 of full scale
  EXPECT_NEAR(facts.rmsDbfs, 20 * std::log10(std::sqrt(0.125)), 0.01);  // two of four at 0.5
  std::vector<float> silence(10, 0.0f);
  EXPECT_EQ(MeasureAudio(read.audio, silence).rmsDbfs, kSilenceDbfs);
}

// Upward zero crossings per second of samples at 16 kHz: the frequency of a pure tone.
double ToneFrequency(const std::vector<std::int16_t>& samples) {
  int crossings = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    crossings += samples[i - 1] < 0 && samples[i] >= 0;
  }
  return crossings * 16000.0 / samples.size();
}

TEST(ServiceAudio, ResamplingKeepsDurationPitchAndLevel) {
  for (std::uint32_t rate : {8000u, 16000u, 44100u, 48000u}) {
    const std::string wav = MakeWav(rate, 1, 16, Sine(440, 0.5, rate, 1, rate));  // one second
    WavReadResult read = ReadWav(wav);
    ASSERT_TRUE(read.ok);
    std::vector<std::int16_t> out;
    std::string error;
    ASSERT_TRUE(ResampleForRecognizer(MixToMono(read.audio), rate, &out, &error)) << error;
    EXPECT_NEAR(static_cast<double>(out.size()), 16000.0, 2.0) << rate;
    EXPECT_NEAR(ToneFrequency(out), 440.0, 2.0) << rate;
    const auto peak = *std::max_element(out.begin(), out.end());
    EXPECT_NEAR(peak, 16384, 400) << rate;
  }
}

}  // namespace
}  // namespace ombrivoice::service
