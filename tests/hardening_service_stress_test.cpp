// Many uploads from four threads against the stand-in service, then every job looked up
// through the download: each upload must be accepted with a job of its own and each job must
// be found, with nothing lost or mixed up under load.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/wait.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/common/service_runner.h"
#include "support/test_files.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int kUploads = 2500;  // the service and the library both run under TSan
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kUploads = 5000;  // the service and the library both run under ASan
#else
constexpr int kUploads = 10000;
#endif
constexpr int kThreads = 4;
// Any one call: its connect and stall time-outs are 10 s each, so a call over this waited on
// past them. The run's total time is not bounded: it only measures the machine.
constexpr auto kCallLimit = std::chrono::seconds(60);
const std::string kKey = "stress-key";
const std::string kApiHost = OMBRIVOICE_API_HOST;

// A 16-bit mono 16 kHz WAV file of frames samples counting up from first.
std::string SmallWav(int frames, int first) {
  auto little = [](uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  uint32_t dataBytes = static_cast<uint32_t>(frames) * 2;
  std::string wav = "RIFF" + little(36 + dataBytes, 4) + "WAVEfmt " + little(16, 4) + little(1, 2) + little(1, 2) +
                    little(16000, 4) + little(32000, 4) + little(2, 2) + little(16, 2) + "data" + little(dataBytes, 4);
  for (int i = 0; i < frames; ++i) wav += little(static_cast<uint32_t>((first + i) & 0x3FFF), 2);
  return wav;
}

// The string value of "name" in a flat JSON object, or "".
std::string JsonString(const std::string& json, const std::string& name) {
  size_t at = json.find("\"" + name + "\":");
  if (at == std::string::npos) return "";
  size_t open = json.find('"', at + name.size() + 3);
  size_t close = open == std::string::npos ? open : json.find('"', open + 1);
  return close == std::string::npos ? "" : json.substr(open + 1, close - open - 1);
}

// The reply as the service meant it: the upload asks for gzip and saves the body raw, so a
// gzip body is inflated. zlib is reached through the process's libcurl, which loads it, so
// the test program needs no link of its own. "" when inflating fails.
std::string Gunzipped(const std::string& body) {
  if (body.compare(0, 2, "\x1f\x8b") != 0) return body;
  using InitFunction = int (*)(z_streamp, int, const char*, int);
  using InflateFunction = int (*)(z_streamp, int);
  using EndFunction = int (*)(z_streamp);
  auto init = reinterpret_cast<InitFunction>(dlsym(RTLD_DEFAULT, "inflateInit2_"));
  auto inflateStep = reinterpret_cast<InflateFunction>(dlsym(RTLD_DEFAULT, "inflate"));
  auto end = reinterpret_cast<EndFunction>(dlsym(RTLD_DEFAULT, "inflateEnd"));
  z_stream stream = {};
  if (init == nullptr || inflateStep == nullptr || end == nullptr ||
      init(&stream, 16 + MAX_WBITS, ZLIB_VERSION, static_cast<int>(sizeof stream)) != Z_OK) {
    return "";
  }
  std::string out;
  char piece[4096];
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  stream.avail_in = static_cast<uInt>(body.size());
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(piece);
    stream.avail_out = sizeof piece;
    result = inflateStep(&stream, Z_NO_FLUSH);
    out.append(piece, sizeof piece - stream.avail_out);
  }
  end(&stream);
  return result == Z_STREAM_END ? out : "";
}

// Runs work(thread, index) for every index of count, spread over kThreads threads.
template <typename Work>
void OnThreads(int count, Work work) {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < count; i += kThreads) work(t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

TEST(HardeningServiceStress, ManyUploadsFromFourThreadsAreEveryOneFound) {
  std::string program = BuiltServiceProgram();
  if (program.empty()) GTEST_SKIP() << "the service was not built";
  signal(SIGPIPE, SIG_DFL);
  unsetenv("http_proxy");
  unsetenv("no_proxy");
  TempDir dir;
  // Its own data folder, so that no run finds another's queued jobs.
  ServiceRunner service({"--port", "0", "--key", kKey, "--max-jobs", std::to_string(kUploads + 10), "--max-jobs-per-key",
                         std::to_string(kUploads + 10), "--data-dir",
                         dir.File("service-data")});
  ASSERT_GT(service.port(), 0) << "the service did not start";
  HttpClientConnectToForTesting((kApiHost + ":80:127.0.0.1:" + std::to_string(service.port())).c_str());
  HttpClientTimeoutsForTesting(10, 10);
  for (int t = 0; t < kThreads; ++t) WriteBytes(dir.File("t" + std::to_string(t) + ".wav"), SmallWav(160, t * 1000));

  std::vector<std::string> jobs(kUploads);
  std::vector<std::string> statusUrls(kUploads);
  std::atomic<int> failures{0};
  OnThreads(kUploads, [&](int t, int i) {
    std::string name = "t" + std::to_string(t);
    auto begun = std::chrono::steady_clock::now();
    int32_t code = OmbriVoice(Utf16(dir.File(name + ".wav")).c_str(), Utf16(kKey).c_str(),
                              Utf16(dir.File(name + ".json")).c_str());
    bool slow = std::chrono::steady_clock::now() - begun >= kCallLimit;
    std::string reply = Gunzipped(ReadBytes(dir.File(name + ".json")));
    jobs[i] = JsonString(reply, "jobid");
    statusUrls[i] = JsonString(reply, "status_url");
    if (code != OMBRIVOICE_OK || jobs[i].empty() || statusUrls[i].empty() || slow) {
      if (failures++ < 5) ADD_FAILURE() << "upload " << i << ": code " << code << ", reply " << reply
                                        << (slow ? ", over the call limit" : "");
    }
  });
  ASSERT_EQ(failures.load(), 0);
  EXPECT_EQ(std::set<std::string>(jobs.begin(), jobs.end()).size(), size_t{kUploads}) << "job ids repeat";

  OnThreads(kUploads, [&](int t, int i) {
    std::string path = dir.File("status" + std::to_string(t) + ".json");
    std::string url = statusUrls[i] + "?apikey=" + kKey;
    auto begun = std::chrono::steady_clock::now();
    int32_t code = OmbriVoiceFileDownload(Utf16(url).c_str(), Utf16(path).c_str());
    bool slow = std::chrono::steady_clock::now() - begun >= kCallLimit;
    std::string status = ReadBytes(path);
    if (code != OMBRIVOICE_OK || JsonString(status, "jobid") != jobs[i] || JsonString(status, "status").empty() ||
        slow) {
      if (failures++ < 5) ADD_FAILURE() << "job " << jobs[i] << " not found: code " << code << ", " << status
                                        << (slow ? ", over the call limit" : "");
    }
  });
  EXPECT_EQ(failures.load(), 0);
  HttpClientConnectToForTesting(nullptr);
  HttpClientTimeoutsForTesting(0, 0);
  EXPECT_EQ(service.Stop(), 0) << "the service's exit code, or 128 + the signal that ended it";
}
