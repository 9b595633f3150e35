// Bad input to the download (and to a transfer that would write over the file it reads): URLs
// with odd characters or that cannot be named exactly, local paths of every UTF-16 shape, empty
// and over-long, folders and unwritable places. Each gets its defined code, nothing reaches the
// wire that should not, and nothing already on disk that the call did not own is touched. The
// upload's bad input is in upload_input_test.cpp.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/loopback_server.h"
#include "support/test_files.h"
#include "support/transfer_cases.h"

namespace {

class HardeningInput : public HostileInputTest {};

// %XX escapes decoded.
std::string PercentDecoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

// Control characters are refused before any connection. A space in the path or query goes out
// as %20 (an escape already there is not escaped again). Other characters go out as given or
// percent-encoded (libcurl encodes non-ASCII in the path but not in the query), never as a
// control byte or a space, and no URL adds a header line or a second request.
TEST_F(HardeningInput, UrlsWithOddCharactersNeverInjectAHeaderLine) {
  const struct {
    std::u16string suffix;  // after "http://127.0.0.1:PORT"
    std::string target;     // the request target sent, percent-decoded; empty: refused with 2
  } cases[] = {
      {u"/a\r\nX-Injected: 1", ""},
      {u"/a?q=1\r\nX-Injected: 1\r\n\r\nGET /second HTTP/1.1", ""},
      {u"/a\nX-Injected: 1", ""},
      {u"/a\rX-Injected: 1", ""},
      {u"/a#x\r\nX-Injected: 1", ""},
      {u"\r\nX-Injected: 1\r\n/a", ""},
      {u"/a b HTTP/1.0\r\nX-Injected: 1", ""},
      {u"/a\tb", ""},
      {u"/a\u007fb", ""},
      {u"/a%0D%0AX-Injected:%201", "/a\r\nX-Injected: 1"},
      {u"/a%00b", std::string("/a\0b", 4)},
      {u"/ü/日本?q=😀", "/ü/日本?q=😀"},
      {u"/my file.txt?q=a b#c d", "/my file.txt?q=a b"},
      {u"/a%20b c", "/a b c"},
      {u"/" + std::u16string(20000, u'p'), "/" + std::string(20000, 'p')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 40));
    LoopbackServer server(HttpReply(200, "body"));
    std::u16string url = Utf16("http://127.0.0.1:" + std::to_string(server.port())) + c.suffix;
    WriteBytes(dir.File("out"), kKept);
    int32_t code = OmbriVoiceFileDownload(url.c_str(), Utf16(dir.File("out")).c_str());
    if (c.target.empty()) {
      EXPECT_EQ(code, OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
      EXPECT_EQ(server.Connections(), 0);
      EXPECT_EQ(ReadBytes(dir.File("out")), kKept);
      continue;
    }
    EXPECT_EQ(code, OMBRIVOICE_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), "body");
    ASSERT_EQ(server.Requests().size(), 1u);
    RecordedRequest request = ParseRequest(server.Requests()[0]);
    std::string line = request.requestLine;
    ASSERT_EQ(line.substr(0, 4), "GET ");
    ASSERT_GE(line.size(), 13u);
    ASSERT_EQ(line.substr(line.size() - 9), " HTTP/1.1");
    std::string target = line.substr(4, line.size() - 13);
    EXPECT_TRUE(PercentDecoded(target) == c.target) << target.substr(0, 80);
    auto control = [](char byte) { return static_cast<unsigned char>(byte) <= 0x20 || byte == 0x7f; };
    EXPECT_TRUE(std::none_of(target.begin(), target.end(), control)) << target.substr(0, 80);
    EXPECT_EQ(request.headerLines, (std::vector<std::string>{"Host: 127.0.0.1:" + std::to_string(server.port()),
                                                             "User-Agent: FTP_to_AIX"}));
  }
}

// A URL that is not valid UTF-16, a host with a space, or a file URL whose decoded path would
// hold a NUL or a line break or names no regular file whose size is its length, opens nothing:
// the file before the NUL is not read, a FIFO is not waited on.
TEST_F(HardeningInput, UrlsThatCannotBeNamedExactlyOpenNothing) {
  WriteBytes(dir.File("secret"), "local only");
  LoopbackServer server(HttpReply(200, "body"));
  std::vector<std::u16string> urls = LoneSurrogates(Utf16("http://127.0.0.1:" + std::to_string(server.port()) + "/a"));
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const std::string& url : {"file://" + dir.File("secret") + "%00.txt", "file://" + dir.File("secret%0A"),
                                 "file://" + dir.File("sec%00ret"), "file://" + dir.File("folder"),
                                 "file://" + dir.File("fifo"), std::string("file:///dev/zero"),
                                 std::string("file:///proc/self/status"),
                                 "http://127.0.0 .1:" + std::to_string(server.port()) + "/a"}) {
    urls.push_back(Utf16(url));
  }
  urls.push_back(Append(Utf16("file://" + dir.File("secret")), {0xD800}));
  for (const std::u16string& url : urls) {
    SCOPED_TRACE(url.size());
    WriteBytes(dir.File("out"), kKept);
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), Utf16(dir.File("out")).c_str()), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_EQ(ReadBytes(dir.File("out")), kKept);
  }
  EXPECT_EQ(server.Connections(), 0);
  ExpectSetUpIntact();
}

// Once the URL is open, a local path that cannot be created gives 3 (or 5 where the system
// lets root open a file it cannot write) and changes nothing else; no name is made up.
TEST_F(HardeningInput, LocalPathsThatCannotBeCreatedGiveThreeAndTouchNothing) {
  WriteBytes(dir.File("a"), kKept);
  std::vector<std::u16string> paths = {u"", Utf16(dir.File("folder")), Utf16(dir.File("plain/child")),
                                       Utf16(dir.File("missing/child")), Utf16(dir.File(std::string(256, 'n'))),
                                       Utf16(dir.path() + "/" + std::string(5000, 'x')), Utf16(PathOfLength(dir.path(), 4096)),
                                       Utf16("/proc/ombrivoice-new-file")};
  for (const std::u16string& path : LoneSurrogates(Utf16(dir.File("a")))) paths.push_back(path);
  std::set<std::string> before = Listing(dir.path());
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    LoopbackServer server(HttpReply(200, "body"));
    std::u16string url = Utf16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), path.c_str()), OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
  }
  LoopbackServer server(HttpReply(200, "body"));
  std::u16string url = Utf16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
  int32_t code = OmbriVoiceFileDownload(url.c_str(), u"/proc/version");
  EXPECT_TRUE(code == OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED || code == OMBRIVOICE_DOWNLOAD_WRITE_FAILED) << code;
  EXPECT_EQ(Listing(dir.path()), before);
  EXPECT_EQ(ReadBytes(dir.File("a")), kKept);
  ExpectSetUpIntact();
}

// A file:// download onto the very file it reads (by its name, a symbolic link or a hard link)
// gives 3 and leaves the file as it was; so does an upload's reply path naming its own WAV file
// (12, after sending). A local path that is a device still takes the body, as before.
TEST_F(HardeningInput, ATransferNeverWritesOverTheFileItReads) {
  ASSERT_EQ(symlink(dir.File("a.wav").c_str(), dir.File("symbolic").c_str()), 0);
  ASSERT_EQ(link(dir.File("a.wav").c_str(), dir.File("hard").c_str()), 0);
  const std::u16string url = Utf16("file://" + dir.File("a.wav"));
  for (const char* name : {"a.wav", "symbolic", "hard"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), Utf16(dir.File(name)).c_str()), OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    EXPECT_EQ(Upload(Utf16(dir.File("a.wav")), u"key", Utf16(dir.File(name))), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
  }
  ExpectSetUpIntact();
  EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), u"/dev/null"), OMBRIVOICE_OK);
}

TEST_F(HardeningInput, LocalPathsOfAnyTextAreCreatedAsTheirUtf8Names) {
  LoopbackServer server(HttpReply(200, "body"));
  std::u16string url = Utf16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
  const std::string names[] = {"результат 日本 😀.json", "e\xCC\x81", "\xC3\xA9", " ", "new\nline", "--"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(OmbriVoiceFileDownload(url.c_str(), Utf16(dir.File(name)).c_str()), OMBRIVOICE_OK);
    EXPECT_EQ(ReadBytes(dir.File(name)), "body");
  }
  std::set<std::string> expected = {".", "..", "a.wav", "plain", "folder"};
  expected.insert(std::begin(names), std::end(names));
  EXPECT_EQ(Listing(dir.path()), expected);  // "e" + U+0301 and U+00E9 stay two files
}
