// The HTTP server inside the test's process against clients that push its limits, over real
// loopback sockets: heads trickled one line per read, bodies announced and held back, bodies
// past their address's share, bodies that come too slowly or below the least rate, handlers that throw, the routes' own
// body limit, and a stop beside idle connections, with a body that outlasts its grace, and while clients connect.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>

#include "support/api_server.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

constexpr auto kBetweenWrites = std::chrono::milliseconds(30);

ApiSettings Settings(std::size_t maxBodyBytes = 64 * 1024) {
  ApiSettings settings;
  settings.keys = {"good-key"};
  settings.maxBodyBytes = maxBodyBytes;
  return settings;
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// writes sent one by one on a new connection, kBetweenWrites apart, until the server answers
// or closes; its reply, and in *sent how many of the writes went.
RawReply Trickle(int port, const std::vector<std::string>& writes, std::size_t* sent) {
  const int sock = ConnectLoopback(port);
  const int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each write its own segment
  for (*sent = 0; *sent < writes.size(); ++*sent) {
    if (ReadableWithin(sock, kBetweenWrites) || !SendAll(sock, writes[*sent])) break;
  }
  return Exchange(sock, "");
}

TEST(ServiceHttpServer, AHeadIsBoundedOverAllItsReadsHoweverItIsCut) {
  TempDir data;
  ApiServer server(data.path(), Settings());
  const std::string line = "X: " + std::string(3995, 'a') + "\r\n";  // 4,000 bytes
  // Each write the rest of a line and the first byte of the next: the parser takes every line
  // as it completes, so what it holds at once never nears the limit.
  std::vector<std::string> lineByLine = {"POST /u HTTP/1.1\r\nContent-Length: 0\r\nX"};
  for (int i = 0; i < 98; ++i) lineByLine.push_back(line.substr(1) + "X");
  lineByLine.push_back(": 1\r\n\r\n");
  struct Case {
    const char* what;
    std::vector<std::string> writes;
    int status;
    std::size_t mostWrites;  // the server must answer before more are sent
  };
  const Case cases[] = {
      {"99 lines of 4,000 bytes, one per write", lineByLine, 431, 30},  // 16 KiB pass in the 6th
      {"a request line in two writes, then 20 KB of lines", {"GET /a HT", "TP/1.1\r\n" + line + line + line + line + line},
       431, 2},
      {"a target over 8 KiB in two writes", {"GET /" + std::string(5000, 'a'), std::string(5000, 'a') + " HTTP/1.1\r\n\r\n"},
       414, 2},
  };
  for (const Case& c : cases) {
    std::size_t sent = 0;
    const RawReply reply = Trickle(server.port(), c.writes, &sent);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_LE(sent, c.mostWrites) << c.what;
  }
}

// Sends head, which asks to be told to go on before its body, and reads the server's answer:
// true when it was 100 Continue, sent once the server has taken the head and drawn the body's
// read buffer from the budget.
bool ToldToContinue(int sock, const std::string& head) {
  const std::string expected = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string received;
  char piece[64];
  if (!SendAll(sock, head)) return false;
  for (ssize_t n; received.size() < expected.size() &&
                  (n = recv(sock, piece, std::min(sizeof piece, expected.size() - received.size()), 0)) > 0;) {
    received.append(piece, static_cast<std::size_t>(n));
  }
  return received == expected;
}

// A connection holding a body of length bytes, none of it sent, that the server told to go on;
// -1 when it was refused.
int HeldBody(int port, std::size_t length) {
  const int sock = ConnectLoopback(port);
  if (!ToldToContinue(sock, "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                                std::to_string(length) + "\r\nExpect: 100-continue\r\n\r\n")) {
    close(sock);
    return -1;
  }
  return sock;
}

TEST(ServiceHttpServer, BodiesHoldWhatHasArrivedAndOneAddressNoMoreThanItsShare) {
  TempDir data;
  HttpLimits limits;
  limits.bodyBudgetPerAddressBytes = 48 * 1024;  // under three bodies' 64 KiB read buffers of old
  // Bodies kept whole, so that what arrives is held until the request is answered.
  ApiServer server(data.path(), Settings(), JobLimits{}, limits, [](HttpHandlers& handlers) { handlers.openBody = nullptr; });
  server.gate().Open();
  std::vector<int> held;
  for (int i = 0; i < 3; ++i) held.push_back(HeldBody(server.port(), 10000));
  for (int sock : held) EXPECT_GE(sock, 0) << "an announced length drew the budget";
  const int sock = ConnectLoopback(server.port());
  const RawReply overShare =
      Exchange(sock, "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nContent-Length: 65000\r\n\r\n" +
                         std::string(60000, 'x'));
  EXPECT_EQ(overShare.status, 503) << overShare.body;
  EXPECT_EQ(JsonField(overShare.body, "error"), "busy");
  const std::string wav = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  const RawReply answered = SendRaw(server.port(), UploadRequest(kUploadTarget, UploadBody(kLibraryBoundary, wav, "good-key")));
  EXPECT_EQ(answered.status, 202) << "the refused body gave back what it held: " << answered.body;
  for (int held_sock : held) close(held_sock);
}

TEST(ServiceHttpServer, ABodyBelowTheLeastRateIsCutOffAtTheEndOfItsWindow) {
  TempDir data;
  HttpLimits limits;
  limits.bodyRateWindow = std::chrono::milliseconds(600);
  limits.minBodyBytesPerSecond = 1000;  // 600 bytes in each window
  ApiServer server(data.path(), Settings(), JobLimits{}, limits);
  struct Case {
    std::size_t bytesPerWrite;  // every 50 ms
    bool cut;
  };
  for (const Case c : {Case{10, true}, Case{100, false}}) {  // 200 and 2,000 bytes a second
    const int sock = ConnectLoopback(server.port());
    ASSERT_TRUE(SendAll(sock, "POST /elsewhere HTTP/1.1\r\nContent-Length: 3000\r\n\r\n"));
    const Clock::time_point begin = Clock::now();
    std::size_t sent = 0;
    bool closed = false;
    while (!closed && sent < 3000) {
      closed = ReadableWithin(sock, std::chrono::milliseconds(50)) || !SendAll(sock, std::string(c.bytesPerWrite, 'x'));
      sent += closed ? 0 : c.bytesPerWrite;
    }
    const double after = Seconds(Clock::now() - begin);
    const RawReply reply = Exchange(sock, "");
    EXPECT_EQ(closed, c.cut) << c.bytesPerWrite << " bytes a write, " << after << " s";
    if (c.cut) {
      EXPECT_LT(after, 1.5) << "cut off long after its window";
    } else {
      EXPECT_EQ(reply.status, 404) << "a body at a useful rate is read whole";
    }
  }
}

TEST(ServiceHttpServer, ABodyThatComesTooSlowlyIsCutOffAtItsDeadline) {
  TempDir data;
  HttpLimits limits;
  limits.bodySlack = std::chrono::seconds(1);
  limits.bodyBytesPerSecond = 1000;  // 2,000 bytes: 3 s in all
  limits.minBodyBytesPerSecond = 0;  // no least rate: the deadline alone
  ApiServer server(data.path(), Settings(), JobLimits{}, limits);
  const int sock = ConnectLoopback(server.port());
  ASSERT_TRUE(SendAll(sock, "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nContent-Length: 2000\r\n"
                           "Content-Type: multipart/form-data; boundary=b\r\n\r\n"));
  const Clock::time_point begin = Clock::now();
  // A byte a second keeps within the silence limit of 5 s, and would take 2,000 s.
  bool closed = false;
  while (!closed && Clock::now() - begin < std::chrono::seconds(20)) {
    closed = ClosedWithin(sock, std::chrono::seconds(1)) || !SendAll(sock, "x");
  }
  const double after = Seconds(Clock::now() - begin);
  close(sock);
  EXPECT_TRUE(closed) << "the slow body was still taken after " << after << " s";
  EXPECT_GE(after, 2.5) << "cut off before its deadline";
}

TEST(ServiceHttpServer, AHandlerThatThrowsIsAnswered500AndServingGoesOn) {
  TempDir data;
  ApiServer server(data.path(), Settings(), JobLimits{}, HttpLimits{}, [](HttpHandlers& handlers) {
    handlers.answer = [answer = handlers.answer](const HttpRequest& request) {
      if (request.target() == "/throw") throw std::bad_alloc();
      return answer(request);
    };
    handlers.checkHead = [check = handlers.checkHead](const HttpRequest& head) {
      if (head.count("X-Throw") != 0) throw std::runtime_error("checking the head");
      return check(head);
    };
    handlers.refusal = [refusal = handlers.refusal](int status) {
      if (status == 431) throw std::bad_alloc();
      return refusal(status);
    };
    handlers.log = [](const HttpRequest&, const HttpReply&, std::optional<double>) {
      throw std::runtime_error("logging");
    };
  });
  ExpectAnswers(server.port(), {
      {"the answer throws", "GET /throw HTTP/1.1\r\nHost: x\r\n\r\n", 500, "internal_error"},
      {"the head's check throws", "GET /a HTTP/1.1\r\nX-Throw: 1\r\n\r\n", 500, "internal_error"},
      {"the refusal throws", "GET /a HTTP/1.1\r\n" + std::string(17000, 'a') + "\r\n\r\n", 500, "internal_error"},
      {"then a request that does not", "GET /a HTTP/1.1\r\nHost: x\r\n\r\n", 404, "not_found"},
  });
}

TEST(ServiceHttpServer, AStopEndsIdleConnectionsAtOnceAndAnswersARequestInFlight) {
  TempDir data;
  ApiServer server(data.path(), Settings());
  server.gate().Open();
  std::vector<int> idle;
  for (int i = 0; i < 20; ++i) idle.push_back(ConnectLoopback(server.port()));
  const int halfHead = ConnectLoopback(server.port());
  ASSERT_TRUE(SendAll(halfHead, "GET /1/api/async/job/x HTTP/1.1\r\nHost:"));
  const std::string wav = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  std::string upload = UploadRequest(kUploadTarget, UploadBody(kLibraryBoundary, wav, "good-key"));
  upload.insert(upload.find("\r\n") + 2, "Expect: 100-continue\r\n");
  const std::size_t bodyAt = upload.find("\r\n\r\n") + 4;
  const int inFlight = ConnectLoopback(server.port());
  ASSERT_TRUE(ToldToContinue(inFlight, upload.substr(0, bodyAt))) << "the head taken";
  ASSERT_TRUE(SendAll(inFlight, upload.substr(bodyAt, upload.size() - 100 - bodyAt)));
  bool served = false;
  const Clock::time_point stop = Clock::now();
  std::thread stopper([&] { served = server.Stop(); });
  for (int sock : idle) EXPECT_TRUE(ClosedWithin(sock, std::chrono::seconds(1))) << "an idle connection";
  EXPECT_TRUE(ClosedWithin(halfHead, std::chrono::seconds(1))) << "a head still coming";
  const RawReply answered = Exchange(inFlight, upload.substr(upload.size() - 100));
  stopper.join();
  const double seconds = Seconds(Clock::now() - stop);
  for (int sock : idle) close(sock);
  close(halfHead);
  EXPECT_EQ(answered.status, 202) << answered.body;
  EXPECT_TRUE(served) << "connections were still open at the end of the grace";
  std::printf("a stop beside 21 idle connections and a request in flight: %.3f s\n", seconds);
}

TEST(ServiceHttpServer, AStopEndsWhenItsGraceRunsOutWithABodyStillComing) {
  TempDir data;
  ApiServer server(data.path(), Settings());
  server.gate().Open();
  const int held = HeldBody(server.port(), 10000);
  ASSERT_GE(held, 0);
  const Clock::time_point stop = Clock::now();
  EXPECT_FALSE(server.Stop()) << "a body that never came is still open at the end of the grace";
  const double seconds = Seconds(Clock::now() - stop);
  EXPECT_GE(seconds, 1.4) << "the grace was not given";
  EXPECT_LT(seconds, 5.0) << "the stop waited past its grace";
  close(held);
}

TEST(ServiceHttpServer, TheRoutesHoldToTheirOwnBodyLimit) {
  TempDir data;
  ApiServer server(data.path(), Settings());
  const HttpHandlers handlers = MakeApiHandlers(Settings(1000), server.store());
  HttpRequest head;
  head.method(boost::beast::http::verb::post);
  head.target(kUploadTarget);
  head.set(boost::beast::http::field::content_length, "1001");
  std::optional<HttpReply> refused = handlers.checkHead(head);
  ASSERT_TRUE(refused.has_value()) << "a length over the routes' limit, whatever the server's";
  EXPECT_EQ(refused->result_int(), 413);
  head.set(boost::beast::http::field::content_length, "1000");
  EXPECT_FALSE(handlers.checkHead(head).has_value());
}

TEST(ServiceHttpServer, AStopWhileClientsConnectEndsCleanly) {
  for (int round = 0; round < 3; ++round) {
    TempDir data;
    ApiServer server(data.path(), Settings());
    std::atomic<bool> going{true};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&going, port = server.port()] {
        while (going) {
          const int sock = ConnectLoopback(port);
          if (sock >= 0) close(sock);
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    going = false;
    for (std::thread& client : clients) client.join();
  }
}

}  // namespace
}  // namespace ombrivoice::service
