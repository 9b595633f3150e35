// The Windows DLL under Wine. A Windows host (tests/windows/win_host.cpp) loads it and runs
// steps; these tests start it in the run's private prefix and check what a host on Windows
// would see: the export table, the resources, the bytes on the wire and in the files, and the
// codes, against the same expectations as the Linux build's tests.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <set>
#include <string>

#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/reply_cases.h"
#include "support/test_files.h"
#include "wine/wine_runner.h"

namespace {

const std::string kHost = OMBRIVOICE_WINDOWS_BUILD "/tests/windows/ombrivoice_win_host.exe";
const std::string kExample = OMBRIVOICE_WINDOWS_BUILD "/tests/windows/ombrivoice_win_example.exe";
const std::string kDll = OMBRIVOICE_WINDOWS_BUILD "/TolvexOmbriVoice.dll";
const std::string kJsonReply = HttpReply(202, "{\"jobID\":\"j-1\"}", "Content-Type: application/json\r\n");

// The host's steps against the DLL; the DLL's path goes first.
WineRun Host(const std::vector<std::string>& steps, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {WinePath(kDll)};
  args.insert(args.end(), steps.begin(), steps.end());
  return RunUnderWine(kHost, args, extra);
}

std::string ProxyVariable(int port) { return "http_proxy=http://127.0.0.1:" + std::to_string(port); }

std::string LocalUrl(const LoopbackServer& server, const std::string& path = "/file") {
  return "http://127.0.0.1:" + std::to_string(server.port()) + path;
}

// The system DLLs the DLL imports, read from its import table with objdump (llvm's for ARM).
std::set<std::string> ImportedDlls() {
  std::set<std::string> names;
  FILE* dump = popen((OMBRIVOICE_OBJDUMP " -p '" + kDll + "'").c_str(), "r");
  char line[512];
  while (dump != nullptr && fgets(line, sizeof line, dump) != nullptr) {
    std::string text = line;
    size_t at = text.find("DLL Name: ");
    if (at != std::string::npos) names.insert(text.substr(at + 10, text.find_last_not_of("\r\n") - at - 9));
  }
  if (dump != nullptr) pclose(dump);
  return names;
}

}  // namespace

TEST(WindowsDll, ExportsTheFourNamesAtTheirOrdinalsAndNeedsOnlySystemDlls) {
  WineRun run = Host({"exports"});
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.lines, (std::vector<std::string>{"3 OmbriVoice", "4 OmbriVoiceFileDownload",
                                                 "1 OmbriVoiceRecorderStart", "2 OmbriVoiceRecorderStop",
                                                 "exports checked"}));
  EXPECT_EQ(ImportedDlls(), (std::set<std::string>{"KERNEL32.dll", "msvcrt.dll", "WININET.dll", "WINMM.dll"}));
}

TEST(WindowsDll, CarriesTheVersionRecordTheStringAndTheTypeLibrary) {
  WineRun run = Host({"resources"});
  ASSERT_EQ(run.status, 0);
  ASSERT_EQ(run.lines.size(), 13u);
  std::vector<std::string> head(run.lines.begin(), run.lines.begin() + 12);
  EXPECT_EQ(head, (std::vector<std::string>{
                      "version 1.0.0.1 product 1.0.0.1 type 2",  // VFT_DLL
                      "translation 0409 04b0",                   // English (US), code page 1200
                      "CompanyName=",
                      "FileDescription=TolvexOmbriVoice DLL",
                      "FileVersion=1, 0, 0, 1",
                      "InternalName=TolvexOmbriVoice",
                      "LegalTrademarks=",
                      "OLESelfRegister=",
                      "OriginalFilename=TolvexOmbriVoice.DLL",
                      "ProductName=TolvexOmbriVoice Dynamic Link Library",
                      "ProductVersion=1, 0, 0, 1",
                      "string 101=Windows sockets initialization failed.",
                  }));
  // SYS_WIN64 (3) for the 64-bit DLL; the identifier is the library's own.
  EXPECT_EQ(run.lines[12], "typelib TolvexOmbriVoice version 1.0 lcid 0409 syskind 3 types 0 "
                           "guid {035D821C-5C09-4BE8-AEF1-7927B6705491}");
}

class WindowsUpload : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(WindowsUpload, SendsTheExpectedRequestThroughTheConfiguredProxy) {
  LoopbackServer proxy(kJsonReply);
  const size_t sizes[] = {0, 1024, 1025, 70001};
  std::vector<std::string> steps;
  for (size_t size : sizes) {
    std::string wav = dir.File("a" + std::to_string(size) + ".wav");
    WriteBytes(wav, PatternBytes(size, static_cast<unsigned>(size)));
    steps.insert(steps.end(), {"upload", WinePath(wav), "KEY-ключ", WinePath(wav + ".json")});
  }
  WineRun run = Host(steps, {ProxyVariable(proxy.port())});
  ASSERT_EQ(run.lines, std::vector<std::string>(4, "upload 999"));
  ASSERT_EQ(proxy.Requests().size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE("WAV of " + std::to_string(sizes[i]) + " bytes");
    RecordedRequest request = ParseRequest(proxy.Requests()[i]);
    // Through a proxy the platform's client names the port in the absolute target.
    EXPECT_EQ(request.requestLine, "POST http://" + kApiHost + ":80" + kUploadPath + " HTTP/1.1");
    ClientAllowance platformClient;
    platformClient.ownAcceptLine = true;
    ExpectUploadRequest(request, PatternBytes(sizes[i], static_cast<unsigned>(sizes[i])), "KEY-ключ",
                          platformClient);
    std::string wav = dir.File("a" + std::to_string(sizes[i]) + ".wav");
    EXPECT_EQ(ReadBytes(wav + ".json"), "{\"jobID\":\"j-1\"}");
  }
}

TEST_F(WindowsUpload, EndsInTheSameCodesAsTheLinuxBuild) {
  WriteBytes(dir.File("a.wav"), PatternBytes(3000));
  const std::string wav = WinePath(dir.File("a.wav"));
  const std::string reply = WinePath(dir.File("reply.json"));
  const struct {
    const char* name;
    std::vector<std::string> step;
    bool refusedProxy;
    std::string result;
    size_t requests;
  } cases[] = {
      {"missing WAV file", {"upload", WinePath(dir.File("none.wav")), "k", reply}, false, "upload 1", 0},
      {"lone surrogate in the key", {"upload", wav, "k\\uD800", reply}, false, "upload 10", 0},
      {"key of 891 bytes", {"upload", wav, std::string(891, 'k'), reply}, false, "upload 10", 0},
      {"line break in the key", {"upload", wav, "k\\u000D\\u000Aname", reply}, false, "upload 10", 0},
      {"reply path naming its own WAV file", {"upload", wav, "k", wav}, false, "upload 12", 1},
      {"proxy refuses", {"upload", wav, "k", reply}, true, "upload 52222", 0},
      {"reply folder missing", {"upload", wav, "k", WinePath(dir.File("no/reply.json"))}, false, "upload 12", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer proxy(kJsonReply);
    WineRun run = Host(c.step, {c.refusedProxy ? "http_proxy=http://127.0.0.1:1" : ProxyVariable(proxy.port())});
    EXPECT_EQ(run.lines, std::vector<std::string>{c.result});
    EXPECT_EQ(proxy.Requests().size(), c.requests);
  }
  EXPECT_TRUE(ReadBytes(dir.File("a.wav")) == PatternBytes(3000)) << "the reply was written over the WAV file";
  LoopbackServer refusing(HttpReply(401, "{\"error\":\"bad_key\"}"));
  WineRun run = Host({"upload", wav, "k", reply}, {ProxyVariable(refusing.port())});
  EXPECT_EQ(run.lines, std::vector<std::string>{"upload 999"});
  EXPECT_EQ(ReadBytes(dir.File("reply.json")), "{\"error\":\"bad_key\"}");
  // WinINet ends a reply that breaks off, or never comes, as if it were whole and empty.
  ServerScript cut(HttpReply(200, PatternBytes(5000)));
  cut.fault = ServerFault::CloseMidReply;
  cut.replyBytesBeforeClose = 1000;
  ServerScript silent(kJsonReply);
  silent.fault = ServerFault::CloseBeforeReply;
  for (const ServerScript& script : {cut, silent}) {
    LoopbackServer breaking(script);
    run = Host({"upload", wav, "k", reply}, {ProxyVariable(breaking.port())});
    EXPECT_EQ(run.lines, std::vector<std::string>{"upload 12"});
  }
}

// A service that refuses an upload answers right after the request head, then reads on, stops
// sending, or closes half a second later. The platform's client sends on while the server
// reads (999); when the server closes, the write fails and the end of the request still reads
// the answer (13). Either way the answer is saved.
TEST_F(WindowsUpload, SavesAnAnswerThatComesBeforeTheBody) {
  WriteBytes(dir.File("big.wav"), PatternBytes(5 << 20, 4));
  const std::string refusal = "{\"error\":\"bad_key\"}";
  const std::pair<ServerFault, const char*> modes[] = {{ServerFault::AnswerEarlyThenRead, "upload 999"},
                                                       {ServerFault::AnswerEarlyThenShutdown, "upload 999"},
                                                       {ServerFault::AnswerEarlyThenClose, "upload 13"}};
  for (const auto& [mode, result] : modes) {
    SCOPED_TRACE(result);
    ServerScript script(HttpReply(401, refusal));
    script.fault = mode;
    LoopbackServer proxy(script);
    std::string reply = dir.File("early.json");
    std::remove(reply.c_str());
    WineRun run = Host({"upload", WinePath(dir.File("big.wav")), "k", WinePath(reply)}, {ProxyVariable(proxy.port())});
    EXPECT_EQ(run.lines, std::vector<std::string>{result});
    EXPECT_EQ(ReadBytes(reply), refusal);
  }
}

TEST(WindowsDownload, SavesBodiesByteForByteAndFollowsRedirects) {
  TempDir dir;
  std::vector<ReplyCase> cases = RawReplyCases();
  for (const std::string& body : DownloadBodies()) {
    cases.push_back({"body", HttpReply(200, body), body});
  }
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.saved.size()) + " bytes");
    LoopbackServer server(c.reply);
    WriteBytes(dir.File("out.bin"), std::string(1 << 21, 'o'));  // longer than any body: truncated
    WineRun run = Host({"download", LocalUrl(server, "/jobs/7?key=a%20b"), WinePath(dir.File("out.bin"))});
    EXPECT_EQ(run.lines, std::vector<std::string>{"download 999"});
    EXPECT_TRUE(ReadBytes(dir.File("out.bin")) == c.saved);
    RecordedRequest request = ParseRequest(server.Requests().at(0));
    EXPECT_EQ(request.requestLine, "GET /jobs/7?key=a%20b HTTP/1.1");
    EXPECT_EQ(request.Values("User-Agent"), std::vector<std::string>{"FTP_to_AIX"});
  }
  LoopbackServer target(HttpReply(200, "moved body"));
  LoopbackServer redirect(HttpReply(302, "see elsewhere", "Location: " + LocalUrl(target, "/new") + "\r\n"));
  WineRun run = Host({"download", LocalUrl(redirect), WinePath(dir.File("followed"))});
  EXPECT_EQ(run.lines, std::vector<std::string>{"download 999"});
  EXPECT_EQ(ReadBytes(dir.File("followed")), "moved body");
}

TEST(WindowsDownload, EndsInItsStepCodes) {
  TempDir dir;
  LoopbackServer server(HttpReply(200, "body"));
  ServerScript cut(HttpReply(200, PatternBytes(5000)));
  cut.fault = ServerFault::CloseMidReply;
  cut.replyBytesBeforeClose = 1000;
  LoopbackServer breaking(cut);
  WineRun run = Host({"download", "http://127.0.0.1:1/refused", WinePath(dir.File("refused")),
                      "download", LocalUrl(server), WinePath(dir.File("no/such/folder")),
                      "download", LocalUrl(breaking), WinePath(dir.File("cut"))});
  EXPECT_EQ(run.lines, (std::vector<std::string>{"download 2", "download 3", "download 4"}));
  EXPECT_FALSE(FileExists(dir.File("refused")));
  std::string kept = ReadBytes(dir.File("cut"));
  EXPECT_TRUE(PatternBytes(5000).compare(0, kept.size(), kept) == 0) << "the file keeps what arrived";
}
