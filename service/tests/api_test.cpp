// The HTTP API over real loopback sockets: the library's request in proxy and direct form,
// each malformed request with its status and JSON error, the body limit, job reads.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "service/request_log.h"
#include "service/url_query.h"
#include "support/api_server.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;

constexpr const char* kProxyUploadTarget = "http://api.ombrivoice.example/1/api/async/recognizespeech/v1";
constexpr std::size_t kTestBodyLimit = 64 * 1024;  // small, so the over-limit body is quick

std::string Repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

class ServiceApi : public ::testing::Test {
 protected:
  void SetUp() override { Start(JobLimits{}); }

  void Start(JobLimits limits, ApiSettings settings = Settings()) {
    server_.reset();  // before its store's folder is opened again
    server_ = std::make_unique<ApiServer>(dataDir_.path(), settings, std::move(limits));
    gate_ = &server_->gate();
    port_ = server_->port();
    ASSERT_GT(port_, 0);
  }

  static ApiSettings Settings() {
    ApiSettings settings;
    settings.keys = {"good-key", "other-key"};
    settings.maxBodyBytes = kTestBodyLimit;
    settings.maxAudioSeconds = 2;
    return settings;
  }

  // Ends the server and the store; a test may Stop and Start again.
  void Stop() { server_->Stop(); }

  RawReply Upload(const std::string& target, const std::string& wav, const std::string& key) {
    return SendRaw(port_, UploadRequest(target, UploadBody(kLibraryBoundary, wav, key)));
  }

  // The job's result once finished, or its last reply after five seconds.
  RawReply WaitForResult(const std::string& id) {
    return testing::WaitForResult(port_, "/1/api/async/job/" + id + "/result", "good-key", std::chrono::seconds(5));
  }

  const std::string wav_ = MakeWav(44100, 1, 16, std::vector<std::int16_t>(4410, 100));
  TempDir dataDir_;
  std::unique_ptr<ApiServer> server_;
  GatedProcessor* gate_ = nullptr;  // the server's
  int port_ = 0;
};

TEST_F(ServiceApi, ProxyFormUploadIsAcceptedAndItsResultServedInBothForms) {
  gate_->Open();
  RawReply reply = Upload(kProxyUploadTarget, wav_, "good-key");
  ASSERT_EQ(reply.status, 202) << reply.body;
  const std::string id = JsonField(reply.body, "jobid");
  ASSERT_EQ(id.size(), 32u);
  EXPECT_EQ(JsonField(reply.body, "status"), "queued");
  const std::string jobUrl = "http://api.ombrivoice.example/1/api/async/job/" + id;
  EXPECT_EQ(JsonField(reply.body, "status_url"), jobUrl);
  EXPECT_EQ(JsonField(reply.body, "result_url"), jobUrl + "/result");
  EXPECT_NE(reply.headers.find("Location: " + jobUrl), std::string::npos);

  RawReply result = WaitForResult(id);
  ASSERT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(JsonField(result.body, "status"), "finished");
  EXPECT_EQ(JsonField(result.body, "text"), std::to_string(wav_.size()) + " bytes");
  RawReply viaProxy = Get(port_, jobUrl + "/result?apikey=good-key");
  EXPECT_EQ(viaProxy.status, 200);
  EXPECT_EQ(viaProxy.body, result.body);
  RawReply status = Get(port_, jobUrl + "?apikey=good-key");
  EXPECT_EQ(status.status, 200);
  EXPECT_EQ(JsonField(status.body, "status"), "finished");
  EXPECT_EQ(JsonField(status.body, "text"), "");  // the status leaves the text to the result
}

TEST_F(ServiceApi, OriginFormUploadIsAcceptedAndResultWaitsWith202) {
  RawReply reply = Upload("/1/api/async/recognizespeech/v1", wav_, "good-key");
  ASSERT_EQ(reply.status, 202) << reply.body;
  const std::string id = JsonField(reply.body, "jobid");
  ASSERT_TRUE(gate_->WaitStarted(1));
  RawReply pending = Get(port_, "/1/api/async/job/" + id + "/result?apikey=good-key");
  EXPECT_EQ(pending.status, 202);
  EXPECT_EQ(JsonField(pending.body, "status"), "running");
  gate_->Open();
  EXPECT_EQ(WaitForResult(id).status, 200);
}

TEST_F(ServiceApi, MalformedUploadsGetAStatusAndAJsonErrorCode) {
  const std::string body = UploadBody(kLibraryBoundary, wav_, "good-key");
  const std::string keyOnly = "--" + std::string(kLibraryBoundary) +
                              "\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\ngood-key\r\n--" +
                              kLibraryBoundary + "--\r\n";
  const std::string fileOnly = body.substr(0, body.find("\r\n--", 100) + 2) + "--" + kLibraryBoundary + "--\r\n";
  std::string notMultipart = UploadRequest(kProxyUploadTarget, body);
  notMultipart.replace(notMultipart.find("multipart/form-data"), 19, "application/octet-stream");
  std::string noBoundary = UploadRequest(kProxyUploadTarget, body);
  noBoundary.replace(noBoundary.find("; boundary="), 11 + std::string(kLibraryBoundary).size(), "");
  // Heads alone: a body left unread when the server closes would reset the connection.
  const std::string head = UploadRequest(kProxyUploadTarget, "");
  auto headWith = [&head](const std::string& lengthLines) {
    std::string changed = head;
    return changed.replace(changed.find("Content-Length: 0\r\n"), 19, lengthLines);
  };
  const std::string badKey = UploadRequest(kProxyUploadTarget, UploadBody(kLibraryBoundary, wav_, "bad-key"));
  auto withRange = [](std::string request, const std::string& range) {
    return request.insert(request.find("\r\n") + 2, "Range: " + range + "\r\n");
  };
  ExpectAnswers(port_, {
      {"no file field", UploadRequest(kProxyUploadTarget, keyOnly), 400, "missing_file"},
      {"no key field", UploadRequest(kProxyUploadTarget, fileOnly), 401, "missing_key"},
      {"bad key", badKey, 401, "bad_key"},
      {"bad key, a Range asked for", withRange(badKey, "bytes=0-5"), 401, "bad_key"},
      {"bad key, a Range past the end", withRange(badKey, "bytes=99999-"), 401, "bad_key"},
      {"a Range that does not parse", withRange(head, "lines=a-b"), 416, "malformed_request"},
      {"not a WAV", UploadRequest(kProxyUploadTarget, UploadBody(kLibraryBoundary, "text", "good-key")), 400,
       "not_wav"},
      {"8-bit WAV", UploadRequest(kProxyUploadTarget, UploadBody(kLibraryBoundary, MakeWav(8000, 1, 8, {1, 2}), "good-key")),
       400, "not_wav"},
      {"other boundary", UploadRequest(kProxyUploadTarget, body, "----999"), 400, "malformed_request"},
      {"truncated body", UploadRequest(kProxyUploadTarget, body.substr(0, body.size() - 20)), 400,
       "malformed_request"},
      {"not multipart", notMultipart, 400, "malformed_request"},
      {"multipart without a boundary", noBoundary, 400, "malformed_request"},
      {"length not a number", headWith("Content-Length: 12x\r\n"), 400, "malformed_request"},
      {"two lengths that differ", headWith("Content-Length: 0\r\nContent-Length: 5\r\n"), 400,
       "malformed_request"},
      {"no length", headWith(""), 411, "length_required"},
      {"chunked", headWith("Transfer-Encoding: chunked\r\n"), 411, "length_required"},
      {"length, then chunked", headWith("Content-Length: 0\r\nTransfer-Encoding: chunked\r\n"), 400,
       "malformed_request"},
      {"chunked with a space before its colon, and a length",
       headWith("Transfer-Encoding : chunked\r\nContent-Length: 0\r\n"), 400, "malformed_request"},
      {"a header line without a colon", headWith("Content-Length: 0\r\nNo colon here\r\n"), 400,
       "malformed_request"},
      {"audio over --max-audio-seconds",
       UploadRequest(kProxyUploadTarget,
                     UploadBody(kLibraryBoundary, MakeWav(4000, 1, 16, std::vector<std::int16_t>(8001, 1)), "good-key")),
       413, "audio_too_long"},
      {"a target over 8 KiB", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414,
       "malformed_request"},
      {"a request line that fills the head", "GET /" + std::string(20000, 'a'), 414, "malformed_request"},
      {"101 header lines", headWith("Content-Length: 0\r\n" + Repeated("A: b\r\n", 101)), 431,
       "malformed_request"},
      {"a header line over 16 KiB", headWith("Content-Length: 0\r\nA: " + std::string(17000, 'b') + "\r\n"), 431,
       "malformed_request"},
  });
}

TEST(ServiceRequestLog, LineHasTheCommonFieldsWithKeysMaskedAndOddBytesEscaped) {
  LoggedRequest request;
  request.client = "127.0.0.1";
  request.method = "GET";
  request.target = "/1/api/async/job/x/result?apikey=secret&b=\"\n&apikey=two";
  request.version = "HTTP/1.1";
  request.status = 202;
  request.bodyBytes = 84;
  request.seconds = 0.0123;
  const std::string line = RequestLogLine(request);
  EXPECT_EQ(line.substr(0, 15), "127.0.0.1 - - [") << line;
  EXPECT_EQ(line.substr(line.find(']')),
            "] \"GET /1/api/async/job/x/result?apikey=*&b=\\x22\\x0A&apikey=* HTTP/1.1\" 202 84 0.012");
  request.bodyBytes = 0;
  request.seconds.reset();
  EXPECT_EQ(RequestLogLine(request).substr(line.find("\" ") + 2), "202 - -");
  request.client.clear();  // a request line that did not parse leaves no address
  EXPECT_EQ(RequestLogLine(request).substr(0, 7), "- - - [");
  // However the query spells the key's name, its value is masked.
  request.target = "/r?api%6Bey=one&APIKEY=two&%61pikey=three&api+key=kept&apikeys=kept&apikey";
  EXPECT_NE(RequestLogLine(request).find("\"GET /r?api%6Bey=*&APIKEY=*&%61pikey=*&api+key=kept&apikeys=kept&apikey "),
            std::string::npos)
      << RequestLogLine(request);
}

TEST_F(ServiceApi, BodyOverTheLimitGets413) {
  const std::string big = MakeWav(16000, 1, 16, std::vector<std::int16_t>(kTestBodyLimit / 2, 1));
  RawReply reply = Upload(kProxyUploadTarget, big, "good-key");
  EXPECT_EQ(reply.status, 413);
  EXPECT_EQ(JsonField(reply.body, "error"), "body_too_large");
}

TEST_F(ServiceApi, JobReadsNeedAValidKeyThatOwnsTheJob) {
  gate_->Open();
  const std::string id = JsonField(Upload(kProxyUploadTarget, wav_, "good-key").body, "jobid");
  const std::string job = "/1/api/async/job/" + id;
  ASSERT_EQ(WaitForResult(id).status, 200);  // the reads below find it done
  struct Case {
    std::string target;
    int status;
    const char* code;
  };
  const Case cases[] = {
      {job, 401, "missing_key"},
      {job + "/result?apikey=wrong", 401, "bad_key"},
      {job + "?apikey=other-key", 404, "unknown_job"},
      {"/1/api/async/job/ffffffffffffffffffffffffffffffff?apikey=good-key", 404, "unknown_job"},
      {"http://api.ombrivoice.example/1/api/async/job/nope/result?apikey=good-key", 404, "unknown_job"},
      {"/1/api/elsewhere", 404, "not_found"},
      {job + "?api%6Bey=good-key", 200, ""},  // the parameter's name is read decoded
      {job + "/result?apikey=good%2Dkey", 200, ""},
      {job + "/other?apikey=good-key", 404, "not_found"},
  };
  for (const Case& c : cases) {
    RawReply reply = Get(port_, c.target);
    EXPECT_EQ(reply.status, c.status) << c.target;
    EXPECT_EQ(JsonField(reply.body, "error"), c.code) << c.target;
  }
}

TEST_F(ServiceApi, JobUrlsAreBuiltOnThePublicUrlWhenOneIsGiven) {
  Stop();
  ApiSettings settings = Settings();
  settings.publicUrl = "https://voice.example.org/speech";
  Start(JobLimits{}, settings);
  RawReply reply = Upload(kProxyUploadTarget, wav_, "good-key");
  ASSERT_EQ(reply.status, 202) << reply.body;
  const std::string jobUrl = "https://voice.example.org/speech/1/api/async/job/" + JsonField(reply.body, "jobid");
  EXPECT_EQ(JsonField(reply.body, "status_url"), jobUrl);
  EXPECT_EQ(JsonField(reply.body, "result_url"), jobUrl + "/result");
  EXPECT_NE(reply.headers.find("Location: " + jobUrl), std::string::npos) << reply.headers;
}

TEST_F(ServiceApi, UploadsArrivingPastTheAddresssShareOfTheDiskGet503) {
  Stop();
  ApiSettings settings = Settings();
  settings.maxArrivingBytes = 64 * 1024;  // 16 KiB for one address
  Start(JobLimits{}, settings);
  gate_->Open();
  const RawReply large = Upload(kProxyUploadTarget, MakeWav(44100, 1, 16, std::vector<std::int16_t>(9000, 100)), "good-key");
  EXPECT_EQ(large.status, 503) << large.body;
  EXPECT_EQ(JsonField(large.body, "error"), "busy");
  EXPECT_EQ(Upload(kProxyUploadTarget, wav_, "good-key").status, 202) << "the refused upload gave back its share";
}

TEST_F(ServiceApi, FullStoreAnswers503UntilAJobIsDoneAndAnotherKeysResultRead) {
  Stop();
  JobLimits limits;
  limits.maxJobs = 1;
  Start(limits);
  const std::string id = JsonField(Upload(kProxyUploadTarget, wav_, "good-key").body, "jobid");
  RawReply full = Upload(kProxyUploadTarget, wav_, "good-key");
  EXPECT_EQ(full.status, 503);
  EXPECT_EQ(JsonField(full.body, "error"), "busy");
  gate_->Release();
  const std::string status = "/1/api/async/job/" + id + "?apikey=good-key";
  for (int i = 0; i < 500 && JsonField(Get(port_, status).body, "status") != "finished"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Upload(kProxyUploadTarget, wav_, "other-key").status, 503) << "another key's result, unread, was dropped";
  ASSERT_EQ(WaitForResult(id).status, 200);  // read: it may make room now
  EXPECT_EQ(Upload(kProxyUploadTarget, wav_, "other-key").status, 202);
}

}  // namespace
}  // namespace ombrivoice::service
