// The upload request's lines and body, checked with GoogleTest expectations.
#include "support/expected_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

const std::string kApiHost = OMBRIVOICE_API_HOST;
const std::string kSiteHost = OMBRIVOICE_SITE_HOST;
const std::string kUploadPath = "/1/api/async/recognizespeech/v1";
const std::string kUploadUserAgent =
    "Mozilla/5.0 (Windows NT 5.1) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/43.0.2357.124 Safari/537.36";

namespace {

const std::string kBlockAccept = "application/json, text/javascript, */*; q=0.01";
const std::string kAcceptedTypesLine = "*/*, application/json, text/javascript";

}  // namespace

std::string TokenOf(const RecordedRequest& request) {
  std::vector<std::string> types = request.Values("Content-Type");
  const std::string prefix = "multipart/form-data; boundary=----";
  if (types.size() != 1 || types[0].rfind(prefix, 0) != 0) return "";
  std::string token = types[0].substr(prefix.size());
  if (token.size() != 19 || token.find_first_not_of("0123456789") != std::string::npos) return "";
  return token;
}

std::string ExpectedBody(const std::string& token, const std::string& wav, const std::string& keyUtf8) {
  return "------" + token +
         "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"wav.wav\"\r\n"
         "Content-Type: audio/wav\r\n\r\n" +
         wav + "\r\n------" + token + "\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n" +
         keyUtf8 + "\r\n------" + token + "--\r\n";
}

void ExpectUploadRequest(const RecordedRequest& request, const std::string& wav,
                           const std::string& keyUtf8, ClientAllowance allowance) {
  std::string token = TokenOf(request);
  ASSERT_FALSE(token.empty()) << "no boundary token in Content-Type";
  std::string body = ExpectedBody(token, wav, keyUtf8);
  EXPECT_EQ(body.size(), 119 + wav.size() + 109 + keyUtf8.size());
  const std::pair<std::string, std::string> lines[] = {
      {"Host", kApiHost},
      {"Connection", "keep-alive"},
      {"Content-Length", std::to_string(body.size())},
      {"Origin", "https://" + kSiteHost},
      {"User-Agent", kUploadUserAgent},
      {"Content-Type", "multipart/form-data; boundary=----" + token},
      {"Referer", "https://" + kSiteHost + "/developer/apis/recognizespeech"},
      {"Accept-Encoding", "gzip, deflate"},
      {"Accept-Language", "en-US,en;q=0.8"},
      {"Pragma", "no-cache"},
  };
  for (const auto& line : lines) {
    EXPECT_EQ(request.Values(line.first), std::vector<std::string>{line.second}) << line.first;
  }
  std::vector<std::string> accepts = request.Values("Accept");
  if (allowance.ownAcceptLine) {
    // The client's own line, from the accepted-type list, may come as well as the block's.
    auto own = std::find(accepts.begin(), accepts.end(), kAcceptedTypesLine);
    if (own != accepts.end()) accepts.erase(own);
  }
  EXPECT_EQ(accepts, std::vector<std::string>{kBlockAccept}) << "Accept";
  EXPECT_TRUE(request.Values("Expect").empty());
  EXPECT_TRUE(request.Values("Transfer-Encoding").empty());
  EXPECT_EQ(request.body.size(), body.size());
  EXPECT_TRUE(request.body == body) << "body differs from head + WAV bytes + tail";
}
