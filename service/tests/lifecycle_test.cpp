// The service program as a service: a burst of uploads at once beside stalled clients, a kill
// with jobs queued and running, and a stop while a long job runs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <thread>

#include "service/wav_reader.h"
#include "support/common/service_runner.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

constexpr int kBurstClients = 64;
// The kernel answers a connection's handshake itself while the backlog has room; a connection
// that found it full is dropped and retried after a second.
constexpr auto kHandshakeBound = std::chrono::milliseconds(500);

RawReply Upload(int port, const std::string& wav) {
  return SendRaw(port, UploadRequest(kUploadTarget, UploadBody(kLibraryBoundary, wav, "k")));
}

// The job's status URL of an accepted upload's reply.
std::string JobUrl(const RawReply& accepted) { return JsonField(accepted.body, "status_url"); }

std::string StatusOf(int port, const std::string& jobUrl) {
  return JsonField(Get(port, jobUrl + "?apikey=k").body, "status");
}

// Polls until the job is running; false after ten seconds.
bool WaitUntilRunning(int port, const std::string& jobUrl) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (StatusOf(port, jobUrl) != "running") {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// wav's samples times times over: speech that keeps the recogniser busy for a while.
std::string Repeated(const std::string& wav, int times) {
  WavReadResult read = ReadWav(wav);
  std::vector<std::int16_t> samples(read.audio.samples.size() / 2);
  std::copy_n(read.audio.samples.data(), samples.size() * 2, reinterpret_cast<char*>(samples.data()));
  std::vector<std::int16_t> repeated;
  for (int i = 0; i < times; ++i) repeated.insert(repeated.end(), samples.begin(), samples.end());
  return MakeWav(read.audio.sampleRate, 1, 16, repeated);
}

TEST(ServiceLifecycle, SixtyFourUploadsAtOnceAreAllAcceptedAndRunBesideStalledClients) {
  ServiceRunner service({"--key", "k", "--port", "0", "--max-jobs", "200"});
  const int port = service.port();
  ASSERT_GT(port, 0) << service.firstLine();
  const int stalledInHead = ConnectLoopback(port);
  const int stalledInBody = ConnectLoopback(port);
  ASSERT_TRUE(SendAll(stalledInHead, "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nHost: x"));
  ASSERT_TRUE(SendAll(stalledInBody, UploadRequest(kUploadTarget, std::string(1000, 'x')).substr(0, 600)));
  const Clock::time_point stalledSince = Clock::now();

  const std::string tenthOfASecond = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  const std::string request = UploadRequest(kUploadTarget, UploadBody(kLibraryBoundary, tenthOfASecond, "k"));
  std::mutex mutex;
  std::condition_variable go;
  bool started = false;
  std::vector<RawReply> replies(kBurstClients);
  std::vector<Clock::duration> handshakes(kBurstClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kBurstClients; ++i) {
    clients.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mutex);
        go.wait(lock, [&] { return started; });
      }
      const Clock::time_point begin = Clock::now();
      const int sock = ConnectLoopback(port);
      handshakes[i] = Clock::now() - begin;
      replies[i] = Exchange(sock, request);
    });
  }
  const Clock::time_point burstBegin = Clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex);
    started = true;
  }
  go.notify_all();
  for (std::thread& client : clients) client.join();
  const auto burstTime = Clock::now() - burstBegin;

  for (int i = 0; i < kBurstClients; ++i) {
    ASSERT_EQ(replies[i].status, 202) << "client " << i << ": " << replies[i].body;
  }
  EXPECT_LT(*std::max_element(handshakes.begin(), handshakes.end()), kHandshakeBound) << "a connection was dropped";
  for (const RawReply& reply : replies) {
    const RawReply result = WaitForResult(port, JsonField(reply.body, "result_url"), "k");
    EXPECT_EQ(JsonField(result.body, "status"), "finished") << result.body;
  }
  std::printf("64 uploads answered in %.3f s, all 64 jobs finished %.3f s after the burst began\n",
              std::chrono::duration<double>(burstTime).count(),
              std::chrono::duration<double>(Clock::now() - burstBegin).count());
  const auto stalledLimit = std::chrono::seconds(10) - (Clock::now() - stalledSince);
  EXPECT_TRUE(ClosedWithin(stalledInHead, std::chrono::duration_cast<std::chrono::milliseconds>(stalledLimit)));
  EXPECT_TRUE(ClosedWithin(stalledInBody, std::chrono::milliseconds(1000)));
  close(stalledInHead);
  close(stalledInBody);
  EXPECT_EQ(service.StopWith(SIGTERM), 0);
}

// Services started one after the other on one data folder, with flite's phrase to upload.
class ServiceRestarts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(spoken_.empty()) << "flite could not speak the phrase: install the Debian package flite";
  }

  const std::string spoken_ = SpeakPhrase();
  TempDir data_;
  const std::vector<std::string> args_ = {"--key", "k", "--port", "0", "--data-dir", data_.path()};
};

TEST_F(ServiceRestarts, AfterSigkillEveryJobIsFoundAndRunsToItsEnd) {
  RawReply finished;
  std::vector<std::string> jobs;  // finished, running, queued, queued
  {
    ServiceRunner service(args_);
    ASSERT_GT(service.port(), 0) << service.firstLine();
    jobs.push_back(JobUrl(Upload(service.port(), spoken_)));
    finished = WaitForResult(service.port(), jobs[0] + "/result", "k");
    ASSERT_EQ(JsonField(finished.body, "status"), "finished") << finished.body;
    for (const std::string& wav : {Repeated(spoken_, 4), spoken_, spoken_}) {
      jobs.push_back(JobUrl(Upload(service.port(), wav)));
    }
    ASSERT_TRUE(WaitUntilRunning(service.port(), jobs[1]));
    EXPECT_EQ(StatusOf(service.port(), jobs[2]), "queued");
    EXPECT_EQ(service.StopWith(SIGKILL), 128 + SIGKILL);
  }
  ServiceRunner restarted(args_);
  ASSERT_GT(restarted.port(), 0) << restarted.firstLine();
  EXPECT_EQ(Get(restarted.port(), jobs[0] + "/result?apikey=k").body, finished.body);
  for (const std::string& job : jobs) {
    const std::string status = StatusOf(restarted.port(), job);
    EXPECT_TRUE(status == "queued" || status == "running" || status == "finished") << job << ": " << status;
  }
  int finishedAfterRestart = 0;
  for (const std::string& job : jobs) {
    const RawReply result = WaitForResult(restarted.port(), job + "/result", "k");
    EXPECT_EQ(JsonField(result.body, "status"), "finished") << result.body;
    EXPECT_NE(JsonField(result.body, "text").find(kPhrase), std::string::npos) << result.body;
    finishedAfterRestart += JsonField(result.body, "status") == "finished";
  }
  std::printf("after SIGKILL (1 finished, 1 running, 2 queued): %d of 4 jobs finished after the restart\n",
              finishedAfterRestart);
  EXPECT_EQ(restarted.StopWith(SIGTERM), 0);
}

// A body still coming holds the drain for its whole grace: the running job is stopped alongside,
// not after it.
TEST_F(ServiceRestarts, SigtermWithAJobRunningExitsWithinTwoSecondsAndTheJobIsKept) {
  std::string job;
  {
    ServiceRunner service(args_);
    ASSERT_GT(service.port(), 0) << service.firstLine();
    job = JobUrl(Upload(service.port(), Repeated(spoken_, 20)));  // some ten seconds of recognition
    ASSERT_TRUE(WaitUntilRunning(service.port(), job));
    const int held = ConnectLoopback(service.port());
    ASSERT_GE(held, 0);
    const std::string head = "POST /1/api/async/recognizespeech/v1?apikey=k HTTP/1.1\r\nHost: x\r\n"
                             "Content-Type: multipart/form-data; boundary=b\r\nContent-Length: 100000\r\n\r\n--b\r\n";
    ASSERT_TRUE(SendAll(held, head));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // past the model's loading, into the words
    const Clock::time_point stop = Clock::now();
    EXPECT_EQ(service.StopWith(SIGTERM), 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - stop).count();
    std::printf("SIGTERM to exit with a job running: %.3f s\n", seconds);
    EXPECT_LT(seconds, 2.0);
    close(held);
  }
  ServiceRunner restarted(args_);
  ASSERT_GT(restarted.port(), 0) << restarted.firstLine();
  const std::string status = StatusOf(restarted.port(), job);
  EXPECT_TRUE(status == "queued" || status == "running") << status;
  EXPECT_EQ(restarted.StopWith(SIGTERM), 0);
}

}  // namespace
}  // namespace ombrivoice::service
