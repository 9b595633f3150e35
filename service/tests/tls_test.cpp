// The service program over TLS: a client that trusts its certificate is answered as over plain
// HTTP, with https job URLs; plain HTTP to that port gets no HTTP answer; and a certificate or
// key it cannot use makes it exit 1 before it listens.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdlib>
#include <memory>

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

// request sent over TLS to 127.0.0.1:port by a client that trusts only caFile and checks that
// the certificate names 127.0.0.1; what came back, or status 0 with the handshake's failure
// in the body.
RawReply TlsExchange(int port, const std::string& caFile, const std::string& request) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_load_verify_locations(context.get(), caFile.c_str(), nullptr);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(context.get()), SSL_free);
  X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), kLoopback);
  const int sock = ConnectLoopback(port);
  SSL_set_fd(ssl.get(), sock);
  RawReply failed;
  if (SSL_connect(ssl.get()) != 1) {
    failed.body = "handshake failed: " + std::string(ERR_reason_error_string(ERR_get_error()) ?: "") +
                  ", verification " + X509_verify_cert_error_string(SSL_get_verify_result(ssl.get()));
    close(sock);
    return failed;
  }
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  std::string received;
  char piece[4096];
  for (int n; (n = SSL_read(ssl.get(), piece, sizeof piece)) > 0;) received.append(piece, static_cast<std::size_t>(n));
  close(sock);
  return ParseReply(received);
}

TEST_F(ServiceTls, ATrustingClientIsAnsweredAndPlainHttpIsNot) {
  ServiceProcess service(TlsArgs("server.pem", "server.key"));
  ASSERT_GT(service.port(), 0) << service.firstLine();
  EXPECT_EQ(PlainExchange(service.port(), "GET /nowhere HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status, 0);

  const std::string wav = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  const RawReply accepted = TlsExchange(service.port(), File("ca.pem"),
                                        UploadRequest(kUploadPath, UploadBody(kLibraryBoundary, wav, "k")));
  ASSERT_EQ(accepted.status, 202) << accepted.body;
  const std::string origin = "https://api.ombrivoice.example";  // from the request's Host line
  const std::string jobUrl = JsonField(accepted.body, "status_url");
  ASSERT_EQ(jobUrl.rfind(origin + kJobPathPrefix, 0), 0u) << jobUrl;
  const RawReply status = TlsExchange(service.port(), File("ca.pem"),
                                      "GET " + jobUrl.substr(origin.size()) + "?apikey=k HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(status.status, 200) << status.body;
  const RawReply unknown = TlsExchange(service.port(), File("ca.pem"), "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(JsonField(unknown.body, "error"), "not_found") << unknown.body;
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
