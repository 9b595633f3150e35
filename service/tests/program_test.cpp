// The ombrivoice-service program: its command line, its start and stop, and real recognition
// of a phrase spoken by flite, in the recorder's 44.1 kHz format as well as flite's own, and the
// same text for the same audio whatever jobs came before.
#include <gtest/gtest.h>
#include <samplerate.h>
#include <signal.h>

#include <fstream>
#include <iterator>

#include "service/recognizer.h"
#include "service/service_options.h"
#include "service/wav_reader.h"
#include "support/common/service_runner.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;

TEST(ServiceOptions, TheUsageShowsTheDefaultsInForce) {
  const std::string usage = UsageText();
  const ApiSettings api;
  const JobLimits jobs;
  for (const std::string& shown :
       {"default " + std::to_string(api.maxBodyBytes) + " (" + std::to_string(api.maxBodyBytes >> 20) + " MiB)",
        "jobs kept at once, default " + std::to_string(jobs.maxJobs) + "\n",
        "default " + std::to_string(api.maxAudioSeconds) + "; longer",
        "kept, default " + std::to_string(jobs.ttl.count()) + "\n", "default " + std::string(kDefaultModelDir) + "\n",
        std::string("$XDG_STATE_HOME/ombrivoice-service, else ~/.local/state/ombrivoice-service\n")}) {
    EXPECT_NE(usage.find(shown), std::string::npos) << shown;
  }
}

TEST(ServiceOptions, ValuesAreReadAndBadOnesRefused) {
  OptionsResult parsed = ParseOptions({"--key", "a", "--key", "b", "--port", "8080", "--max-body-bytes", "1000",
                                       "--max-jobs", "3", "--max-jobs-per-key", "2", "--job-ttl-seconds", "0", "--log-requests",
                                       "--data-dir", "/d", "--tls-cert", "/c.pem", "--tls-key", "/k.pem"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.api.keys, (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(parsed.options.port, 8080);
  EXPECT_EQ(parsed.options.api.maxBodyBytes, 1000u);
  EXPECT_EQ(parsed.options.limits.maxJobs, 3u);
  EXPECT_EQ(parsed.options.limits.maxJobsPerKey, 2u);
  EXPECT_EQ(parsed.options.limits.ttl.count(), 0);
  EXPECT_TRUE(parsed.options.api.logRequests);
  EXPECT_EQ(parsed.options.dataDir, "/d");
  EXPECT_EQ(parsed.options.tls.certificateFile, "/c.pem");
  EXPECT_EQ(parsed.options.tls.keyFile, "/k.pem");
  EXPECT_EQ(parsed.options.api.maxAudioSeconds, 600u);
  EXPECT_EQ(parsed.options.api.publicUrl, "");
  struct PublicUrl {
    const char* given;
    const char* base;  // "" when refused
  };
  const PublicUrl publicUrls[] = {
      {"https://voice.example.org", "https://voice.example.org"},
      {"HTTP://voice.example.org:8080/speech/", "http://voice.example.org:8080/speech"},
      {"http://[::1]:8735/", "http://[::1]:8735"},
      {"ftp://voice.example.org", ""},
      {"https://voice.example.org/?a=b", ""},
      {"https://voice.example.org/#top", ""},
      {"https://user@voice.example.org", ""},
      {"https://", ""},
      {"https://voice.example.org:http", ""},
      {"https://voice.example.org:70000", ""},
      {"https://voice example.org", ""},
      {"voice.example.org", ""},
  };
  for (const PublicUrl& url : publicUrls) {
    OptionsResult withUrl = ParseOptions({"--key", "a", "--public-url", url.given, "--max-audio-seconds", "30"});
    EXPECT_EQ(withUrl.ok, url.base[0] != '\0') << url.given << ": " << withUrl.error;
    EXPECT_EQ(withUrl.options.api.publicUrl, url.base) << url.given;
    EXPECT_EQ(withUrl.options.api.maxAudioSeconds, withUrl.ok ? 30u : 600u) << url.given;
  }
  EXPECT_EQ(DefaultDataDir("/state", "/home/u"), "/state/ombrivoice-service");
  EXPECT_EQ(DefaultDataDir("relative", "/home/u"), "/home/u/.local/state/ombrivoice-service");
  EXPECT_EQ(DefaultDataDir(nullptr, nullptr), "");
  const std::vector<std::vector<std::string>> bad = {
      {},                                  // no key
      {"--key", "a", "--port", "65536"},
      {"--key", "a", "--port", "-1"},
      {"--key", "a", "--max-jobs", "0"},
      {"--key", "a", "--max-body-bytes", "12x"},
      {"--key", "a", "--port"},
      {"--key", ""},
      {"--key", "a", "--data-dir", ""},
      {"--key", "a", "--colour", "blue"},
      {"--key", "a", "--tls-cert", "/c.pem"},  // a certificate without its key
      {"--key", "a", "--tls-key", "/k.pem"},   // a key without its certificate
      {"--key", "a", "--tls-cert", "", "--tls-key", "/k.pem"},
      {"--key", "a", "--max-audio-seconds", "0"},
      {"--key", "a", "--max-audio-seconds", "1.5"},
  };
  for (const auto& args : bad) {
    EXPECT_FALSE(ParseOptions(args).ok) << ::testing::PrintToString(args);
  }
}

TEST(ServiceOptions, KeysComeFromAKeyFileToo) {
  TempDir folder;
  const std::string keys = folder.path() + "/keys", comments = folder.path() + "/comments";
  std::ofstream(keys) << "# the keys\n\n  first-key \r\nsecond key\n#not-a-key\n";
  std::ofstream(comments) << "# nothing but comments\n";
  OptionsResult parsed = ParseOptions({"--key-file", keys, "--key", "third"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.options.api.keys, (std::set<std::string>{"first-key", "second key", "third"}));
  EXPECT_FALSE(ParseOptions({"--key-file", comments}).ok) << "no key at all";
  OptionsResult missing = ParseOptions({"--key", "a", "--key-file", folder.path() + "/none"});
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find(folder.path() + "/none"), std::string::npos) << missing.error;
}

TEST(ServiceProgram, BadCommandLineExitsWith2BeforeListening) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--port", "0"},
                                               {"--key", "k", "--public-url", "https://voice.example.org/?x"}}) {
    ServiceRunner service(args);
    EXPECT_EQ(service.firstLine(), "") << ::testing::PrintToString(args);
    EXPECT_EQ(service.Wait(), 2) << ::testing::PrintToString(args);
  }
}

TEST(ServiceProgram, PrintsItsPortAndExitsCleanlyOnSigtermAndSigint) {
  for (int signal : {SIGTERM, SIGINT}) {
    ServiceRunner service({"--key", "k", "--port", "0"});
    ASSERT_GT(service.port(), 0) << service.firstLine();
    EXPECT_EQ(Get(service.port(), "/1/api/async/job/x?apikey=k").status, 404);
    EXPECT_EQ(service.StopWith(signal), 0) << "signal " << signal;
  }
}

TEST(ServiceProgram, ASecondServiceOnTheSamePortOrDataFolderExitsWith1) {
  TempDir data;
  ServiceRunner first({"--key", "k", "--port", "0", "--data-dir", data.path()});
  ASSERT_GT(first.port(), 0) << first.firstLine();
  ServiceRunner samePort({"--key", "k", "--port", std::to_string(first.port())});
  EXPECT_EQ(samePort.firstLine(), "");
  EXPECT_EQ(samePort.Wait(), 1);
  ServiceRunner sameFolder({"--key", "k", "--port", "0", "--data-dir", data.path()});
  EXPECT_EQ(sameFolder.firstLine(), "");
  EXPECT_EQ(sameFolder.Wait(), 1);
  EXPECT_EQ(first.StopWith(SIGTERM), 0);
}

// wav resampled to 44100 Hz mono, the format the library's recorder writes.
std::string AsRecorderFormat(const std::string& wav) {
  WavReadResult read = ReadWav(wav);
  std::vector<float> in(read.audio.frames);
  src_short_to_float_array(reinterpret_cast<const short*>(read.audio.samples.data()), in.data(),
                           static_cast<int>(in.size()));
  std::vector<float> out(in.size() * 44100 / read.audio.sampleRate + 1000);
  SRC_DATA data{};
  data.data_in = in.data();
  data.input_frames = static_cast<long>(in.size());
  data.data_out = out.data();
  data.output_frames = static_cast<long>(out.size());
  data.src_ratio = 44100.0 / read.audio.sampleRate;
  src_simple(&data, SRC_SINC_FASTEST, 1);
  std::vector<std::int16_t> samples(static_cast<std::size_t>(data.output_frames_gen));
  src_float_to_short_array(out.data(), samples.data(), static_cast<int>(samples.size()));
  return MakeWav(44100, 1, 16, samples);
}

TEST(ServiceProgram, RecognisesAPhraseSpokenByFliteThroughTheProxyRoute) {
  const std::string spoken = SpeakPhrase();
  ASSERT_FALSE(spoken.empty()) << "flite could not speak the phrase: install the Debian package flite";
  ASSERT_TRUE(ReadWav(spoken).ok);
  ServiceRunner service({"--key", "k", "--port", "0"});
  ASSERT_GT(service.port(), 0) << service.firstLine();
  for (const std::string& wav : {spoken, AsRecorderFormat(spoken)}) {
    const std::string target = kUploadTarget;
    RawReply accepted = SendRaw(service.port(), UploadRequest(target, UploadBody(kLibraryBoundary, wav, "k")));
    ASSERT_EQ(accepted.status, 202) << accepted.body;
    RawReply result = WaitForResult(service.port(), JsonField(accepted.body, "result_url"), "k");
    ASSERT_EQ(result.status, 200) << result.body;
    EXPECT_EQ(JsonField(result.body, "status"), "finished") << result.body;
    EXPECT_EQ(JsonField(result.body, "text"), kPhrase) << result.body;
    const double rate = std::stod(JsonField(result.body, "sample_rate"));
    EXPECT_EQ(rate, ReadWav(wav).audio.sampleRate);
    EXPECT_NEAR(std::stod(JsonField(result.body, "duration_seconds")), 1.8, 0.5) << result.body;
    EXPECT_LT(std::stod(JsonField(result.body, "rms_dbfs")), -3.0);
    EXPECT_GT(std::stod(JsonField(result.body, "rms_dbfs")), -40.0);
  }
  EXPECT_EQ(service.StopWith(SIGTERM), 0);
}

// The text that the service on port gives for wav.
std::string TextOf(int port, const std::string& wav) {
  const std::string target = kUploadTarget;
  RawReply accepted = SendRaw(port, UploadRequest(target, UploadBody(kLibraryBoundary, wav, "k")));
  RawReply result = WaitForResult(port, JsonField(accepted.body, "result_url"), "k");
  EXPECT_EQ(JsonField(result.body, "status"), "finished") << result.body;
  return JsonField(result.body, "text");
}

TEST(ServiceProgram, TheSameAudioGivesTheSameTextAfterOtherJobsAsOnAFreshService) {
  // Real recorded speech, which the recogniser hears less surely than flite's voice, so that a
  // decoder that adapted to the jobs before would hear it otherwise.
  std::ifstream file("/usr/share/sounds/alsa/Front_Center.wav", std::ios::binary);
  const std::string voice((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_TRUE(ReadWav(voice).ok) << "install the Debian package alsa-utils";
  const std::string spoken = SpeakPhrase();
  ASSERT_FALSE(spoken.empty()) << "flite could not speak the phrase: install the Debian package flite";
  ServiceRunner service({"--key", "k", "--port", "0"});
  ASSERT_GT(service.port(), 0) << service.firstLine();
  const std::string first = TextOf(service.port(), voice);  // the recogniser's first job
  EXPECT_NE(first, "");
  TextOf(service.port(), spoken);
  EXPECT_EQ(TextOf(service.port(), voice), first) << "after another job";
  EXPECT_EQ(service.StopWith(SIGTERM), 0);
}

}  // namespace
}  // namespace ombrivoice::service
