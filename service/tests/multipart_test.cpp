// The multipart reader on the library's exact body and on the ways a body goes wrong.
#include <gtest/gtest.h>

#include "service/multipart.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using testing::kLibraryBoundary;
using testing::UploadBody;

// count parts named "p" of one byte each, without the closing delimiter.
std::string Parts(std::size_t count) {
  std::string body;
  for (std::size_t i = 0; i < count; ++i) body += "--b\r\nContent-Disposition: form-data; name=p\r\n\r\nx\r\n";
  return body;
}

// What a streaming read tells, as text: "[name]" at each part, then its data.
class Transcript : public FormEvents {
 public:
  void OnPart(const FormPart& part, std::uint64_t) override { text += "[" + part.name + "]"; }
  bool OnData(std::string_view bytes, std::uint64_t) override {
    text.append(bytes);
    return true;
  }
  std::string text;
};

TEST(ServiceMultipart, AFormReadInPiecesOfAnySizeGivesTheSamePartsAndTheCapHolds) {
  const std::string wav = std::string("RIFF\0\r\n--", 9) + "\r\n-" + std::string(300, 'w');
  const std::string body = "preamble\r\n" + UploadBody(kLibraryBoundary, wav, "secret key");
  for (std::size_t piece = 1; piece <= 97; piece += 8) {
    Transcript events;
    MultipartStream stream(kLibraryBoundary, events);
    for (std::size_t at = 0; at < body.size(); at += piece) ASSERT_TRUE(stream.Feed(body.substr(at, piece))) << piece;
    ASSERT_TRUE(stream.Finish()) << piece << ": " << stream.error();
    EXPECT_EQ(events.text, "[file]" + wav + "[apikey]secret key") << "pieces of " << piece;
  }
  EXPECT_TRUE(ParseMultipart(Parts(kMaxFormParts) + "--b--", "b").ok);
}

TEST(ServiceMultipart, BoundaryIsReadFromContentTypeQuotedOrNot) {
  EXPECT_EQ(BoundaryFromContentType("multipart/form-data; boundary=----1234567890123456789"),
            "----1234567890123456789");
  EXPECT_EQ(BoundaryFromContentType("Multipart/Form-Data; charset=utf-8; BOUNDARY=\"a b;c\""), "a b;c");
  EXPECT_FALSE(BoundaryFromContentType("multipart/form-data"));
  EXPECT_FALSE(BoundaryFromContentType("multipart/form-data; boundary="));
  EXPECT_FALSE(BoundaryFromContentType("application/json; boundary=x"));
  EXPECT_FALSE(BoundaryFromContentType("multipart/form-data; boundary=" + std::string(71, 'x')));
}

TEST(ServiceMultipart, LibraryBodyGivesFileAndKeyWithExactBytes) {
  const std::string wav = std::string("RIFF\0\r\n--", 9) + "\r\n-";  // bytes that resemble delimiters
  const std::string body = UploadBody(kLibraryBoundary, wav, "secret key");
  MultipartResult form = ParseMultipart(body, kLibraryBoundary);
  ASSERT_TRUE(form.ok) << form.error;
  ASSERT_EQ(form.parts.size(), 2u);
  EXPECT_EQ(form.parts[0].name, "file");
  EXPECT_EQ(form.parts[0].filename, "wav.wav");
  EXPECT_EQ(form.parts[0].contentType, "audio/wav");
  EXPECT_EQ(form.parts[0].data, wav);
  ASSERT_NE(FindPart(form.parts, "apikey"), nullptr);
  EXPECT_EQ(FindPart(form.parts, "apikey")->data, "secret key");
  EXPECT_EQ(FindPart(form.parts, "other"), nullptr);
}

TEST(ServiceMultipart, PreambleAndEmptyPartAreAccepted) {
  const std::string body = "preamble\r\n--b\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\n\r\n--b--";
  MultipartResult form = ParseMultipart(body, "b");
  ASSERT_TRUE(form.ok) << form.error;
  ASSERT_EQ(form.parts.size(), 1u);
  EXPECT_EQ(form.parts[0].data, "");
}

TEST(ServiceMultipart, MalformedBodiesFailWithAReason) {
  const std::string good = UploadBody("b", "WAVDATA", "k");
  struct Case {
    const char* what;
    std::string body;
    std::string boundary;
  };
  const Case cases[] = {
      {"other boundary", good, "c"},
      {"no delimiter at all", "just text", "b"},
      {"cut in first headers", "--b\r\nContent-Disposition: form-data; name=\"file\"", "b"},
      {"cut in file data", good.substr(0, good.find("WAVDATA") + 3), "b"},
      {"no closing delimiter", good.substr(0, good.size() - 4), "b"},
      {"garbage after delimiter", "--bX\r\n\r\n", "b"},
      {"part without disposition", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--", "b"},
      {"disposition without name", "--b\r\nContent-Disposition: form-data\r\n\r\nx\r\n--b--", "b"},
      // A part with no header lines must not take a name from its own data.
      {"part without headers", "--b\r\n\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\nx\r\n--b--", "b"},
      // Headers that never end must not run on into the next part and borrow its data.
      {"more parts than the cap", Parts(kMaxFormParts + 1) + "--b--", "b"},
      {"part headers over their limit",
       "--b\r\nContent-Disposition: form-data; name=\"file\"\r\nX: " + std::string(kMaxPartHeadBytes, 'a') +
           "\r\n\r\nx\r\n--b--", "b"},
      {"headers run into the next part",
       "--b\r\nContent-Disposition: form-data; name=\"file\"\r\n--b\r\n"
       "Content-Disposition: form-data; name=\"apikey\"\r\n\r\nk\r\n--b--", "b"},
  };
  for (const Case& c : cases) {
    MultipartResult form = ParseMultipart(c.body, c.boundary);
    EXPECT_FALSE(form.ok) << c.what;
    EXPECT_FALSE(form.error.empty()) << c.what;
  }
}

TEST(ServiceMultipart, EveryTruncationOfTheLibraryBodyFailsCleanly) {
  const std::string body = UploadBody(kLibraryBoundary, "RIFFxxxxWAVE", "key");
  const std::size_t closing = body.rfind("--\r\n");  // the final "--" makes the body complete
  for (std::size_t length = 0; length < closing + 2; ++length) {
    std::string cut = body.substr(0, length);  // its own buffer, so overreads show under ASan
    EXPECT_FALSE(ParseMultipart(cut, kLibraryBoundary).ok) << "length " << length;
  }
}

}  // namespace
}  // namespace ombrivoice::service
