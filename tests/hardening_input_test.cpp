// Bad input to the upload and the download: text of every UTF-16 shape in keys, paths and URLs,
// empty and over-long strings, folders and unwritable places where files should be. Each gets
// its defined code, nothing reaches the wire that should not, and nothing already on disk that
// the call did not own is touched.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/loopback_server.h"
#include "support/test_files.h"

namespace {

const std::string kApiHost = OMBRIVOICE_API_HOST;
const std::string kReplyBody = "{\"jobID\":\"j-1\"}";
const std::string kKept = "bytes the call does not own";

// Names in a folder.
std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  DIR* opened = opendir(folder.c_str());
  while (dirent* entry = opened != nullptr ? readdir(opened) : nullptr) names.insert(entry->d_name);
  if (opened != nullptr) closedir(opened);
  return names;
}

// Modification time in nanoseconds, 0 when the file does not exist.
long long ModifiedAt(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;
  return status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
}

std::u16string Append(std::u16string text, std::initializer_list<char16_t> units) {
  text.append(units);
  return text;
}

// UTF-16 texts that are not valid UTF-16: each holds a surrogate without its partner.
std::vector<std::u16string> LoneSurrogates(const std::u16string& prefix) {
  return {Append(prefix, {0xD800}), Append(prefix, {0xD83D, u'a'}), Append(prefix, {0xDE00}),
          Append(prefix, {0xDE00, 0xD83D}), Append(prefix, {0xD83D, 0xD83D, 0xDE00, u'x'})};
}

// A path of exactly length bytes under folder, made of nested folders of 200-byte names that
// exist, ending in a file name (which is not created).
std::string PathOfLength(const std::string& folder, size_t length) {
  std::string path = folder;
  while (length - path.size() > 255) {
    path += "/" + std::string(199, 'd');
    mkdir(path.c_str(), 0755);
  }
  return path + "/" + std::string(length - path.size() - 1, 'f');
}

class HardeningInput : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_DFL);
    for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY",
                             "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
      unsetenv(name);
    }
    HttpClientTimeoutsForTesting(0, 0);
    wav = PatternBytes(3000, 11);
    WriteBytes(dir.File("a.wav"), wav);
    WriteBytes(dir.File("plain"), kKept);
    mkdir(dir.File("folder").c_str(), 0755);
    WriteBytes(dir.File("folder/inside"), kKept);
  }
  void TearDown() override { HttpClientConnectToForTesting(nullptr); }
  void Direct(const LoopbackServer& server) { HttpClientConnectToForTesting(server.ConnectTo(kApiHost).c_str()); }
  int32_t Upload(const std::u16string& wavPath, const std::u16string& key, const std::u16string& reply) {
    return OmbriVoice(wavPath.c_str(), key.c_str(), reply.c_str());
  }
  // The files the tests set up are all still there as they were.
  void ExpectSetUpIntact() {
    EXPECT_TRUE(ReadBytes(dir.File("a.wav")) == wav);
    EXPECT_EQ(ReadBytes(dir.File("plain")), kKept);
    EXPECT_EQ(ReadBytes(dir.File("folder/inside")), kKept);
    EXPECT_EQ(Listing(dir.File("folder")), (std::set<std::string>{".", "..", "inside"}));
  }
  TempDir dir;
  std::string wav;
};

// The apikey field as the body must end: key, closing delimiter.
std::string TailWithKey(const RecordedRequest& request, const std::string& keyUtf8) {
  std::string types = request.Values("Content-Type").at(0);
  std::string token = types.substr(types.find("boundary=----") + 13);
  return "name=\"apikey\"\r\n\r\n" + keyUtf8 + "\r\n------" + token + "--\r\n";
}

}  // namespace

// The limit is 890 bytes of UTF-8, whatever width the characters have: one byte under, at and
// over it for characters of 1 to 4 bytes (the 4-byte ones are surrogate pairs in UTF-16). A key
// with a CR or LF is refused whatever its length.
TEST_F(HardeningInput, KeysOfAnyTextGoOutAsUtf8UpTo890Bytes) {
  auto repeat = [](const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
  };
  const std::vector<std::string> fitting = {
      "", "ключ-ÄÖÜ-日本語-😀🎤", "e\xCC\x81 combining", "tab\tand\x01controls", "quote\" back\\slash",
      std::string(890, 'a'), repeat("é", 445), repeat("€", 296) + "ab", repeat("😀", 222) + "ab"};
  // Too long, or holding a line break that would end the apikey field and start fields of its own.
  const std::vector<std::string> refusedKeys = {
      std::string(891, 'a'), repeat("é", 445) + "a", repeat("€", 296) + "abc", repeat("😀", 223),
      repeat("😀", 222) + "abc", repeat("€", 297), "k\r\nX-Injected: 1\r\n\r\n--",
      "k\r\n------1\r\nContent-Disposition: form-data; name=\"apikey\"\r\n\r\nforged", "k\r", "\nk", "\r\n"};
  for (const std::string& key : fitting) {
    SCOPED_TRACE(key.substr(0, 40) + " (" + std::to_string(key.size()) + " bytes)");
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    ASSERT_EQ(Upload(U16(dir.File("a.wav")), U16(key), U16(dir.File("reply"))), OMBRIVOICE_OK);
    RecordedRequest request = ParseRequest(server.Requests().at(0));
    std::string tail = TailWithKey(request, key);
    ASSERT_GE(request.body.size(), tail.size());
    EXPECT_EQ(request.body.substr(request.body.size() - tail.size()), tail);
    EXPECT_TRUE(request.Values("X-Injected").empty());
    EXPECT_EQ(request.Values("Content-Length"), std::vector<std::string>{std::to_string(request.body.size())});
  }
  LoopbackServer server(HttpReply(202, kReplyBody));
  Direct(server);
  std::vector<std::u16string> refused;
  for (const std::string& key : refusedKeys) refused.push_back(U16(key));
  for (const std::u16string& key : LoneSurrogates(u"key")) refused.push_back(key);
  for (const std::u16string& key : refused) {
    SCOPED_TRACE(key.size());
    EXPECT_EQ(Upload(U16(dir.File("a.wav")), key, U16(dir.File("refused"))), OMBRIVOICE_UPLOAD_KEY_INVALID);
  }
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_FALSE(FileExists(dir.File("refused")));
  ExpectSetUpIntact();
}

// A WAV path that cannot name a readable file gives 1 before any connection: it never falls
// back to a file of a similar name (the text before a lone surrogate, or with U+FFFD for it).
// Nor is a file taken whose size is not its length, which would be sent as an empty file part:
// a FIFO (refused at once, not waited on for a writer), a device, a /proc file.
TEST_F(HardeningInput, WavPathsThatNameNoReadableFileGiveOne) {
  WriteBytes(dir.File("a"), "RIFF");
  WriteBytes(dir.File("a\xEF\xBF\xBD"), "RIFF");  // "a" and U+FFFD
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  std::vector<std::u16string> paths = {u"", U16(dir.File("missing.wav")), U16(dir.File("folder")),
                                       U16(dir.File("plain/child.wav")), U16(dir.File(std::string(256, 'n'))),
                                       U16(dir.path() + "/" + std::string(5000, 'x')), U16("/proc/nonexistent"),
                                       U16(dir.File("fifo")), u"/dev/zero", u"/dev/urandom", u"/proc/self/status"};
  for (const std::u16string& path : LoneSurrogates(U16(dir.File("a")))) paths.push_back(path);
  LoopbackServer server(HttpReply(202, kReplyBody));
  Direct(server);
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    EXPECT_EQ(Upload(path, u"key", U16(dir.File("reply"))), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  }
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_FALSE(FileExists(dir.File("reply")));
  ExpectSetUpIntact();
}

// Paths are UTF-8 on disk, up to the longest the system takes (4095 bytes and the NUL).
TEST_F(HardeningInput, WavPathsOfAnyTextAndUpToTheSystemLimitAreSent) {
  const std::string unusual[] = {dir.File("запись 日本 😀.wav"), dir.File(" leading space"), dir.File("new\nline"),
                                 dir.File("-dash"), PathOfLength(dir.path(), 4095)};
  for (const std::string& path : unusual) {
    SCOPED_TRACE(path.substr(0, 60) + " (" + std::to_string(path.size()) + " bytes)");
    WriteBytes(path, "RIFF-" + path.substr(path.size() - 10));
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    ASSERT_EQ(Upload(U16(path), u"key", U16(dir.File("reply"))), OMBRIVOICE_OK);
    EXPECT_NE(server.Requests().at(0).find("RIFF-" + path.substr(path.size() - 10)), std::string::npos);
    EXPECT_EQ(ReadBytes(dir.File("reply")), kReplyBody);
  }
  std::string tooLong = PathOfLength(dir.path(), 4096);
  LoopbackServer server(HttpReply(202, kReplyBody));
  Direct(server);
  EXPECT_EQ(Upload(U16(tooLong), u"key", U16(dir.File("r2"))), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
}

// After the request went out whole, a reply path that cannot be written gives 12 and leaves
// what is there alone; the WAV file is never written to.
TEST_F(HardeningInput, ReplyPathsThatCannotBeWrittenGiveTwelveAndTouchNothing) {
  long long wavModified = ModifiedAt(dir.File("a.wav"));
  std::vector<std::u16string> paths = {u"", U16(dir.File("folder")), U16(dir.File("plain/child")),
                                       U16(dir.File("missing/child")), U16(dir.File(std::string(256, 'n'))),
                                       U16(dir.path() + "/" + std::string(5000, 'x')), U16("/proc/version"),
                                       U16("/proc/ombrivoice-new-file"), u"/dev/full"};
  for (const std::u16string& path : LoneSurrogates(U16(dir.File("plain")))) paths.push_back(path);
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    EXPECT_EQ(Upload(U16(dir.File("a.wav")), u"key", path), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    EXPECT_EQ(ParseRequest(server.Requests()[0]).body.find(wav) != std::string::npos, true);
  }
  ExpectSetUpIntact();
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{".", "..", "a.wav", "plain", "folder"}));
  EXPECT_EQ(ModifiedAt(dir.File("a.wav")), wavModified);
}

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
    std::u16string url = U16("http://127.0.0.1:" + std::to_string(server.port())) + c.suffix;
    WriteBytes(dir.File("out"), kKept);
    int32_t code = OmbriVoiceFileDownload(url.c_str(), U16(dir.File("out")).c_str());
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
  std::vector<std::u16string> urls = LoneSurrogates(U16("http://127.0.0.1:" + std::to_string(server.port()) + "/a"));
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  for (const std::string& url : {"file://" + dir.File("secret") + "%00.txt", "file://" + dir.File("secret%0A"),
                                 "file://" + dir.File("sec%00ret"), "file://" + dir.File("folder"),
                                 "file://" + dir.File("fifo"), std::string("file:///dev/zero"),
                                 std::string("file:///proc/self/status"),
                                 "http://127.0.0 .1:" + std::to_string(server.port()) + "/a"}) {
    urls.push_back(U16(url));
  }
  urls.push_back(Append(U16("file://" + dir.File("secret")), {0xD800}));
  for (const std::u16string& url : urls) {
    SCOPED_TRACE(url.size());
    WriteBytes(dir.File("out"), kKept);
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), U16(dir.File("out")).c_str()), OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED);
    EXPECT_EQ(ReadBytes(dir.File("out")), kKept);
  }
  EXPECT_EQ(server.Connections(), 0);
  ExpectSetUpIntact();
}

// Once the URL is open, a local path that cannot be created gives 3 (or 5 where the system
// lets root open a file it cannot write) and changes nothing else; no name is made up.
TEST_F(HardeningInput, LocalPathsThatCannotBeCreatedGiveThreeAndTouchNothing) {
  WriteBytes(dir.File("a"), kKept);
  std::vector<std::u16string> paths = {u"", U16(dir.File("folder")), U16(dir.File("plain/child")),
                                       U16(dir.File("missing/child")), U16(dir.File(std::string(256, 'n'))),
                                       U16(dir.path() + "/" + std::string(5000, 'x')), U16(PathOfLength(dir.path(), 4096)),
                                       U16("/proc/ombrivoice-new-file")};
  for (const std::u16string& path : LoneSurrogates(U16(dir.File("a")))) paths.push_back(path);
  std::set<std::string> before = Listing(dir.path());
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    LoopbackServer server(HttpReply(200, "body"));
    std::u16string url = U16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), path.c_str()), OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
  }
  LoopbackServer server(HttpReply(200, "body"));
  std::u16string url = U16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
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
  const std::u16string url = U16("file://" + dir.File("a.wav"));
  for (const char* name : {"a.wav", "symbolic", "hard"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), U16(dir.File(name)).c_str()), OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED);
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    EXPECT_EQ(Upload(U16(dir.File("a.wav")), u"key", U16(dir.File(name))), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
  }
  ExpectSetUpIntact();
  EXPECT_EQ(OmbriVoiceFileDownload(url.c_str(), u"/dev/null"), OMBRIVOICE_OK);
}

TEST_F(HardeningInput, LocalPathsOfAnyTextAreCreatedAsTheirUtf8Names) {
  LoopbackServer server(HttpReply(200, "body"));
  std::u16string url = U16("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
  const std::string names[] = {"результат 日本 😀.json", "e\xCC\x81", "\xC3\xA9", " ", "new\nline", "--"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ASSERT_EQ(OmbriVoiceFileDownload(url.c_str(), U16(dir.File(name)).c_str()), OMBRIVOICE_OK);
    EXPECT_EQ(ReadBytes(dir.File(name)), "body");
  }
  std::set<std::string> expected = {".", "..", "a.wav", "plain", "folder"};
  expected.insert(std::begin(names), std::end(names));
  EXPECT_EQ(Listing(dir.path()), expected);  // "e" + U+0301 and U+00E9 stay two files
}
