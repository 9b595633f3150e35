// Bad input to the recognition upload: keys and paths of every UTF-16 shape, empty and
// over-long strings, WAV files too large to send, folders and unwritable places where files
// should be. Each gets its defined code before any connection when it can, nothing reaches the
// wire that should not, and nothing already on disk that the call did not own is touched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/test_files.h"
#include "support/transfer_cases.h"

namespace {

class UploadInput : public HostileInputTest {};

// The apikey field as the body must end: key, closing delimiter.
std::string TailWithKey(const RecordedRequest& request, const std::string& keyUtf8) {
  std::string types = request.Values("Content-Type").at(0);
  std::string token = types.substr(types.find("boundary=----") + 13);
  return "name=\"apikey\"\r\n\r\n" + keyUtf8 + "\r\n------" + token + "--\r\n";
}

}  // namespace

TEST_F(UploadInput, RefusesBadInputBeforeAnyConnection) {
  LoopbackServer server(kJsonReply);
  Direct(server);
  WriteBytes(dir.File("a.wav"), PatternBytes(100));
  EXPECT_EQ(Run(dir.File("missing.wav"), "k", dir.File("r1")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run(dir.path(), "k", dir.File("r2")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run("", "k", dir.File("r3")), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  EXPECT_EQ(Run(dir.File("a.wav"), std::string(891, 'k'), dir.File("r4")), OMBRIVOICE_UPLOAD_KEY_INVALID);
  const char16_t loneSurrogate[] = {u'k', 0xDC01, 0};
  EXPECT_EQ(OmbriVoice(Utf16(dir.File("a.wav")).c_str(), loneSurrogate, Utf16(dir.File("r5")).c_str()),
            OMBRIVOICE_UPLOAD_KEY_INVALID);

  // WAV sizes that would take the body past 2147483647 bytes with the key "k" (119 bytes of
  // head, 110 of tail): one byte too many, 4 GiB, and 4 GiB and a kilobyte, which a 32-bit size
  // would read as 0 and 1024. Sparse files: nothing of them is written.
  const uint64_t kLargestWav = 2147483647 - 119 - 110;
  for (uint64_t size : {kLargestWav + 1, uint64_t{1} << 32, (uint64_t{1} << 32) + 1024}) {
    SCOPED_TRACE("WAV of " + std::to_string(size) + " bytes");
    SparseFile(dir.File("large.wav"), size);
    EXPECT_EQ(Run(dir.File("large.wav"), "k", dir.File("r6")), OMBRIVOICE_UPLOAD_WAV_SIZE_INVALID);
  }
  EXPECT_EQ(server.Connections(), 0);
  for (const char* reply : {"r1", "r2", "r3", "r4", "r5", "r6"}) EXPECT_FALSE(FileExists(dir.File(reply)));
}

TEST_F(UploadInput, AcceptsNonAsciiPathsAsUtf8FileNames) {
  LoopbackServer server(kJsonReply);
  Direct(server);
  WriteBytes(dir.File("запись é.wav"), "RIFF");
  ASSERT_EQ(Run(dir.File("запись é.wav"), "k", dir.File("ответ.json")), OMBRIVOICE_OK);
  ExpectUploadRequest(ParseRequest(server.Requests().at(0)), "RIFF", "k");
  EXPECT_EQ(ReadBytes(dir.File("ответ.json")), "{\"jobID\":\"j-1\"}");
}

// The limit is 890 bytes of UTF-8, whatever width the characters have: one byte under, at and
// over it for characters of 1 to 4 bytes (the 4-byte ones are surrogate pairs in UTF-16). A key
// with a CR or LF is refused whatever its length.
TEST_F(UploadInput, KeysOfAnyTextGoOutAsUtf8UpTo890Bytes) {
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
    ASSERT_EQ(Upload(Utf16(dir.File("a.wav")), Utf16(key), Utf16(dir.File("reply"))), OMBRIVOICE_OK);
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
  for (const std::string& key : refusedKeys) refused.push_back(Utf16(key));
  for (const std::u16string& key : LoneSurrogates(u"key")) refused.push_back(key);
  for (const std::u16string& key : refused) {
    SCOPED_TRACE(key.size());
    EXPECT_EQ(Upload(Utf16(dir.File("a.wav")), key, Utf16(dir.File("refused"))), OMBRIVOICE_UPLOAD_KEY_INVALID);
  }
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_FALSE(FileExists(dir.File("refused")));
  ExpectSetUpIntact();
}

// A WAV path that cannot name a readable file gives 1 before any connection: it never falls
// back to a file of a similar name (the text before a lone surrogate, or with U+FFFD for it).
// Nor is a file taken whose size is not its length, which would be sent as an empty file part:
// a FIFO (refused at once, not waited on for a writer), a device, a /proc file.
TEST_F(UploadInput, WavPathsThatNameNoReadableFileGiveOne) {
  WriteBytes(dir.File("a"), "RIFF");
  WriteBytes(dir.File("a\xEF\xBF\xBD"), "RIFF");  // "a" and U+FFFD
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  std::vector<std::u16string> paths = {u"", Utf16(dir.File("missing.wav")), Utf16(dir.File("folder")),
                                       Utf16(dir.File("plain/child.wav")), Utf16(dir.File(std::string(256, 'n'))),
                                       Utf16(dir.path() + "/" + std::string(5000, 'x')), Utf16("/proc/nonexistent"),
                                       Utf16(dir.File("fifo")), u"/dev/zero", u"/dev/urandom", u"/proc/self/status"};
  for (const std::u16string& path : LoneSurrogates(Utf16(dir.File("a")))) paths.push_back(path);
  LoopbackServer server(HttpReply(202, kReplyBody));
  Direct(server);
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    EXPECT_EQ(Upload(path, u"key", Utf16(dir.File("reply"))), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
  }
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_FALSE(FileExists(dir.File("reply")));
  ExpectSetUpIntact();
}

// Paths are UTF-8 on disk, up to the longest the system takes (4095 bytes and the NUL).
TEST_F(UploadInput, WavPathsOfAnyTextAndUpToTheSystemLimitAreSent) {
  const std::string unusual[] = {dir.File("запись 日本 😀.wav"), dir.File(" leading space"), dir.File("new\nline"),
                                 dir.File("-dash"), PathOfLength(dir.path(), 4095)};
  for (const std::string& path : unusual) {
    SCOPED_TRACE(path.substr(0, 60) + " (" + std::to_string(path.size()) + " bytes)");
    WriteBytes(path, "RIFF-" + path.substr(path.size() - 10));
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    ASSERT_EQ(Upload(Utf16(path), u"key", Utf16(dir.File("reply"))), OMBRIVOICE_OK);
    EXPECT_NE(server.Requests().at(0).find("RIFF-" + path.substr(path.size() - 10)), std::string::npos);
    EXPECT_EQ(ReadBytes(dir.File("reply")), kReplyBody);
  }
  std::string tooLong = PathOfLength(dir.path(), 4096);
  LoopbackServer server(HttpReply(202, kReplyBody));
  Direct(server);
  EXPECT_EQ(Upload(Utf16(tooLong), u"key", Utf16(dir.File("r2"))), OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED);
}

// After the request went out whole, a reply path that cannot be written gives 12 and leaves
// what is there alone; the WAV file is never written to.
TEST_F(UploadInput, ReplyPathsThatCannotBeWrittenGiveTwelveAndTouchNothing) {
  long long wavModified = ModifiedAt(dir.File("a.wav"));
  std::vector<std::u16string> paths = {u"", Utf16(dir.File("folder")), Utf16(dir.File("plain/child")),
                                       Utf16(dir.File("missing/child")), Utf16(dir.File(std::string(256, 'n'))),
                                       Utf16(dir.path() + "/" + std::string(5000, 'x')), Utf16("/proc/version"),
                                       Utf16("/proc/ombrivoice-new-file"), u"/dev/full"};
  for (const std::u16string& path : LoneSurrogates(Utf16(dir.File("plain")))) paths.push_back(path);
  for (const std::u16string& path : paths) {
    SCOPED_TRACE(path.size());
    LoopbackServer server(HttpReply(202, kReplyBody));
    Direct(server);
    EXPECT_EQ(Upload(Utf16(dir.File("a.wav")), u"key", path), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    EXPECT_EQ(ParseRequest(server.Requests()[0]).body.find(wav) != std::string::npos, true);
  }
  ExpectSetUpIntact();
  EXPECT_EQ(Listing(dir.path()), (std::set<std::string>{".", "..", "a.wav", "plain", "folder"}));
  EXPECT_EQ(ModifiedAt(dir.File("a.wav")), wavModified);
}
