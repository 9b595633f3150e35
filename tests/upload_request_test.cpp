// The recognition upload's request on the wire against loopback servers: the exact request
// directly and through a proxy, for WAV files of every piece boundary, one that grows while it
// is sent, and several uploads at once.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/test_files.h"
#include "support/transfer_cases.h"

namespace {

class UploadRequest : public UploadTest {};

}  // namespace

TEST_F(UploadRequest, SendsTheExpectedRequestDirectlyForEveryPieceBoundary) {
  // Empty, exactly one piece, one piece and a byte, sizes that span the client's staging buffer
  // and the file's 1 MiB read-ahead unevenly, and one above the size at which clients usually
  // ask for 100-continue.
  for (size_t size : {size_t{0}, size_t{1024}, size_t{1025}, size_t{3 * 65536 + 7}, size_t{(1 << 20) + 7},
                      size_t{2 << 20}}) {
    SCOPED_TRACE("WAV of " + std::to_string(size) + " bytes");
    LoopbackServer server(kJsonReply);
    Direct(server);
    std::string wav = PatternBytes(size, static_cast<unsigned>(size));
    WriteBytes(dir.File("a.wav"), wav);
    ASSERT_EQ(Run(dir.File("a.wav"), "KEY-123", dir.File("reply.json")), OMBRIVOICE_OK);
    ASSERT_EQ(server.Requests().size(), 1u);
    RecordedRequest request = ParseRequest(server.Requests()[0]);
    EXPECT_EQ(request.requestLine, "POST " + kUploadPath + " HTTP/1.1");
    ExpectUploadRequest(request, wav, "KEY-123");
    EXPECT_EQ(ReadBytes(dir.File("reply.json")), "{\"jobID\":\"j-1\"}");
  }
}

TEST_F(UploadRequest, ReachesTheApiHostThroughTheConfiguredProxy) {
  LoopbackServer proxy(kJsonReply);
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  std::string wav = PatternBytes(5000);
  WriteBytes(dir.File("a.wav"), wav);
  ASSERT_EQ(Run(dir.File("a.wav"), "ключ", dir.File("reply.json")), OMBRIVOICE_OK);
  ASSERT_EQ(proxy.Requests().size(), 1u);
  RecordedRequest request = ParseRequest(proxy.Requests()[0]);
  EXPECT_EQ(request.requestLine, "POST http://" + kApiHost + kUploadPath + " HTTP/1.1");
  ExpectUploadRequest(request, wav, "ключ");
  EXPECT_EQ(ReadBytes(dir.File("reply.json")), "{\"jobID\":\"j-1\"}");
}

// A file that grows once its size has been taken (a recording still being written) is sent as
// it was then: the declared length is never passed.
TEST_F(UploadRequest, NeverSendsMoreThanTheSizeMeasuredBeforeSending) {
  const std::string wav = PatternBytes(5000, 7);
  std::string path = dir.File("grows.wav");
  WriteBytes(path, wav);
  ServerScript script{kJsonReply};
  script.fault = ServerFault::HoldAfterHead;
  script.onHead = [&] { std::ofstream(path, std::ios::binary | std::ios::app) << PatternBytes(3000, 8); };
  LoopbackServer server(script);
  Direct(server);
  ASSERT_EQ(Run(path, "k", dir.File("r")), OMBRIVOICE_OK);
  ExpectUploadRequest(ParseRequest(server.Requests().at(0)), wav, "k");
}

TEST_F(UploadRequest, UploadsOnSeveralThreadsAtOnceDoNotInterfere) {
  LoopbackServer server(kJsonReply);
  Direct(server);
  const int kThreads = 4;
  std::vector<std::thread> threads;
  int results[kThreads] = {};
  for (int t = 0; t < kThreads; ++t) {
    WriteBytes(dir.File("t" + std::to_string(t) + ".wav"), PatternBytes(200000, t));
    threads.emplace_back([&, t] {
      std::string name = "t" + std::to_string(t);
      results[t] = Run(dir.File(name + ".wav"), "key-" + name, dir.File(name + ".json"));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(results[t], OMBRIVOICE_OK);
    EXPECT_EQ(ReadBytes(dir.File("t" + std::to_string(t) + ".json")), "{\"jobID\":\"j-1\"}");
  }
  std::vector<std::string> requests = server.Requests();
  ASSERT_EQ(requests.size(), size_t{kThreads});
  for (const std::string& raw : requests) {
    RecordedRequest request = ParseRequest(raw);
    std::string key = request.body.substr(request.body.size() - 40);
    int t = key[key.find("key-t") + 5] - '0';
    ExpectUploadRequest(request, PatternBytes(200000, t), "key-t" + std::to_string(t));
  }
}
