// The recognition upload of a TLS build (OMBRIVOICE_API_TLS): the same request, decrypted by a
// loopback TLS server on the API host's port 443, and refused before anything is sent when the
// server's certificate is not to be trusted.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/test_certificates.h"
#include "support/test_files.h"

namespace {

const std::string kJsonReply = HttpReply(202, "{\"jobID\":\"j-1\"}", "Content-Type: application/json\r\n");

class TlsUpload : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_DFL);
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);
    HttpClientTrustForTesting(TestCertificates::Get().ca.c_str());
  }
  void TearDown() override {
    HttpClientConnectToForTesting(nullptr);
    HttpClientTrustForTesting(nullptr);
  }
  TempDir dir;
};

}  // namespace

TEST_F(TlsUpload, SendsTheExpectedRequestOnlyToAServerWithATrustedCertificateForTheApiHost) {
  const std::string wav = PatternBytes(70001, 9);
  WriteBytes(dir.File("a.wav"), wav);
  const struct {
    const char* certificate;
    int32_t code;
  } cases[] = {
      {"server", OMBRIVOICE_OK},
      {"untrusted", OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED},   // signed by a CA nobody trusts
      {"other-name", OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED},  // trusted, but for another host
      {"expired", OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.certificate);
    LoopbackServer server(TestCertificates::Get().Tls(c.certificate, kJsonReply));
    HttpClientConnectToForTesting(server.ConnectTo(kApiHost, 443).c_str());
    std::string reply = dir.File(std::string(c.certificate) + ".json");
    ASSERT_EQ(OmbriVoice(Utf16(dir.File("a.wav")).c_str(), Utf16("ключ").c_str(), Utf16(reply).c_str()), c.code);
    if (c.code != OMBRIVOICE_OK) {
      // The client may finish the handshake before it checks the name, but sends no byte.
      ASSERT_TRUE(server.WaitForConnectionsToEnd(5000));
      for (const std::string& received : server.Requests()) EXPECT_EQ(received, "") << "something was sent";
      EXPECT_FALSE(FileExists(reply));
      continue;
    }
    ASSERT_EQ(server.Requests().size(), 1u);
    RecordedRequest request = ParseRequest(server.Requests()[0]);
    EXPECT_EQ(request.requestLine, "POST " + kUploadPath + " HTTP/1.1");
    ExpectUploadRequest(request, wav, "ключ");  // Host carries no port
    EXPECT_EQ(ReadBytes(reply), "{\"jobID\":\"j-1\"}");
  }
}

// A server that refuses the upload answers as soon as the request head is in, then reads on,
// stops sending, or closes; over TLS too its answer is saved whole, with 13 when it came first.
TEST_F(TlsUpload, SavesAnAnswerThatComesBeforeTheBody) {
  WriteBytes(dir.File("a.wav"), PatternBytes(5 << 20, 3));
  const std::string refusal = "{\"error\":\"bad_key\"}";
  for (ServerFault mode : {ServerFault::AnswerEarlyThenRead, ServerFault::AnswerEarlyThenShutdown,
                           ServerFault::AnswerEarlyThenClose}) {
    SCOPED_TRACE(static_cast<int>(mode));
    ServerScript script = TestCertificates::Get().Tls("server", HttpReply(401, refusal));
    script.fault = mode;
    LoopbackServer server(script);
    HttpClientConnectToForTesting(server.ConnectTo(kApiHost, 443).c_str());
    std::string reply = dir.File("refusal.json");
    EXPECT_EQ(OmbriVoice(Utf16(dir.File("a.wav")).c_str(), u"key", Utf16(reply).c_str()), OMBRIVOICE_UPLOAD_ANSWERED_EARLY);
    EXPECT_EQ(ReadBytes(reply), refusal);
  }
}
