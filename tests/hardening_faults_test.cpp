// The upload and the download against servers that refuse, close early, stall, answer garbage
// or flood: every case ends in its defined code within a bound, leaves the files the code
// promises, and keeps no descriptor, also over a thousand failing calls in a row.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/nginx_gateway.h"
#include "support/test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kJsonReply = HttpReply(202, "{\"jobID\":\"j-1\"}");
constexpr long kConnectSeconds = 2;    // the shortened time-outs every case runs with
constexpr long kStallSeconds = 1;
constexpr auto kCallBound = std::chrono::seconds(20);  // any single call, even under TSan
// A stalled call. libcurl measures the stall against its speed averaged over the last 5 s, so
// a stall after bytes have flowed is seen about 1 + 6 s after the last byte (measured: 7.0 s);
// the bound leaves room for a busy or emulated machine, and still catches a call that waits on.
constexpr auto kStallBound = std::chrono::seconds(24);
constexpr size_t kSmallWav = 4096;        // fits the socket buffers: sent before any fault shows
constexpr size_t kBigWav = 16 << 20;      // does not: the fault shows while sending audio
constexpr size_t kHugeBody = 64 << 20;    // a reply far beyond every buffer of the client
constexpr const char* kKeptBytes = "bytes the call does not own";

// Replies that are not HTTP, or whose head no client may accept.
const struct {
  const char* name;
  const char* reply;
} kGarbage[] = {
    {"binary noise", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03 binary noise, not a status line\r\n\r\n"},
    {"another protocol's greeting", "SSH-2.0-OpenSSH_9.2\r\n"},
    {"a negative length", "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\nbody"},
    {"a status that is no number", "HTTP/1.1 two hundred\r\n\r\n"},
    // Heads whose body length cannot be known: no body read by them could be called whole.
    {"two different lengths", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 9\r\n\r\nbody"},
    {"a length past 2^63-1", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\nConnection: close\r\n\r\nbody"},
};

ServerScript Faulty(ServerFault fault, const std::string& reply = kJsonReply) {
  ServerScript script(reply);
  script.fault = fault;
  return script;
}

// Whether the file holds exactly length bytes of HugeBodyByte.
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

// The body of a reply with a Content-Length, or "" until it has all arrived.
std::string BodyOf(const std::string& reply) {
  size_t headEnd = reply.find("\r\n\r\n");
  size_t length = reply.find("Content-Length: ");
  if (headEnd == std::string::npos || length == std::string::npos) return "";
  std::string body = reply.substr(headEnd + 4);
  return body.size() == std::stoul(reply.substr(length + 16)) ? body : "";
}

// Sends request on a fresh loopback connection and returns the body of the reply.
std::string ExchangeForBody(int port, const std::string& request) {
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  std::string answer;
  if (connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      send(client, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
    char piece[4096];
    for (ssize_t got; BodyOf(answer).empty() && (got = recv(client, piece, sizeof piece, 0)) > 0;) {
      answer.append(piece, static_cast<size_t>(got));
    }
  }
  close(client);
  return BodyOf(answer);
}

// A port below the ephemeral range where nothing listens. A freed ephemeral port can be
// picked again as a client's own port, and a connection to it then reaches itself.
int RefusingPort() { return 1; }

class HardeningFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_DFL);  // a peer that closes must not kill the host
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY",
                             "ALL_PROXY", "NO_PROXY"}) {
      unsetenv(name);
    }
    HttpClientTimeoutsForTesting(kConnectSeconds, kStallSeconds);
    WriteBytes(dir.File("small.wav"), PatternBytes(kSmallWav, 1));
    WriteBytes(dir.File("big.wav"), PatternBytes(kBigWav, 2));
  }
  void TearDown() override {
    HttpClientConnectToForTesting(nullptr);
    HttpClientTimeoutsForTesting(0, 0);
  }
  int32_t Upload(int port, const std::string& wav, const std::string& reply) {
    return UploadVia(false, port, wav, reply);
  }
  // Through the proxy in http_proxy, or straight to the server in place of the API host.
  int32_t UploadVia(bool proxy, int port, const std::string& wav, const std::string& reply) {
    std::string address = "127.0.0.1:" + std::to_string(port);
    HttpClientConnectToForTesting(proxy ? nullptr : (kApiHost + ":80:" + address).c_str());
    if (proxy) setenv("http_proxy", ("http://" + address).c_str(), 1);
    int32_t code = OmbriVoice(U16(dir.File(wav)).c_str(), U16("key").c_str(), U16(reply).c_str());
    unsetenv("http_proxy");
    return code;
  }
  int32_t Download(int port, const std::string& path) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/result";
    return OmbriVoiceFileDownload(U16(url).c_str(), U16(path).c_str());
  }
  TempDir dir;
};

// One row of a matrix: the server's script (none: nothing listens), the codes the call may end
// in, and how long it may take.
struct FaultCase {
  std::string name;
  std::unique_ptr<ServerScript> script;
  std::set<int32_t> codes;
  Clock::duration bound = kCallBound;
};

FaultCase Case(std::string name, ServerScript script, std::set<int32_t> codes,
               Clock::duration bound = kCallBound) {
  return {std::move(name), std::make_unique<ServerScript>(std::move(script)), std::move(codes), bound};
}

FaultCase Refused(std::set<int32_t> codes) { return {"refuses", nullptr, std::move(codes)}; }

// Runs call against the case's server, checking the code, the time taken and the descriptors.
template <typename Call>
int32_t RunCase(const FaultCase& c, Call call) {
  int before = OpenDescriptorCount();
  int32_t code;
  Clock::duration took;
  {
    std::unique_ptr<LoopbackServer> server;
    int port = c.script ? 0 : RefusingPort();
    if (c.script) {
      server = std::make_unique<LoopbackServer>(*c.script);
      port = server->port();
    }
    Clock::time_point start = Clock::now();
    code = call(port);
    took = Clock::now() - start;
  }
  EXPECT_TRUE(c.codes.count(code) == 1) << "code " << code;
  EXPECT_LT(took, c.bound) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_EQ(OpenDescriptorCount(), before);
  return code;
}

}  // namespace

// The reply file exists only once the request went out whole (codes 12 and 999).
TEST_F(HardeningFaults, UploadEndsInItsStepCodeForEveryServerFault) {
  ServerScript midBody = Faulty(ServerFault::CloseMidBody);
  midBody.bodyBytesBeforeClose = 1 << 20;
  ServerScript midReply = Faulty(ServerFault::StallMidReply);
  midReply.replyBytesBeforeClose = kJsonReply.size() - 3;
  // A small body is handed to the socket before the peer's close or reset is seen, so the
  // loss shows when the tail goes out (9) or when the reply is awaited (12); a big one shows
  // while the audio goes out (8). Either shows at the head (51) when the close is seen while
  // the request head is still going out, which a busy machine makes likely.
  const std::set<int32_t> smallLost = {OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED, OMBRIVOICE_UPLOAD_TAIL_WRITE_FAILED,
                                       OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED};
  const std::set<int32_t> bigLost = {OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED, OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED};
  const std::set<int32_t> noReply = {OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED};
  std::vector<std::pair<FaultCase, std::string>> rows;  // the case and the WAV it sends
  rows.emplace_back(Refused({OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED}), "big.wav");
  rows.emplace_back(Case("accepts and closes", Faulty(ServerFault::CloseOnAccept), smallLost), "small.wav");
  rows.emplace_back(Case("accepts and closes", Faulty(ServerFault::CloseOnAccept), bigLost), "big.wav");
  rows.emplace_back(Case("closes after the head", Faulty(ServerFault::CloseAfterHead), smallLost), "small.wav");
  rows.emplace_back(Case("closes after the head", Faulty(ServerFault::CloseAfterHead), bigLost), "big.wav");
  rows.emplace_back(Case("closes mid-body", midBody, bigLost), "big.wav");
  rows.emplace_back(Case("stalls after the head", Faulty(ServerFault::StallAfterHead), noReply, kStallBound),
                    "small.wav");
  rows.emplace_back(Case("stalls after the head", Faulty(ServerFault::StallAfterHead), bigLost, kStallBound),
                    "big.wav");
  rows.emplace_back(Case("stalls mid-reply", midReply, noReply, kStallBound), "small.wav");
  for (const auto& garbage : kGarbage) {
    rows.emplace_back(Case(std::string("answers ") + garbage.name, ServerScript(garbage.reply), noReply), "small.wav");
  }
  for (const auto& [c, wav] : rows) {
    SCOPED_TRACE(c.name + ", " + wav);
    std::string reply = dir.File("reply");
    std::remove(reply.c_str());
    int32_t code = RunCase(c, [&](int port) { return Upload(port, wav, reply); });
    EXPECT_EQ(FileExists(reply), code == OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED || code == OMBRIVOICE_OK);
  }
}

// A service that refuses an upload (a wrong key, a body too large) answers right after the
// request head, then reads the rest, or stops sending and reads on, or closes half a second
// later. Whatever the body's size, directly or through a proxy, its answer is saved byte for
// byte: 999 when the whole request had gone out first, 13 when the answer came first. When the
// reply file cannot be written, the code stays that of the step at which sending stopped.
TEST_F(HardeningFaults, UploadSavesAnAnswerThatComesBeforeTheBody) {
  constexpr int kRounds = 3;
  const std::pair<ServerFault, const char*> modes[] = {{ServerFault::AnswerEarlyThenRead, "reads on"},
                                                      {ServerFault::AnswerEarlyThenShutdown, "shuts down, reads on"},
                                                      {ServerFault::AnswerEarlyThenClose, "closes after 0.5 s"}};
  const size_t sizes[] = {64 << 10, 1 << 20, 5 << 20};
  const std::string refusals[] = {HttpReply(401, "{\"error\":\"bad_key\"}"),
                                  HttpReply(413, "<html><body>" + std::string(600, 'x') + "</body></html>")};
  const std::set<int32_t> saved = {OMBRIVOICE_OK, OMBRIVOICE_UPLOAD_ANSWERED_EARLY};
  const std::set<int32_t> unsaved = {OMBRIVOICE_UPLOAD_HEAD_WRITE_FAILED, OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED,
                                     OMBRIVOICE_UPLOAD_TAIL_WRITE_FAILED, OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED};
  std::map<std::string, std::multiset<int32_t>> seen;  // codes per mode and size, for the log
  for (size_t size : sizes) {
    const std::string wav = "early-" + std::to_string(size) + ".wav";
    WriteBytes(dir.File(wav), PatternBytes(size, 5));
    for (const auto& [mode, modeName] : modes) {
      for (int round = 0; round < kRounds; ++round) {
        const std::string& refusal = refusals[round % 2];
        const bool viaProxy = round == kRounds - 1;
        const std::string name = std::string(modeName) + ", " + std::to_string(size) + " bytes" +
                                 (viaProxy ? ", via proxy" : "");
        SCOPED_TRACE(name + ", round " + std::to_string(round));
        const std::string reply = dir.File("early.reply");
        std::remove(reply.c_str());
        int32_t code = RunCase(Case(name, Faulty(mode, refusal), saved),
                               [&](int port) { return UploadVia(viaProxy, port, wav, reply); });
        seen[name].insert(code);
        EXPECT_TRUE(ReadBytes(reply) == refusal.substr(refusal.find("\r\n\r\n") + 4));
      }
      // A folder, and the WAV file itself, which is open for sending: neither is touched.
      for (const std::string& unwritable : {dir.path(), dir.File(wav)}) {
        int32_t code = RunCase(Case("reply unwritable", Faulty(mode, refusals[0]), unsaved),
                               [&](int port) { return UploadVia(false, port, wav, unwritable); });
        seen["unwritable reply, " + std::to_string(size) + " bytes"].insert(code);
        EXPECT_TRUE(ReadBytes(dir.File(wav)) == PatternBytes(size, 5));
      }
    }
  }
  for (const auto& [name, codes] : seen) {
    std::string line;
    for (int32_t code : codes) line += " " + std::to_string(code);
    std::printf("[ codes    ] %s:%s\n", name.c_str(), line.c_str());
  }
}

// Behind nginx with its default body limit, a 15-second recording (1,323,044 bytes) is refused
// with 413 before its body has gone out: nginx's page is saved byte for byte every time (the
// bytes it sends a plain socket that asks the same), and a recording under the limit passes.
TEST_F(HardeningFaults, UploadBehindAGatewaySavesItsRefusal) {
  constexpr int kRounds = 12;
  constexpr size_t kFifteenSeconds = 1323044;
  LoopbackServer service(kJsonReply);
  NginxGateway gateway(service.port());
  const std::string refusal =
      ExchangeForBody(gateway.port(), "POST /x HTTP/1.1\r\nHost: a\r\nUser-Agent: " + kUploadUserAgent +
                                          "\r\nContent-Length: " + std::to_string(kFifteenSeconds) + "\r\n\r\n");
  ASSERT_NE(refusal.find("413"), std::string::npos) << refusal;
  WriteBytes(dir.File("15s.wav"), PatternBytes(kFifteenSeconds, 15));
  std::multiset<int32_t> seen;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    std::string reply = dir.File("refusal" + std::to_string(round));
    int32_t code = RunCase(Case("nginx refuses", ServerScript(), {OMBRIVOICE_OK, OMBRIVOICE_UPLOAD_ANSWERED_EARLY}),
                           [&](int) { return Upload(gateway.port(), "15s.wav", reply); });
    seen.insert(code);
    EXPECT_TRUE(ReadBytes(reply) == refusal);
  }
  std::string line;
  for (int32_t code : seen) line += " " + std::to_string(code);
  std::printf("[ codes    ] 15 s through nginx:%s\n", line.c_str());
  EXPECT_EQ(service.Connections(), 0);
  ASSERT_EQ(Upload(gateway.port(), "small.wav", dir.File("passed")), OMBRIVOICE_OK);
  EXPECT_EQ(ReadBytes(dir.File("passed")), "{\"jobID\":\"j-1\"}");
  ASSERT_EQ(service.Requests().size(), 1u);
  EXPECT_NE(ParseRequest(service.Requests()[0]).body.find(PatternBytes(kSmallWav, 1)), std::string::npos);
}

TEST_F(HardeningFaults, UploadSavesAHugeReplyWholeOrReportsTheLoss) {
  ServerScript huge = Faulty(ServerFault::HugeBody);
  huge.hugeBodyBytes = kHugeBody;
  RunCase(Case("huge reply", huge, {OMBRIVOICE_OK}),
          [&](int port) { return Upload(port, "small.wav", dir.File("huge")); });
  EXPECT_TRUE(HoldsHugeBody(dir.File("huge"), kHugeBody));
  std::remove(dir.File("huge").c_str());
  RunCase(Case("huge reply onto a full disk", huge, {OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED}),
          [&](int port) { return Upload(port, "small.wav", "/dev/full"); });
}

// A download that ends in 2 creates nothing and leaves an older file at its path untouched;
// one that ends in 4 keeps what arrived.
TEST_F(HardeningFaults, DownloadEndsInItsStepCodeForEveryServerFault) {
  const std::string body = PatternBytes(300000, 3);
  const std::string reply = HttpReply(200, body);
  const size_t headBytes = reply.size() - body.size();
  ServerScript afterReplyHead = Faulty(ServerFault::CloseMidReply, reply);
  afterReplyHead.replyBytesBeforeClose = headBytes;
  ServerScript midBody = Faulty(ServerFault::CloseMidReply, reply);
  midBody.replyBytesBeforeClose = headBytes + 100000;
  ServerScript stallMidBody = Faulty(ServerFault::StallMidReply, reply);
  stallMidBody.replyBytesBeforeClose = headBytes + 200000;
  const std::set<int32_t> notOpened = {OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED};
  const std::set<int32_t> brokeOff = {OMBRIVOICE_DOWNLOAD_BODY_BROKE_OFF};
  std::vector<std::pair<FaultCase, size_t>> rows;  // the case and the body bytes it must keep
  rows.emplace_back(Refused(notOpened), 0);
  rows.emplace_back(Case("accepts and closes", Faulty(ServerFault::CloseOnAccept), notOpened), 0);
  rows.emplace_back(Case("closes after the request head", Faulty(ServerFault::CloseAfterHead), notOpened), 0);
  rows.emplace_back(Case("closes before the reply", Faulty(ServerFault::CloseBeforeReply), notOpened), 0);
  rows.emplace_back(Case("stalls before the reply", Faulty(ServerFault::StallAfterHead), notOpened, kStallBound), 0);
  rows.emplace_back(Case("closes after the reply head", afterReplyHead, brokeOff), 0);
  rows.emplace_back(Case("closes mid-body", midBody, brokeOff), 100000);
  rows.emplace_back(Case("stalls mid-body", stallMidBody, brokeOff, kStallBound), 200000);
  for (const auto& garbage : kGarbage) {
    rows.emplace_back(Case(std::string("answers ") + garbage.name, ServerScript(garbage.reply), notOpened), 0);
  }
  for (const auto& [c, kept] : rows) {
    SCOPED_TRACE(c.name);
    std::string path = dir.File("download");
    WriteBytes(path, kKeptBytes);
    int32_t code = RunCase(c, [&](int port) { return Download(port, path); });
    if (code == OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED) {
      EXPECT_EQ(ReadBytes(path), kKeptBytes);
    } else {
      EXPECT_TRUE(ReadBytes(path) == body.substr(0, kept));
    }
  }
}

TEST_F(HardeningFaults, DownloadSavesAHugeBodyWholeOrReportsTheLoss) {
  ServerScript huge = Faulty(ServerFault::HugeBody);
  huge.hugeBodyBytes = kHugeBody;
  RunCase(Case("huge body", huge, {OMBRIVOICE_OK}), [&](int port) { return Download(port, dir.File("huge")); });
  EXPECT_TRUE(HoldsHugeBody(dir.File("huge"), kHugeBody));
  std::remove(dir.File("huge").c_str());
  RunCase(Case("huge body onto a full disk", huge, {OMBRIVOICE_DOWNLOAD_WRITE_FAILED}),
          [&](int port) { return Download(port, "/dev/full"); });
}

// The quick failures in turn, a thousand calls: connection refused, a connection closed at
// once, garbage for a reply, and the failures before or after the connection (bad key, no WAV
// file, a folder where the reply or the local file should go).
TEST_F(HardeningFaults, AThousandFailingCallsKeepNoDescriptor) {
  constexpr int kCalls = 1000;
  constexpr int kCallsPerServer = 50;  // each server keeps a finished thread per connection
  const int refused = RefusingPort();
  ASSERT_EQ(Upload(refused, "small.wav", dir.File("r")), OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);  // one-time set-up
  const int before = OpenDescriptorCount();
  const std::string longKey(891, 'k');
  for (int first = 0; first < kCalls; first += kCallsPerServer) {
    LoopbackServer closing(Faulty(ServerFault::CloseOnAccept));
    LoopbackServer babbling{ServerScript(kGarbage[0].reply)};
    LoopbackServer answering(kJsonReply);
    for (int i = first; i < first + kCallsPerServer; ++i) {
      int32_t code = 0;
      int32_t expected = 0;
      Clock::time_point begun = Clock::now();
      switch (i % 9) {
        case 0:
          code = Upload(refused, "small.wav", dir.File("r"));
          expected = OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED;
          break;
        case 1:
          code = Download(refused, dir.File("d"));
          expected = OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED;
          break;
        case 2:
          code = Download(closing.port(), dir.File("d"));
          expected = OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED;
          break;
        case 3:
          code = Upload(babbling.port(), "small.wav", dir.File("r"));
          expected = OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED;
          break;
        case 4:
          code = Download(babbling.port(), dir.File("d"));
          expected = OMBRIVOICE_DOWNLOAD_URL_OPEN_FAILED;
          break;
        case 5:
          code = OmbriVoice(U16(dir.File("small.wav")).c_str(), U16(longKey).c_str(), U16(dir.File("r")).c_str());
          expected = OMBRIVOICE_UPLOAD_KEY_INVALID;
          break;
        case 6:
          code = Upload(refused, "missing.wav", dir.File("r"));
          expected = OMBRIVOICE_UPLOAD_WAV_OPEN_FAILED;
          break;
        case 7:
          code = Download(answering.port(), dir.path());
          expected = OMBRIVOICE_DOWNLOAD_FILE_CREATE_FAILED;
          break;
        default:
          code = Upload(answering.port(), "small.wav", dir.path());
          expected = OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED;
          break;
      }
      ASSERT_EQ(code, expected) << "call " << i;
      ASSERT_LT(Clock::now() - begun, kCallBound) << "call " << i;
    }
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}
