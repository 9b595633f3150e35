// The command line's pure pieces: which result URLs may be polled, how service text is shown on
// a terminal, and how saved replies are read and decoded.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "api_origin.h"
#include "printable.h"
#include "reply_file.h"

namespace {

const std::string kHost = OMBRIVOICE_API_HOST;

TEST(HostResultUrl, OnlyTheApiOriginIsPolled) {
  const std::string origin = ApiOrigin();
  const std::string scheme = origin.substr(0, origin.find(':'));
  const std::string otherScheme = scheme == "http" ? "https" : "http";
  const std::string port = scheme == "http" ? "80" : "443";
  struct Case {
    std::string url;
    bool polled;
  };
  const Case cases[] = {
      {origin + "/1/api/async/job/j1/result", true},
      {origin + ":" + port + "/1/api/async/job/j1/result", true},
      {origin + "?x=1", true},
      {origin, true},
      {otherScheme + "://" + kHost + "/1/api/async/job/j1/result", false},
      {origin + ":8080/1/api/async/job/j1/result", false},
      {origin + ":/1/", false},
      {origin + ".evil.example/1/", false},
      {scheme + "://evil.example/1/api/async/job/j1/result", false},
      {scheme + "://" + kHost + "@evil.example/", false},
      {scheme + "://evil.example#@" + kHost + "/", false},
      {scheme + "://" + kHost + "./", false},
      {scheme + ":/" + kHost + "/", false},
      {"file:///etc/passwd", false},
      {"ftp://" + kHost + "/", false},
      {origin + "/a b", false},
      {origin + "/\x1b[2J", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ForeignUrlProblem(c.url).empty(), c.polled) << c.url;
  }
  EXPECT_EQ(ForeignUrlProblem("HTTP://" + kHost + "/").empty(), scheme == "http") << "scheme and host in any case";
  EXPECT_NE(ForeignUrlProblem("file:///etc/passwd").find("file:///etc/passwd"), std::string::npos);
  EXPECT_EQ(ForeignUrlProblem(origin + "/\x1b[2J").find('\x1b'), std::string::npos) << "the reason is printable";
}

TEST(HostPrintable, ControlsAndBrokenUtf8AreEscapedAndTextKept) {
  struct Case {
    std::string raw, shown;
  };
  const Case cases[] = {
      {"one two three", "one two three"},
      {"\x1b[31mred\x1b[0m", "\\x1B[31mred\\x1B[0m"},
      {"bell\a, line\nbreak\r, tab\t, del\x7f", "bell\\x07, line\\x0Abreak\\x0D, tab\\x09, del\\x7F"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa4", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xa4"},
      {"csi \xc2\x9b" "2J", "csi \\u009B2J"},
      {"raw \x9b" "2J", "raw \\x9B2J"},
      // Bidirectional controls, which would reorder what the terminal shows; their neighbours
      // (U+061B, U+200D, U+202F, U+206A) are kept.
      {"file \xe2\x80\xae" "vaw.exe", "file \\u202Evaw.exe"},
      {"\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9",
       "\\u061C\\u200E\\u200F\\u202A\\u2066\\u2069"},
      {"\xd8\x9b\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xaa", "\xd8\x9b\xe2\x80\x8d\xe2\x80\xaf\xe2\x81\xaa"},
      {"cut \xe2\x82", "cut \\xE2\\x82"},
      {"overlong \xc0\xaf \xe0\x80\xaf", "overlong \\xC0\\xAF \\xE0\\x80\\xAF"},
      {"surrogate \xed\xa0\x80", "surrogate \\xED\\xA0\\x80"},
      {std::string("nul\0end", 7), "nul\\x00end"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Printable(c.raw), c.shown) << c.shown;
  }
}

// Reply files written into a fresh folder, read back through ReadReply.
class HostReplyFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ombrivoice-host-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + folder_ + "'").c_str()); }

  bool Read(const std::string& bytes, std::string* body, std::string* error) {
    const std::string path = folder_ + "/reply";
    std::ofstream(path, std::ios::binary) << bytes;
    return ReadReply(path, body, error);
  }

  std::string folder_;
};

// text compressed with zlib's deflate in the wrapper window asks for (see inflateInit2).
std::string Deflated(const std::string& text, int window) {
  z_stream stream{};
  deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, window, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  stream.avail_in = static_cast<uInt>(text.size());
  stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
  stream.avail_out = static_cast<uInt>(out.size());
  deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

TEST_F(HostReplyFile, PlainAndCodedRepliesAreReadAndOversizedOnesRefused) {
  const std::string json = R"({"jobid":"j1","status":"queued"})";
  const std::string big(kMaxReplyBytes + 1, ' ');
  struct Case {
    const char* what;
    std::string bytes;
    bool read;
    std::string body;  // when read, else the reason
  };
  const Case cases[] = {
      {"plain", json, true, json},
      {"plain with spaces before", "\r\n " + json, true, "\r\n " + json},
      {"gzip", Deflated(json, 16 + MAX_WBITS), true, json},
      {"zlib deflate", Deflated(json, MAX_WBITS), true, json},
      {"raw deflate", Deflated(json, -MAX_WBITS), true, json},
      {"neither JSON nor coded", "<html>busy</html>", true, "<html>busy</html>"},
      {"empty", "", true, ""},
      {"exactly the limit", std::string(kMaxReplyBytes, ' '), true, std::string(kMaxReplyBytes, ' ')},
      {"over the limit", big, false, kReplyTooLarge},
      {"gzip over the limit once decoded", Deflated(big, 16 + MAX_WBITS), false, kReplyTooLarge},
      {"raw deflate over the limit once decoded", Deflated(big + "x", -MAX_WBITS), false, kReplyTooLarge},
      {"gzip cut short", Deflated(json, 16 + MAX_WBITS).substr(0, 12), false, "the reply is gzip data that does not decode"},
  };
  for (const Case& c : cases) {
    std::string body, error;
    EXPECT_EQ(Read(c.bytes, &body, &error), c.read) << c.what;
    EXPECT_EQ(c.read ? body : error, c.body) << c.what;
  }
  std::string body, error;
  EXPECT_FALSE(ReadReply(folder_ + "/missing", &body, &error));
}

TEST(HostReplyDepth, BracketsCountOnlyOutsideStrings) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(JsonNestingDepth(R"({"jobid":"j1","facts":{"rate":[1,2]}})", kMaxReplyDepth), 3u);
  EXPECT_EQ(JsonNestingDepth(R"({"text":"[[[[ \"{{{{ ]]]] "})", kMaxReplyDepth), 1u);
  EXPECT_EQ(JsonNestingDepth("{\"a\":" + deep + "}", kMaxReplyDepth), kMaxReplyDepth + 1);  // stops past the limit
  EXPECT_EQ(JsonNestingDepth("7", kMaxReplyDepth), 0u);
}

}  // namespace
