// The library's real upload against the service through the proxy route: the reply it saves
// is the service's job reference, and the job yields the spoken phrase.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "TolvexOmbriVoice.h"
#include "support/common/service_runner.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;


std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

TEST(ServiceWithLibrary, UploadThroughTheProxyIsTranscribed) {
  const std::string spoken = SpeakPhrase();
  ASSERT_FALSE(spoken.empty()) << "flite could not speak the phrase: install the Debian package flite";
  TempDir folder;
  const std::string wavPath = folder.path() + "/wav.wav";
  const std::string replyPath = folder.path() + "/reply.json";
  std::ofstream(wavPath, std::ios::binary) << spoken;

  ServiceRunner service({"--key", "library-key", "--port", "0"});
  ASSERT_GT(service.port(), 0) << service.firstLine();
  const std::string proxy = "http://127.0.0.1:" + std::to_string(service.port());
  setenv("http_proxy", proxy.c_str(), 1);
  const int32_t code = OmbriVoice(Utf16(wavPath).c_str(), u"library-key", Utf16(replyPath).c_str());
  unsetenv("http_proxy");
  ASSERT_EQ(code, OMBRIVOICE_OK);

  const std::string reply = ReadFile(replyPath);
  EXPECT_EQ(JsonField(reply, "status"), "queued") << reply;
  const std::string resultUrl = JsonField(reply, "result_url");
  ASSERT_EQ(resultUrl.rfind("http://" OMBRIVOICE_API_HOST "/1/api/async/job/", 0), 0u) << reply;
  RawReply result = WaitForResult(service.port(), resultUrl, "library-key");
  EXPECT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(JsonField(result.body, "text"), kPhrase) << result.body;
  EXPECT_EQ(service.StopWith(SIGTERM), 0);
}

}  // namespace
}  // namespace ombrivoice::service
