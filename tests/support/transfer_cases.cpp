// Fixtures and helpers of the hostile-input and server-fault tests.
#include "support/transfer_cases.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"

const std::string kReplyBody = "{\"jobID\":\"j-1\"}";
const std::string kJsonReply = HttpReply(202, kReplyBody, "Content-Type: application/json\r\n");

void UploadTest::SetUp() {
  signal(SIGPIPE, SIG_DFL);  // a peer that closes must not kill the host
  for (const char* name : {"http_proxy", "https_proxy", "ftp_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY",
                           "FTP_PROXY", "ALL_PROXY", "NO_PROXY"}) {
    unsetenv(name);
  }
  HttpClientTimeoutsForTesting(0, 0);
}

void UploadTest::TearDown() {
  HttpClientConnectToForTesting(nullptr);
  HttpClientTimeoutsForTesting(0, 0);
  unsetenv("http_proxy");
}

void UploadTest::Direct(const LoopbackServer& server) {
  HttpClientConnectToForTesting(server.ConnectTo(kApiHost).c_str());
}

const std::string kKept = "bytes the call does not own";

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  DIR* opened = opendir(folder.c_str());
  while (dirent* entry = opened != nullptr ? readdir(opened) : nullptr) names.insert(entry->d_name);
  if (opened != nullptr) closedir(opened);
  return names;
}

long long ModifiedAt(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return 0;
  return status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
}

std::u16string Append(std::u16string text, std::initializer_list<char16_t> units) {
  text.append(units);
  return text;
}

std::vector<std::u16string> LoneSurrogates(const std::u16string& prefix) {
  return {Append(prefix, {0xD800}), Append(prefix, {0xD83D, u'a'}), Append(prefix, {0xDE00}),
          Append(prefix, {0xDE00, 0xD83D}), Append(prefix, {0xD83D, 0xD83D, 0xDE00, u'x'})};
}

std::string PathOfLength(const std::string& folder, size_t length) {
  std::string path = folder;
  while (length - path.size() > 255) {
    path += "/" + std::string(199, 'd');
    mkdir(path.c_str(), 0755);
  }
  return path + "/" + std::string(length - path.size() - 1, 'f');
}

void HostileInputTest::SetUp() {
  UploadTest::SetUp();
  wav = PatternBytes(3000, 11);
  WriteBytes(dir.File("a.wav"), wav);
  WriteBytes(dir.File("plain"), kKept);
  mkdir(dir.File("folder").c_str(), 0755);
  WriteBytes(dir.File("folder/inside"), kKept);
}

void HostileInputTest::ExpectSetUpIntact() {
  EXPECT_TRUE(ReadBytes(dir.File("a.wav")) == wav);
  EXPECT_EQ(ReadBytes(dir.File("plain")), kKept);
  EXPECT_EQ(ReadBytes(dir.File("folder/inside")), kKept);
  EXPECT_EQ(Listing(dir.File("folder")), (std::set<std::string>{".", "..", "inside"}));
}

const std::string kFaultReply = HttpReply(202, kReplyBody);

const std::vector<GarbageReply> kGarbage = {
    {"binary noise", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 binary noise, not a status line\r\n\r\n"},
    {"another protocol's greeting", "SSH-2.0-OpenSSH_9.2\r\n"},
    {"a negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nbody"},
    {"a status that is no number", "HTTP/1.1 two hundred\r\n\r\n"},
    // Heads whose body length cannot be known: no body read by them could be called whole.
    {"two different lengths", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 9\r\n\r\nbody"},
    {"a length past 2^63-1", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\nConnection: close\r\n\r\nbody"},
};

ServerScript Faulty(ServerFault fault, const std::string& reply) {
  ServerScript script(reply);
  script.fault = fault;
  return script;
}

bool HoldsHugeBody(const std::string& path, size_t length) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> piece(1 << 20);
  size_t offset = 0;
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    size_t got = static_cast<size_t>(in.gcount());
    for (size_t i = 0; i < got; ++i) {
      if (static_cast<unsigned char>(piece[i]) != HugeBodyByte(offset + i)) return false;
    }
    offset += got;
  }
  return offset == length;
}

void ServerFaultTest::SetUp() {
  signal(SIGPIPE, SIG_DFL);  // a peer that closes must not kill the host
  for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY",
                           "ALL_PROXY", "NO_PROXY"}) {
    unsetenv(name);
  }
  HttpClientTimeoutsForTesting(kConnectSeconds, kStallSeconds);
  WriteBytes(dir.File("small.wav"), PatternBytes(kSmallWav, 1));
  WriteBytes(dir.File("big.wav"), PatternBytes(kBigWav, 2));
}

void ServerFaultTest::TearDown() {
  HttpClientConnectToForTesting(nullptr);
  HttpClientTimeoutsForTesting(0, 0);
}

int32_t ServerFaultTest::UploadVia(bool proxy, int port, const std::string& wav, const std::string& reply) {
  std::string address = "127.0.0.1:" + std::to_string(port);
  HttpClientConnectToForTesting(proxy ? nullptr : (kApiHost + ":80:" + address).c_str());
  if (proxy) setenv("http_proxy", ("http://" + address).c_str(), 1);
  int32_t code = OmbriVoice(Utf16(dir.File(wav)).c_str(), Utf16("key").c_str(), Utf16(reply).c_str());
  unsetenv("http_proxy");
  return code;
}

int32_t ServerFaultTest::Download(int port, const std::string& path) {
  std::string url = "http://127.0.0.1:" + std::to_string(port) + "/result";
  return OmbriVoiceFileDownload(Utf16(url).c_str(), Utf16(path).c_str());
}

FaultCase Case(std::string name, ServerScript script, std::set<int32_t> codes, Clock::duration bound) {
  return {std::move(name), std::make_unique<ServerScript>(std::move(script)), std::move(codes), bound};
}

FaultCase Refused(std::set<int32_t> codes) { return {"refuses", nullptr, std::move(codes)}; }
