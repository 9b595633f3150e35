// The URL download against loopback servers and local files: the body byte for byte, the exact
// request, redirects, and every result code with what it leaves on disk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/loopback_server.h"
#include "support/reply_cases.h"
#include "support/test_files.h"

namespace {

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy",
                             "HTTPS_PROXY", "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
      unsetenv(name);
    }
    HttpClientTimeoutsForTesting(0, 0);
  }
  void TearDown() override { unsetenv("http_proxy"); }
  int32_t Run(const std::string& url, const std::string& path) {
    return OmbriVoiceFileDownload(U16(url).c_str(), U16(path).c_str());
  }
  static std::string UrlOf(const LoopbackServer& server, const std::string& path = "/file") {
    return "http://127.0.0.1:" + std::to_string(server.port()) + path;
  }
  TempDir dir;
};

}  // namespace

TEST_F(Download, SavesTheBodyByteForByteWithOnlyTheAgentAdded) {
  for (const std::string& body : DownloadBodies()) {
    SCOPED_TRACE("body of " + std::to_string(body.size()) + " bytes");
    LoopbackServer server(HttpReply(200, body, "Content-Type: application/octet-stream\r\n"));
    ASSERT_EQ(Run(UrlOf(server, "/jobs/7?key=a%20b"), dir.File("out.bin")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("out.bin")) == body);
    RecordedRequest request = ParseRequest(server.Requests().at(0));
    EXPECT_EQ(request.requestLine, "GET /jobs/7?key=a%20b HTTP/1.1");
    EXPECT_EQ(request.headerLines,
              (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.port()),
                                        "User-Agent: FTP_to_AIX"}));
    EXPECT_EQ(request.body, "");
  }
}

TEST_F(Download, SavesWhatTheServerSentWhateverTheStatusOrCoding) {
  for (const ReplyCase& c : RawReplyCases()) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.reply);
    WriteBytes(dir.File("old.bin"), std::string(100000, 'o'));  // longer than any new body
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

TEST_F(Download, ReadsFileUrlsOfAnySize) {
  std::string body = PatternBytes(300000, 9);
  WriteBytes(dir.File("a file.bin"), body);
  ASSERT_EQ(Run("file://" + dir.File("a%20file.bin"), dir.File("copy")), OMBRIVOICE_OK);
  EXPECT_TRUE(ReadBytes(dir.File("copy")) == body);
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
  std::string body = PatternBytes(200000, 5);
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

TEST_F(Download, GoesThroughTheConfiguredProxy) {
  LoopbackServer proxy(HttpReply(200, "via proxy"));
  setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  ASSERT_EQ(Run("http://files.ombrivoice.example/result/1", dir.File("p")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("p")), "via proxy");
  RecordedRequest request = ParseRequest(proxy.Requests().at(0));
  EXPECT_EQ(request.requestLine, "GET http://files.ombrivoice.example/result/1 HTTP/1.1");
  EXPECT_EQ(request.Values("User-Agent"), std::vector<std::string>{"FTP_to_AIX"});
  EXPECT_EQ(request.Values("Host"), std::vector<std::string>{"files.ombrivoice.example"});
}
