// The recognition upload against loopback servers: the exact request on the wire (directly and
// through a proxy), the reply file byte for byte, and every result code.
#include <gtest/gtest.h>

#include <fstream>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/test_files.h"

namespace {

const std::string kJsonReply = HttpReply(202, "{\"jobID\":\"j-1\"}", "Content-Type: application/json\r\n");

class Upload : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_DFL);  // a peer that closes must not kill the host
    unsetenv("http_proxy");
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    HttpClientTimeoutsForTesting(0, 0);
  }
  void TearDown() override {
    HttpClientConnectToForTesting(nullptr);
    HttpClientTimeoutsForTesting(0, 0);
    unsetenv("http_proxy");
  }
  void Direct(const LoopbackServer& server) {
    HttpClientConnectToForTesting(server.ConnectTo(kApiHost).c_str());
  }
  int32_t Run(const std::string& wav, const std::string& key, const std::string& reply) {
    return OmbriVoice(U16(wav).c_str(), U16(key).c_str(), U16(reply).c_str());
  }
  TempDir dir;
};

}  // namespace

TEST_F(Upload, SendsTheExpectedRequestDirectlyForEveryPieceBoundary) {
  // Empty, exactly one piece, one piece and a byte, a size that spans the client's staging
  // buffer unevenly, and one above the size at which clients usually ask for 100-continue.
  for (size_t size : {size_t{0}, size_t{1024}, size_t{1025}, size_t{3 * 65536 + 7}, size_t{2 << 20}}) {
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

TEST_F(Upload, ReachesTheApiHostThroughTheConfiguredProxy) {
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

TEST_F(Upload, SavesAnyReplyBodyRawWhateverItsStatusOrFraming) {
  std::string gzipBody("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xab\x56\x00\x00\x8d\x02\x00\x00", 18);
  std::string large = PatternBytes(1 << 20, 7);
  const struct {
    const char* name;
    std::string reply;
    std::string saved;
  } cases[] = {
      {"gzip-coded", HttpReply(200, gzipBody, "Content-Encoding: gzip\r\n"), gzipBody},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                  "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n", "hello, world"},
      {"401 error", HttpReply(401, "{\"error\":\"bad key\"}"), "{\"error\":\"bad key\"}"},
      {"empty", HttpReply(204, ""), ""},
      {"1 MiB", HttpReply(200, large), large},
      {"close-delimited", "HTTP/1.0 200 OK\r\n\r\nuntil the end", "until the end"},
  };
  WriteBytes(dir.File("a.wav"), PatternBytes(3000));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.reply);
    Direct(server);
    WriteBytes(dir.File("reply.bin"), std::string(3 << 20, 'x'));  // an older, longer reply
    ASSERT_EQ(Run(dir.File("a.wav"), "k", dir.File("reply.bin")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("reply.bin")) == c.saved);
  }
}

TEST_F(Upload, RefusesBadInputBeforeAnyConnection) {
  LoopbackServer server(kJsonReply);
  Direct(server);
  WriteBytes(dir.File("a.wav"), PatternBytes(100));
  EXPECT_EQ(Run(dir.File("missing.wav"), "k", dir.File("r1")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run(dir.path(), "k", dir.File("r2")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run("", "k", dir.File("r3")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run(dir.File("a.wav"), std::string(891, 'k'), dir.File("r4")), OMBRIVOICE_UPLOAD_KEY_INVALID);
  const char16_t loneSurrogate[] = {u'k', 0xDC01, 0};
  EXPECT_EQ(OmbriVoice(U16(dir.File("a.wav")).c_str(), loneSurrogate, U16(dir.File("r5")).c_str()),
            OMBRIVOICE_UPLOAD_KEY_INVALID);

  // WAV sizes that would take the body past 2147483647 bytes with the key "k" (119 bytes of
  // head, 110 of tail): one byte too many, 4 GiB, and 4 GiB and a kilobyte, which a 32-bit size
  // would read as 0 and 1024. Sparse files: nothing of them is written.
  const uint64_t kLargestWav = 2147483647 - 119 - 110;
  for (uint64_t size : {kLargestWav + 1, uint64_t{1} << 32, (uint64_t{1} << 32) + 1024}) {
    SCOPED_TRACE("WAV of " + std::to_string(size) + " bytes");
    SparseFile(dir.File("large.wav"), size);
    EXPECT_EQ(Run(dir.File("large.wav"), "k", dir.File("r6")), OMBRIVOICE_UPLOAD_WAV_SIZE_INVALID);
  }
  EXPECT_EQ(server.Connections(), 0);
  for (const char* reply : {"r1", "r2", "r3", "r4", "r5", "r6"}) EXPECT_FALSE(FileExists(dir.File(reply)));
}

TEST_F(Upload, AcceptsNonAsciiPathsAsUtf8FileNames) {
  LoopbackServer server(kJsonReply);
  Direct(server);
  WriteBytes(dir.File("запись é.wav"), "RIFF");
  ASSERT_EQ(Run(dir.File("запись é.wav"), "k", dir.File("ответ.json")), OMBRIVOICE_OK);
  ExpectUploadRequest(ParseRequest(server.Requests().at(0)), "RIFF", "k");
  EXPECT_EQ(ReadBytes(dir.File("ответ.json")), "{\"jobID\":\"j-1\"}");
}

TEST_F(Upload, ReportsAReplyThatCouldNotBeSavedAfterTheRequestWentOutWhole) {
  WriteBytes(dir.File("a.wav"), PatternBytes(2048));
  {
    SCOPED_TRACE("reply file in a missing folder");
    LoopbackServer server(kJsonReply);
    Direct(server);
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("no/such/reply")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    ExpectUploadRequest(ParseRequest(server.Requests()[0]), PatternBytes(2048), "k");
  }
  {
    SCOPED_TRACE("reply file on a full disk");
    LoopbackServer server(kJsonReply);
    Direct(server);
    EXPECT_EQ(Run(dir.File("a.wav"), "k", "/dev/full"), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
  {
    SCOPED_TRACE("reply breaks off");
    ServerScript script{HttpReply(200, std::string(1000, 'r'))};
    script.fault = ServerFault::CloseMidReply;
    script.replyBytesBeforeClose = 500;
    LoopbackServer server(script);
    Direct(server);
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("cut")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
  {
    SCOPED_TRACE("no reply at all");
    ServerScript script{kJsonReply};
    script.fault = ServerFault::CloseBeforeReply;
    LoopbackServer server(script);
    Direct(server);
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("none")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
}

TEST_F(Upload, ConnectionFailuresEndInTheirStepCodes) {
  WriteBytes(dir.File("big.wav"), PatternBytes(16 << 20));
  {
    SCOPED_TRACE("nothing listens");
    int port;
    {
      LoopbackServer gone(kJsonReply);
      port = gone.port();
    }
    HttpClientConnectToForTesting((kApiHost + ":80:127.0.0.1:" + std::to_string(port)).c_str());
    EXPECT_EQ(Run(dir.File("big.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("r")));
  }
  {
    SCOPED_TRACE("server closes after the head");
    ServerScript script{kJsonReply};
    script.fault = ServerFault::CloseAfterHead;
    LoopbackServer server(script);
    Direct(server);
    EXPECT_EQ(Run(dir.File("big.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  {
    SCOPED_TRACE("server closes mid-body");
    ServerScript script{kJsonReply};
    script.fault = ServerFault::CloseMidBody;
    script.bodyBytesBeforeClose = 1 << 20;
    LoopbackServer server(script);
    Direct(server);
    EXPECT_EQ(Run(dir.File("big.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  {
    SCOPED_TRACE("server stalls");
    HttpClientTimeoutsForTesting(2, 1);
    ServerScript script{kJsonReply};
    script.fault = ServerFault::StallAfterHead;
    LoopbackServer server(script);
    Direct(server);
    EXPECT_EQ(Run(dir.File("big.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  EXPECT_FALSE(FileExists(dir.File("r")));
}

TEST_F(Upload, AWavFileThatShrinksWhileSendingIsAReadFailure) {
  const size_t size = 64 << 20;
  WriteBytes(dir.File("shrinks.wav"), PatternBytes(size));
  std::string path = dir.File("shrinks.wav");
  ServerScript script{kJsonReply};
  script.fault = ServerFault::HoldAfterHead;
  script.onHead = [&] {
    // The upload is blocked on a full connection by now; cut the file under it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    (void)!truncate(path.c_str(), 1 << 20);
  };
  LoopbackServer server(script);
  Direct(server);
  EXPECT_EQ(Run(path, "k", dir.File("r")), OMBRIVOICE_UPLOAD_WAV_READ_FAILED);
}

// A file that grows once its size has been taken (a recording still being written) is sent as
// it was then: the declared length is never passed.
TEST_F(Upload, NeverSendsMoreThanTheSizeMeasuredBeforeSending) {
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

TEST_F(Upload, ReleasesEveryHandleOnEveryPath) {
  WriteBytes(dir.File("a.wav"), PatternBytes(4096));
  {
    LoopbackServer server(kJsonReply);
    Direct(server);
    ASSERT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_OK);  // libcurl's one-time set-up
  }
  int before = OpenDescriptorCount();
  {
    LoopbackServer server(kJsonReply);  // its own sockets are closed when it goes
    Direct(server);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_OK);
      EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("no/r")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
      EXPECT_EQ(Run(dir.File("a.wav"), std::string(900, 'k'), dir.File("r")), OMBRIVOICE_UPLOAD_KEY_INVALID);
    }
  }
  HttpClientConnectToForTesting((kApiHost + ":80:127.0.0.1:1").c_str());
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(Upload, UploadsOnSeveralThreadsAtOnceDoNotInterfere) {
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
