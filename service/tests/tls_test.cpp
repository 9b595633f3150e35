// The service program over TLS: a client that trusts its certificate is answered as over plain
// HTTP, with https job URLs; plain HTTP to that port gets no HTTP answer; and a certificate or
// key it cannot use makes it exit 1 before it listens.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>

#include "service/api_routes.h"
#include "service/http_server.h"
#include "support/service_process.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;

// A service that failed to close a connection must not hang the test.
constexpr time_t kPlainReplyWaitSeconds = 3;

// Certificates made afresh for each test by the project's script, in a folder of its own.
class ServiceTls : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(OMBRIVOICE_CERTIFICATE_MAKER) && defined(OMBRIVOICE_SERVICE_TEST_PYTHON)
    // The API host does not matter here: the tests connect to 127.0.0.1, which every
    // certificate names.
    const std::string command = std::string("'" OMBRIVOICE_SERVICE_TEST_PYTHON "' '" OMBRIVOICE_CERTIFICATE_MAKER "' '") +
                                certificates_.path() + "' localhost";
    ASSERT_EQ(std::system(command.c_str()), 0) << command << ": needs the Debian package python3-cryptography";
#else
    GTEST_SKIP() << "tests/tls/make_certificates.py or /usr/bin/python3 not found";
#endif
  }

  std::string File(const std::string& name) const { return certificates_.path() + "/" + name; }

  std::vector<std::string> TlsArgs(const std::string& certificate, const std::string& key) const {
    return {"--key", "k", "--port", "0", "--tls-cert", File(certificate), "--tls-key", File(key)};
  }

  TempFolder certificates_;
};

// request sent in plain text to port; what came back before the server closed the connection.
RawReply PlainExchange(int port, const std::string& request) {
  const int sock = ConnectLoopback(port);
  timeval wait{kPlainReplyWaitSeconds, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  return Exchange(sock, request);
}

TEST_F(ServiceTls, ATrustingClientIsAnsweredAndPlainHttpIsNot) {
  ServiceProcess service(TlsArgs("server.pem", "server.key"));
  ASSERT_GT(service.port(), 0) << service.firstLine();
  EXPECT_EQ(PlainExchange(service.port(), "GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 0);

  httplib::SSLClient client(kLoopback, service.port());
  client.set_ca_cert_path(File("ca.pem").c_str());
  client.enable_server_certificate_verification(true);
  const std::string wav = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  auto accepted = client.Post(kUploadPath, UploadBody(kLibraryBoundary, wav, "k"),
                              std::string("multipart/form-data; boundary=") + kLibraryBoundary);
  ASSERT_TRUE(accepted) << httplib::to_string(accepted.error()) << ", verification "
                        << client.get_openssl_verify_result();
  ASSERT_EQ(accepted->status, 202) << accepted->body;
  const std::string origin = "https://127.0.0.1:" + std::to_string(service.port());
  const std::string jobUrl = JsonField(accepted->body, "status_url");
  ASSERT_EQ(jobUrl.rfind(origin + kJobPathPrefix, 0), 0u) << jobUrl;
  auto status = client.Get((jobUrl.substr(origin.size()) + "?apikey=k").c_str());
  ASSERT_TRUE(status) << httplib::to_string(status.error());
  EXPECT_EQ(status->status, 200) << status->body;
  auto unknown = client.Get("/nowhere");
  ASSERT_TRUE(unknown) << httplib::to_string(unknown.error());
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(JsonField(unknown->body, "error"), "not_found") << unknown->body;
  EXPECT_EQ(service.StopWith(SIGTERM), 0);
}

TEST_F(ServiceTls, ACertificateOrKeyItCannotUseExitsWith1BeforeListening) {
  const std::vector<std::vector<std::string>> unusable = {
      TlsArgs("missing.pem", "server.key"),
      TlsArgs("server.key", "server.key"),      // a key where the certificate belongs
      TlsArgs("server.pem", "missing.key"),
      TlsArgs("server.pem", "other-name.key"),  // another certificate's key
  };
  for (const auto& args : unusable) {
    ServiceProcess service(args);
    EXPECT_EQ(service.firstLine(), "") << ::testing::PrintToString(args);
    EXPECT_EQ(service.Wait(), 1) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace ombrivoice::service
