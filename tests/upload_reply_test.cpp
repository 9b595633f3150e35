// What the recognition upload makes of replies and faults: any reply body saved raw, a reply
// that cannot be saved after the request went out whole, connections that fail or servers that
// close early, stall, answer before the body, answer garbage or flood, a WAV file cut while it
// is sent, and no handle kept on any path. Each ends in its defined code within a bound.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/expected_request.h"
#include "support/loopback_server.h"
#include "support/nginx_gateway.h"
#include "support/test_files.h"
#include "support/transfer_cases.h"

namespace {

class UploadReply : public UploadTest {
 protected:
  // Uploads dir's wav with the key "k", its reply to replyPath, to a server playing script.
  int32_t RunAgainst(const ServerScript& script, const std::string& wav, const std::string& replyPath) {
    LoopbackServer server(script);
    Direct(server);
    return Run(dir.File(wav), "k", replyPath);
  }
};

// Shortened time-outs: every case runs against a scripted faulty server.
class UploadFaults : public ServerFaultTest {};

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

}  // namespace

TEST_F(UploadReply, SavesAnyReplyBodyRawWhateverItsStatusOrFraming) {
  std::string gzipBody("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\xab\x56\x00\x00\x8d\x02\x00\x00", 18);
  std::string large = PatternBytes(1 << 20, 7);
  const struct {
    const char* name;
    std::string reply;
    std::string saved;
  } cases[] = {
      {"gzip-coded", HttpReply(200, gzipBody, "Content-Encoding: gzip\r\n"), gzipBody},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                  "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n", "hello, world"},
      {"401 error", HttpReply(401, "{\"error\":\"bad key\"}"), "{\"error\":\"bad key\"}"},
      {"empty", HttpReply(204, ""), ""},
      {"1 MiB", HttpReply(200, large), large},
      {"close-delimited", "HTTP/1.0 200 OK\r\n\r\nuntil the end", "until the end"},
  };
  WriteBytes(dir.File("a.wav"), PatternBytes(3000));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.reply);
    Direct(server);
    WriteBytes(dir.File("reply.bin"), std::string(3 << 20, 'x'));  // an older, longer reply
    ASSERT_EQ(Run(dir.File("a.wav"), "k", dir.File("reply.bin")), OMBRIVOICE_OK);
    EXPECT_TRUE(ReadBytes(dir.File("reply.bin")) == c.saved);
  }
}

TEST_F(UploadReply, ReportsAReplyThatCouldNotBeSavedAfterTheRequestWentOutWhole) {
  WriteBytes(dir.File("a.wav"), PatternBytes(2048));
  {
    SCOPED_TRACE("reply file in a missing folder");
    LoopbackServer server(kJsonReply);
    Direct(server);
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("no/such/reply")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    ExpectUploadRequest(ParseRequest(server.Requests()[0]), PatternBytes(2048), "k");
  }
  {
    SCOPED_TRACE("reply file on a full disk");
    EXPECT_EQ(RunAgainst(ServerScript(kJsonReply), "a.wav", "/dev/full"), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
  {
    SCOPED_TRACE("reply breaks off");
    ServerScript script = Faulty(ServerFault::CloseMidReply, HttpReply(200, std::string(1000, 'r')));
    script.replyBytesBeforeClose = 500;
    EXPECT_EQ(RunAgainst(script, "a.wav", dir.File("cut")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
  {
    SCOPED_TRACE("no reply at all");
    EXPECT_EQ(RunAgainst(Faulty(ServerFault::CloseBeforeReply, kJsonReply), "a.wav", dir.File("none")),
              OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
  }
}

TEST_F(UploadReply, ConnectionFailuresEndInTheirStepCodes) {
  WriteBytes(dir.File("big.wav"), PatternBytes(16 << 20));
  {
    SCOPED_TRACE("nothing listens");
    int port;
    {
      LoopbackServer gone(kJsonReply);
      port = gone.port();
    }
    HttpClientConnectToForTesting((kApiHost + ":80:127.0.0.1:" + std::to_string(port)).c_str());
    EXPECT_EQ(Run(dir.File("big.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);
    EXPECT_FALSE(FileExists(dir.File("r")));
  }
  {
    SCOPED_TRACE("server closes after the head");
    EXPECT_EQ(RunAgainst(Faulty(ServerFault::CloseAfterHead, kJsonReply), "big.wav", dir.File("r")),
              OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  {
    SCOPED_TRACE("server closes mid-body");
    ServerScript script = Faulty(ServerFault::CloseMidBody, kJsonReply);
    script.bodyBytesBeforeClose = 1 << 20;
    EXPECT_EQ(RunAgainst(script, "big.wav", dir.File("r")), OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  {
    SCOPED_TRACE("server stalls");
    HttpClientTimeoutsForTesting(2, 1);
    EXPECT_EQ(RunAgainst(Faulty(ServerFault::StallAfterHead, kJsonReply), "big.wav", dir.File("r")),
              OMBRIVOICE_UPLOAD_AUDIO_WRITE_FAILED);
  }
  EXPECT_FALSE(FileExists(dir.File("r")));
}

TEST_F(UploadReply, AWavFileThatShrinksWhileSendingIsAReadFailure) {
  const size_t size = 64 << 20;
  WriteBytes(dir.File("shrinks.wav"), PatternBytes(size));
  std::string path = dir.File("shrinks.wav");
  ServerScript script{kJsonReply};
  script.fault = ServerFault::HoldAfterHead;
  script.onHead = [&] {
    // The upload is blocked on a full connection by now; cut the file under it.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    (void)!truncate(path.c_str(), 1 << 20);
  };
  LoopbackServer server(script);
  Direct(server);
  EXPECT_EQ(Run(path, "k", dir.File("r")), OMBRIVOICE_UPLOAD_WAV_READ_FAILED);
}

TEST_F(UploadReply, ReleasesEveryHandleOnEveryPath) {
  WriteBytes(dir.File("a.wav"), PatternBytes(4096));
  {
    LoopbackServer server(kJsonReply);
    Direct(server);
    ASSERT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_OK);  // libcurl's one-time set-up
  }
  int before = OpenDescriptorCount();
  {
    LoopbackServer server(kJsonReply);  // its own sockets are closed when it goes
    Direct(server);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_OK);
      EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("no/r")), OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED);
      EXPECT_EQ(Run(dir.File("a.wav"), std::string(900, 'k'), dir.File("r")), OMBRIVOICE_UPLOAD_KEY_INVALID);
    }
  }
  HttpClientConnectToForTesting((kApiHost + ":80:127.0.0.1:1").c_str());
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(Run(dir.File("a.wav"), "k", dir.File("r")), OMBRIVOICE_UPLOAD_SEND_BEGIN_FAILED);
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
}

// The reply file exists only once the request went out whole (codes 12 and 999).
TEST_F(UploadFaults, UploadEndsInItsStepCodeForEveryServerFault) {
  ServerScript midBody = Faulty(ServerFault::CloseMidBody);
  midBody.bodyBytesBeforeClose = 1 << 20;
  ServerScript midReply = Faulty(ServerFault::StallMidReply);
  midReply.replyBytesBeforeClose = kFaultReply.size() - 3;
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
TEST_F(UploadFaults, UploadSavesAnAnswerThatComesBeforeTheBody) {
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
TEST_F(UploadFaults, UploadBehindAGatewaySavesItsRefusal) {
  constexpr int kRounds = 12;
  constexpr size_t kFifteenSeconds = 1323044;
  LoopbackServer service(kFaultReply);
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

TEST_F(UploadFaults, UploadSavesAHugeReplyWholeOrReportsTheLoss) {
  ServerScript huge = Faulty(ServerFault::HugeBody);
  huge.hugeBodyBytes = kHugeBody;
  RunCase(Case("huge reply", huge, {OMBRIVOICE_OK}),
          [&](int port) { return Upload(port, "small.wav", dir.File("huge")); });
  EXPECT_TRUE(HoldsHugeBody(dir.File("huge"), kHugeBody));
  std::remove(dir.File("huge").c_str());
  RunCase(Case("huge reply onto a full disk", huge, {OMBRIVOICE_UPLOAD_REPLY_NOT_SAVED}),
          [&](int port) { return Upload(port, "small.wav", "/dev/full"); });
}
