// The URL download against loopback HTTP, TLS and FTP servers and local files: the body byte
// for byte, the exact request, redirects, certificates, proxies, and every result code with what
// it leaves on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/ftp_server.h"
#include "support/loopback_server.h"
#include "support/reply_cases.h"
#include "support/test_certificates.h"
#include "support/test_files.h"

namespace {

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    UnsetProxies();
    HttpClientTimeoutsForTesting(0, 0);
    HttpClientTrustForTesting(TestCertificates::Get().ca.c_str());
  }
  void TearDown() override {
    UnsetProxies();
    HttpClientTrustForTesting(nullptr);
    HttpClientConnectToForTesting(nullptr);
  }
  static void UnsetProxies() {
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy",
                             "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
      unsetenv(name);
    }
  }
  int32_t Run(const std::string& url, const std::string& path) {
    return OmbriVoiceFileDownload(Utf16(url).c_str(), Utf16(path).c_str());
  }
  static std::string UrlOf(const LoopbackServer& server, const std::string& path = "/file",
                           const std::string& scheme = "http") {
    return scheme + "://127.0.0.1:" + std::to_string(server.port()) + path;
  }
  // A loopback HTTPS server with one of the test certificates.
  static ServerScript Tls(const char* certificate, const std::string& reply) {
    return TestCertificates::Get().Tls(certificate, reply);
  }
  TempDir dir;
};

}  // namespace

TEST_F(Download, SavesTheBodyByteForByteWithOnlyTheAgentAdded) {
  for (const std::string scheme : {"http", "https"}) {
    for (const std::string& body : DownloadBodies()) {
      SCOPED_TRACE(scheme + ", body of " + std::to_string(body.size()) + " bytes");
      std::string reply = HttpReply(200, body, "Content-Type: application/octet-stream\r\n");
      LoopbackServer server(scheme == "https" ? Tls("server", reply) : ServerScript(reply));
      ASSERT_EQ(Run(UrlOf(server, "/jobs/7?key=a%20b", scheme), dir.File("out.bin")), OMBRIVOICE_OK);
      EXPECT_TRUE(ReadBytes(dir.File("out.bin")) == body);
      RecordedRequest request = ParseRequest(server.Requests().at(0));
      EXPECT_EQ(request.requestLine, "GET /jobs/7?key=a%20b HTTP/1.1");
      EXPECT_EQ(request.headerLines,
                (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.port()),
                                          "User-Agent: FTP_to_AIX"}));
      EXPECT_EQ(request.body, "");
    }
  }
}

// The body table again, from FTP servers: plain for ftp://, for ftps:// explicit TLS that the
// server requires on the control and every data connection (so TLS on both is proven), and one
// that refuses passive connections, which the client then makes active.
TEST_F(Download, SavesFtpFilesPlainOverTlsOrOverActiveConnections) {
  TempDir served;
  FtpServer plain(served.path());
  FtpServer secure(served.path(), "server");
  ActiveOnlyFtpServer activeOnly(served.path());
  for (const std::string& body : DownloadBodies()) {
    WriteBytes(served.File("body"), body);
    for (const std::string& url : {plain.Url("ftp", "body"), secure.Url("ftps", "body"), activeOnly.Url("body")}) {
      SCOPED_TRACE(url + ", body of " + std::to_string(body.size()) + " bytes");
      ASSERT_EQ(Run(url, dir.File("out.bin")), OMBRIVOICE_OK);
      EXPECT_TRUE(ReadBytes(dir.File("out.bin")) == body);
    }
  }
  {
    SCOPED_TRACE("ftps:// without a port is explicit TLS on port 21");
    HttpClientConnectToForTesting(("127.0.0.1:21:127.0.0.1:" + std::to_string(secure.port())).c_str());
    ASSERT_EQ(Run("ftps://127.0.0.1/body", dir.File("default-port")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("default-port")) == DownloadBodies().back());
  }
  {
    SCOPED_TRACE("ftps:// naming port 990 is implicit TLS: the handshake comes first");
    ServerScript script = Tls("server", "");
    script.fault = ServerFault::CloseOnAccept;
    LoopbackServer implicitTls(script);
    HttpClientConnectToForTesting(implicitTls.ConnectTo("127.0.0.1", 990).c_str());
    EXPECT_EQ(Run("ftps://127.0.0.1:990/body", dir.File("implicit")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_EQ(implicitTls.Handshakes(), 1);
    HttpClientConnectToForTesting(nullptr);
  }
  const struct {
    const char* why;
    std::string url;
  } refused[] = {
      {"missing file", plain.Url("ftp", "missing")},
      {"missing file over TLS", secure.Url("ftps", "missing")},
      {"ftp:// stays plain, which a server requiring TLS refuses", secure.Url("ftp", "body")},
      {"missing file, over an active connection", activeOnly.Url("missing")},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(Run(c.url, dir.File("refused")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("refused")));
  }
}

// Whether reached directly, through a redirect or over FTP, a server whose certificate is not to
// be trusted gets no request and leaves no file.
TEST_F(Download, RefusesServersWhoseCertificatesCannotBeTrusted) {
  for (const char* certificate : {"untrusted", "expired", "other-name"}) {
    SCOPED_TRACE(certificate);
    LoopbackServer server(Tls(certificate, HttpReply(200, "secret")));
    EXPECT_EQ(Run(UrlOf(server, "/file", "https"), dir.File("refused")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("refused")));
    // The client may finish the handshake before it checks the name, but sends no byte.
    ASSERT_TRUE(server.WaitForConnectionsToEnd(5000));
    for (const std::string& received : server.Requests()) EXPECT_EQ(received, "") << "something was sent";
  }
  LoopbackServer untrusted(Tls("untrusted", HttpReply(200, "secret")));
  LoopbackServer redirect(HttpReply(302, "", "Location: " + UrlOf(untrusted, "/file", "https") + "\r\n"));
  TempDir served;
  WriteBytes(served.File("body"), "secret");
  FtpServer untrustedFtp(served.path(), "untrusted");
  for (const std::string& url : {UrlOf(redirect), untrustedFtp.Url("ftps", "body")}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Run(url, dir.File("refused")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("refused")));
  }
  EXPECT_EQ(untrusted.Connections(), 1);
}

TEST_F(Download, SavesWhatTheServerSentWhateverTheStatusOrCoding) {
  for (const ReplyCase& c : RawReplyCases()) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.reply);
    WriteBytes(dir.File("old.bin"), std::string(100000, 'o'));  // longer than the short bodies
    ASSERT_EQ(Run(UrlOf(server), dir.File("old.bin")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("old.bin")) == c.saved);
  }
}

TEST_F(Download, FollowsRedirectsButNotIntoLoopsOrLocalFiles) {
  LoopbackServer target(HttpReply(200, "moved body"));
  LoopbackServer redirect(HttpReply(302, "see elsewhere", "Location: " + UrlOf(target, "/new") + "\r\n"));
  ASSERT_EQ(Run(UrlOf(redirect), dir.File("followed")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("followed")), "moved body");
  EXPECT_EQ(ParseRequest(target.Requests().at(0)).requestLine, "GET /new HTTP/1.1");

  ServerScript loop(HttpReply(301, "", "Location: /again\r\n"));
  LoopbackServer looping(loop);
  EXPECT_EQ(Run(UrlOf(looping), dir.File("loop")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  EXPECT_EQ(looping.Connections(), 21);  // the first request and 20 redirects
  EXPECT_FALSE(FileExists(dir.File("loop")));

  WriteBytes(dir.File("secret"), "local only");
  LoopbackServer toFile(HttpReply(302, "", "Location: file://" + dir.File("secret") + "\r\n"));
  EXPECT_EQ(Run(UrlOf(toFile), dir.File("leak")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  EXPECT_FALSE(FileExists(dir.File("leak")));
}

// Spaces may be escaped or typed as they are.
TEST_F(Download, ReadsFileUrlsOfAnySize) {
  std::string body = PatternBytes(300000, 9);
  WriteBytes(dir.File("a file .bin"), body);
  for (const char* name : {"a%20file%20.bin", "a file .bin", "a%20file .bin"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Run("file://" + dir.File(name), dir.File("copy")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("copy")) == body);
  }
  WriteBytes(dir.File("empty"), "");
  ASSERT_EQ(Run("file://localhost" + dir.File("empty"), dir.File("copy")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("copy")), "");
  EXPECT_EQ(Run("file://" + dir.File("missing"), dir.File("x")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  EXPECT_EQ(Run("file://" + dir.path(), dir.File("x")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  EXPECT_FALSE(FileExists(dir.File("x")));
}

TEST_F(Download, UrlsThatCannotBeOpenedLeaveNoFileAndMakeNoConnection) {
  LoopbackServer server(HttpReply(200, "x"));
  std::string hostPort = "127.0.0.1:" + std::to_string(server.port());
  for (const std::string& url : {"gopher://" + hostPort + "/", "telnet://" + hostPort, "dict://" + hostPort,
                                 "mailto:someone@" + hostPort, hostPort + "/file", std::string("")}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Run(url, dir.File("x")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  }
  EXPECT_EQ(server.Connections(), 0);
  int closedPort;
  {
    LoopbackServer gone(HttpReply(200, "x"));
    closedPort = gone.port();
  }
  EXPECT_EQ(Run("http://127.0.0.1:" + std::to_string(closedPort) + "/", dir.File("x")),
            OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
  EXPECT_FALSE(FileExists(dir.File("x")));
}

TEST_F(Download, ReportsEveryLossOfTheBody) {
  std::string body = PatternBytes(3 << 20, 5);  // past the file's 1 MiB write buffer, so writes fail mid-copy
  {
    SCOPED_TRACE("local file in a missing folder");
    LoopbackServer server(HttpReply(200, body));
    EXPECT_EQ(Run(UrlOf(server), dir.File("no/such/file")), OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
  }
  for (size_t size : {size_t{100}, body.size()}) {
    SCOPED_TRACE("disk full, body of " + std::to_string(size));
    LoopbackServer server(HttpReply(200, body.substr(0, size)));
    EXPECT_EQ(Run(UrlOf(server), "/dev/full"), OMBRIVOICE_DOWNLOAD_WRITE_FAILED);
  }
  {
    SCOPED_TRACE("body cut short");
    std::string reply = HttpReply(200, body);
    size_t head = reply.size() - body.size();
    ServerScript script(reply);
    script.fault = ServerFault::CloseMidReply;
    script.replyBytesBeforeClose = head + 150000;
    LoopbackServer server(script);
    EXPECT_EQ(Run(UrlOf(server), dir.File("cut")), OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF);
    EXPECT_TRUE(ReadBytes(dir.File("cut")) == body.substr(0, 150000));
  }
  {
    SCOPED_TRACE("server stalls mid-body");
    HttpClientTimeoutsForTesting(2, 1);
    std::string reply = HttpReply(200, body);
    ServerScript script(reply);
    script.fault = ServerFault::StallMidReply;
    script.replyBytesBeforeClose = reply.size() - 1;
    LoopbackServer server(script);
    EXPECT_EQ(Run(UrlOf(server), dir.File("stalled")), OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF);
  }
}

TEST_F(Download, GoesThroughTheProxyConfiguredForTheScheme) {
  LoopbackServer proxy(HttpReply(200, "via proxy"));
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  ASSERT_EQ(Run("http://files.ombrivoice.example/result/1", dir.File("p")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("p")), "via proxy");
  RecordedRequest request = ParseRequest(proxy.Requests().at(0));
  EXPECT_EQ(request.requestLine, "GET http://files.ombrivoice.example/result/1 HTTP/1.1");
  EXPECT_EQ(request.Values("User-Agent"), std::vector<std::string>{"FTP_to_AIX"});
  EXPECT_EQ(request.Values("Host"), std::vector<std::string>{"files.ombrivoice.example"});

  // TLS goes through a tunnel to the server itself, which this proxy refuses.
  LoopbackServer target(Tls("server", HttpReply(200, "direct")));
  LoopbackServer refusing(HttpReply(403, "no tunnels"));
  std::string refusingUrl = "http://127.0.0.1:" + std::to_string(refusing.port());
  std::string targetPort = std::to_string(target.port());
  const struct {
    const char* variable;
    std::string url;
  } tunnelled[] = {
      {"https_proxy", UrlOf(target, "/file", "https")},
      {"ftp_proxy", "ftps://127.0.0.1:" + targetPort + "/file"},  // not fetched by the proxy in plain text
  };
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(tunnelled[i].variable);
    UnsetProxies();
    setenv(tunnelled[i].variable, refusingUrl.c_str(), 1);
    EXPECT_EQ(Run(tunnelled[i].url, dir.File("t")), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("t")));
    ASSERT_EQ(refusing.Requests().size(), i + 1);
    EXPECT_EQ(ParseRequest(refusing.Requests()[i]).requestLine, "CONNECT 127.0.0.1:" + targetPort + " HTTP/1.1");
  }
  setenv("no_proxy", "127.0.0.1", 1);
  setenv("https_proxy", refusingUrl.c_str(), 1);
  ASSERT_EQ(Run(UrlOf(target, "/file", "https"), dir.File("direct")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("direct")), "direct");
  EXPECT_EQ(refusing.Connections(), 2);
}
