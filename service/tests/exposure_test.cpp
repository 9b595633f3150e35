// The service program exposed to clients that attack it: header floods, clients that trickle
// their heads, bodies announced large and held back, forms of countless parts, idle connections by the thousand and many
// from one address. Each test prints the figure it measures (memory, answer time, connections
// held) beside its check. The bounds leave room for a loaded machine; under a sanitizer, which
// slows the service several times over and keeps memory of its own, the time bounds are wider
// and memory is printed but not checked.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <vector>
#include <thread>

#include "support/common/service_runner.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFloodBytes = 12 << 20;   // of header lines, on each of four connections
constexpr int kFloods = 4;
constexpr long kFloodGrowthLimitKiB = 64 << 10;
constexpr int kSlowClients = 200;
constexpr auto kSlowLineEvery = std::chrono::seconds(3);
constexpr int kIdleClients = 1000;
constexpr int kPerAddressCap = 128;              // the server's, see http_server.cpp
constexpr auto kHeadDeadline = std::chrono::seconds(10);  // the server's
constexpr int kHeldBodies = 200;
constexpr std::size_t kAnnouncedBody = 64 << 20;  // --max-body-bytes' default
constexpr std::size_t kSentOfEachBody = 256 << 10;
// The body budget, 256 MiB, and the address space glibc reserves for each thread's arena (64 MiB);
// far below the announced lengths, 200 x 64 MiB.
constexpr long kHeldBodiesGrowthLimitKiB = 1 << 20;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
// How much later than its bound a thing may happen: a loaded machine, or a sanitizer, delays
// the service's timers and answers.
constexpr double kLateSeconds = kSanitized ? 15 : 5;

// A field of /proc/PID/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// A socket connected to 127.0.0.1:port from the loopback address source ("127.0.0.5"), so a
// test can be many clients; -1 when that fails.
int ConnectFrom(const std::string& source, int port) {
  const int sock = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &from.sin_addr);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(sock, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(sock);
    return -1;
  }
  return sock;
}

// True when the server has closed sock (or sent something on it) by now.
bool Answered(int sock) { return ReadableWithin(sock, std::chrono::milliseconds(0)); }

RawReply Upload(int port) {
  const std::string wav = MakeWav(16000, 1, 16, Sine(440, 0.3, 16000, 1, 1600));
  return SendRaw(port, UploadRequest(kUploadTarget, UploadBody(kLibraryBoundary, wav, "k")));
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// A service for one test, with descriptors enough on this side for the connections it opens.
class ServiceExposure : public ::testing::Test {
 protected:
  void SetUp() override {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_GT(service_.port(), 0) << service_.firstLine();
    ASSERT_EQ(Upload(service_.port()).status, 202);  // warmed up: the baseline holds a served request
  }
  void TearDown() override { EXPECT_EQ(service_.StopWith(SIGTERM), 0); }

  ServiceRunner service_{{"--key", "k", "--port", "0"}};
};

// One connection sending lines of header until the server stops taking them; the status it
// was answered with, and how many bytes the server took before it closed.
void Flood(int port, int* status, std::size_t* taken) {
  const int sock = ConnectLoopback(port);
  std::string chunk = "GET / HTTP/1.1\r\nHost: x\r\n";
  while (chunk.size() < 64 * 1024) chunk += "a:b\r\n";
  *taken = 0;
  while (*taken < kFloodBytes) {
    const ssize_t sent = send(sock, chunk.data(), chunk.size(), MSG_NOSIGNAL);
    if (sent <= 0) break;
    *taken += static_cast<std::size_t>(sent);
    chunk = std::string(64 * 1024 / 5 * 5, 'a');
    for (std::size_t i = 0; i < chunk.size(); i += 5) chunk.replace(i, 5, "a:b\r\n");
  }
  *status = Exchange(sock, "").status;
}

TEST_F(ServiceExposure, HeaderFloodsAreRefusedWith431AndMemoryStaysFlat) {
  const long before = StatusKiB(service_.pid(), "VmRSS");
  std::vector<std::thread> floods;
  std::vector<int> statuses(kFloods);
  std::vector<std::size_t> taken(kFloods);
  for (int i = 0; i < kFloods; ++i) floods.emplace_back(Flood, service_.port(), &statuses[i], &taken[i]);
  for (std::thread& flood : floods) flood.join();
  const long peak = StatusKiB(service_.pid(), "VmHWM");
  for (int i = 0; i < kFloods; ++i) {
    EXPECT_EQ(statuses[i], 431) << "flood " << i;
    EXPECT_LT(taken[i], kFloodBytes) << "flood " << i << ": the server read the whole flood";
  }
  // What a flooder could send counts the kernel's socket buffers on both sides, some MiB.
  std::printf("header flood (4 connections x 12 MiB of 5-byte lines): all 431, closed after at most %zu KiB sent; "
              "service memory %ld KiB before, peak %ld KiB, grew by at most %ld KiB\n",
              *std::max_element(taken.begin(), taken.end()) >> 10, before, peak, peak - before);
  if (kSanitized) {
    std::printf("(memory not checked: the sanitizer's own bookkeeping dominates it)\n");
  } else {
    EXPECT_LT(peak - before, kFloodGrowthLimitKiB);
  }
  EXPECT_EQ(Upload(service_.port()).status, 202);
}

TEST_F(ServiceExposure, BesideTwoHundredSlowClientsAnUploadIsAnsweredAndTheirHeadsTimeOut) {
  std::vector<int> slow;
  const Clock::time_point begin = Clock::now();  // before any of them connected
  for (int i = 0; i < kSlowClients; ++i) {
    slow.push_back(ConnectFrom(i % 2 == 0 ? "127.0.0.2" : "127.0.0.3", service_.port()));
    ASSERT_GE(slow.back(), 0);
    ASSERT_TRUE(SendAll(slow.back(), "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\n"));
  }
  std::vector<double> closedAfter(kSlowClients, -1);
  double answerSeconds = -1;
  int answerStatus = 0;
  std::thread upload([&] {
    std::this_thread::sleep_for(std::chrono::seconds(4));  // every slow client is inside its head
    const Clock::time_point asked = Clock::now();
    answerStatus = Upload(service_.port()).status;
    answerSeconds = Seconds(Clock::now() - asked);
  });
  // Each sends a line every 3 s until the server closes it, or long past its deadline.
  const auto giveUp = kHeadDeadline + std::chrono::seconds(static_cast<int>(2 * kLateSeconds));
  Clock::time_point nextLine = begin + kSlowLineEvery;
  int open = kSlowClients;
  while (open > 0 && Clock::now() - begin < giveUp) {
    for (int i = 0; i < kSlowClients; ++i) {
      if (closedAfter[i] < 0 && Answered(slow[i])) {
        closedAfter[i] = Seconds(Clock::now() - begin);
        --open;
      }
    }
    if (Clock::now() >= nextLine) {
      for (int i = 0; i < kSlowClients; ++i) {
        if (closedAfter[i] < 0) SendAll(slow[i], "X-Slow: 1\r\n");
      }
      nextLine += kSlowLineEvery;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  upload.join();
  for (int sock : slow) close(sock);
  const auto [first, last] = std::minmax_element(closedAfter.begin(), closedAfter.end());
  std::printf("beside %d clients sending a header line every 3 s: the upload was answered %d in %.3f s; %d of "
              "their heads were cut off, %.1f to %.1f s after the first connected\n",
              kSlowClients, answerStatus, answerSeconds, kSlowClients - open, *first, *last);
  EXPECT_EQ(answerStatus, 202);
  EXPECT_LT(answerSeconds, kLateSeconds);
  EXPECT_EQ(open, 0) << "slow heads outlived their deadline by more than " << 2 * kLateSeconds << " s";
  // Each deadline runs from the server's accept, after begin: no cut-off can come sooner.
  EXPECT_GE(*first, Seconds(kHeadDeadline) - 0.05) << "a slow head was cut off before its deadline";
}

// A head that announces a body of --max-body-bytes' default, then part of that body.
std::string HeldBackBody() {
  return "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
         "boundary=b\r\nContent-Length: " +
         std::to_string(kAnnouncedBody) + "\r\n\r\n" + std::string(kSentOfEachBody, 'x');
}

// Waits until the service's resident memory stops growing (by under 1 MiB in 200 ms), at most
// five seconds: it has taken what it was sent.
void WaitUntilSettled(pid_t pid) {
  long last = StatusKiB(pid, "VmRSS");
  for (int i = 0; i < 25; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long now = StatusKiB(pid, "VmRSS");
    if (now - last < 1024) return;
    last = now;
  }
}

TEST_F(ServiceExposure, BodiesAnnouncedLargeAndHeldBackStayWithinTheBodyBudget) {
  const long sizeBefore = StatusKiB(service_.pid(), "VmSize");
  const long residentBefore = StatusKiB(service_.pid(), "VmRSS");
  std::vector<int> held;
  for (int i = 0; i < kHeldBodies; ++i) {
    held.push_back(ConnectFrom(i % 2 == 0 ? "127.0.0.2" : "127.0.0.3", service_.port()));
    ASSERT_GE(held.back(), 0);
    ASSERT_TRUE(SendAll(held.back(), HeldBackBody()));
  }
  WaitUntilSettled(service_.pid());
  const long size = StatusKiB(service_.pid(), "VmSize");
  const long resident = StatusKiB(service_.pid(), "VmRSS");
  const Clock::time_point asked = Clock::now();
  const RawReply honest = Upload(service_.port());
  const double answerSeconds = Seconds(Clock::now() - asked);
  int turnedAway = 0;
  for (int sock : held) turnedAway += Answered(sock) ? 1 : 0;
  for (int sock : held) close(sock);
  std::printf("%d connections each announcing a %zu MiB body and sending %zu KiB of it: %d turned away; service "
              "memory grew by %ld KiB (address space) and %ld KiB (resident); an upload beside them answered %d "
              "in %.3f s\n",
              kHeldBodies, kAnnouncedBody >> 20, kSentOfEachBody >> 10, turnedAway, size - sizeBefore,
              resident - residentBefore, honest.status, answerSeconds);
  EXPECT_EQ(honest.status, 202) << honest.body;
  EXPECT_LT(answerSeconds, kLateSeconds);
  if (kSanitized) {
    std::printf("(memory not checked: the sanitizer's allocator reserves its own address space)\n");
  } else {
    EXPECT_LT(size - sizeBefore, kHeldBodiesGrowthLimitKiB) << "the announced lengths were allocated";
  }
}

// Connections from one address that announce a 64 MiB upload and send sent bytes of it: a
// file part when over one byte, else a byte of preamble.
struct HeldBodies {
  const char* from;
  int count;
  std::size_t sent;
};

std::string HeldUpload(std::size_t sent) {
  std::string body = sent == 1 ? "x" : "--b\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n";
  body.resize(sent, 'x');
  return "POST /1/api/async/recognizespeech/v1 HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/form-data; "
         "boundary=b\r\nContent-Length: " + std::to_string(kAnnouncedBody) + "\r\n\r\n" + body;
}

TEST_F(ServiceExposure, BesideBodiesHeldToTakeTheBudgetAnUploadIsAcceptedAndTheHeldAreCutOff) {
  constexpr auto kTrickleEvery = std::chrono::seconds(3);  // within the silence limit
  constexpr auto kRateWindow = std::chrono::seconds(10);   // the server's, with its least rate
  struct Attack {
    const char* what;
    std::vector<HeldBodies> held;
    bool trickle;  // each held body then sends a byte every kTrickleEvery until cut off
  };
  const Attack attacks[] = {
      {"239 bodies of one byte from two addresses, one more grown to 2 MiB and one more byte",
       {{"127.0.0.2", 120, 1}, {"127.0.0.3", 119, 1}, {"127.0.0.2", 1, 2 << 20}, {"127.0.0.3", 1, 1}}, true},
      {"from one address two bodies of 32 MiB and 126 of one byte", {{"127.0.0.4", 2, 32 << 20}, {"127.0.0.4", 126, 1}},
       false},
  };
  for (const Attack& attack : attacks) {
    std::vector<int> held;
    for (const HeldBodies& bodies : attack.held) {
      for (int i = 0; i < bodies.count; ++i) {
        held.push_back(ConnectFrom(bodies.from, service_.port()));
        ASSERT_GE(held.back(), 0) << attack.what;
        ASSERT_TRUE(SendAll(held.back(), HeldUpload(bodies.sent))) << attack.what;
      }
    }
    WaitUntilSettled(service_.pid());
    const Clock::time_point asked = Clock::now();
    const RawReply honest = Upload(service_.port());
    const double answerSeconds = Seconds(Clock::now() - asked);
    EXPECT_EQ(honest.status, 202) << attack.what << ": " << honest.body;
    EXPECT_LT(answerSeconds, kLateSeconds) << attack.what;
    std::size_t open = held.size();
    const Clock::time_point trickleBegan = Clock::now();
    // One that came fast in its first window is cut off at the end of its second.
    while (attack.trickle && open > 0 && Clock::now() - trickleBegan < 2 * kRateWindow + kTrickleEvery * 3) {
      std::this_thread::sleep_for(kTrickleEvery);
      open = 0;
      for (int sock : held) open += !Answered(sock) && SendAll(sock, "x") ? 1 : 0;
    }
    std::printf("%s: an upload beside them answered %d in %.3f s; %zu of %zu held bodies still open %.0f s after "
                "a byte every 3 s began\n",
                attack.what, honest.status, answerSeconds, open, held.size(), Seconds(Clock::now() - trickleBegan));
    if (attack.trickle) {
      EXPECT_EQ(open, 0u) << "bodies at a byte every 3 s outlived the least rate";
    }
    for (int sock : held) close(sock);
  }
}

TEST_F(ServiceExposure, AKeylessFormOfCountlessTinyPartsIsRefusedWithoutMemoryForEachPart) {
  constexpr long kGrowthLimitKiB = 32 << 10;  // the body is 60 MiB; an entry per part cost 311 MiB
  const std::string part = "--b\r\nContent-Disposition:form-data;name=x\r\n\r\n\r\n";  // 47 bytes
  std::string body;
  body.reserve(60 << 20);
  while (body.size() + part.size() + 7 < (60u << 20)) body += part;
  body += "--b--\r\n";
  const std::size_t parts = body.size() / part.size();
  const long peakBefore = StatusKiB(service_.pid(), "VmHWM");
  const RawReply reply =
      SendRaw(service_.port(), "POST " + std::string(kUploadTarget) + " HTTP/1.1\r\nHost: x\r\nContent-Type: "
                                   "multipart/form-data; boundary=b\r\nContent-Length: " + std::to_string(body.size()) +
                                   "\r\n\r\n" + body);
  WaitUntilSettled(service_.pid());
  const long peakGrowth = StatusKiB(service_.pid(), "VmHWM") - peakBefore;
  std::printf("a keyless %zu MiB form of %zu parts: answered %d %s; the service's peak resident memory grew by %ld KiB\n",
              body.size() >> 20, parts, reply.status, JsonField(reply.body, "error").c_str(), peakGrowth);
  EXPECT_EQ(reply.status, 400) << reply.body;
  EXPECT_NE(JsonField(reply.body, "message").find("more than 64 parts"), std::string::npos) << reply.body;
  if (!kSanitized) {
    EXPECT_LT(peakGrowth, kGrowthLimitKiB);
  }
}

TEST_F(ServiceExposure, AThousandIdleConnectionsAreHeldAndOneAddressIsCapped) {
  const long before = StatusKiB(service_.pid(), "VmRSS");
  const Clock::time_point begin = Clock::now();
  std::vector<int> idle;
  for (int i = 0; i < kIdleClients; ++i) {
    idle.push_back(ConnectFrom("127.0.0." + std::to_string(2 + i / 100), service_.port()));
    ASSERT_GE(idle.back(), 0) << i;
  }
  std::vector<int> oneAddress;
  for (int i = 0; i < kPerAddressCap + 2; ++i) oneAddress.push_back(ConnectFrom("127.0.1.1", service_.port()));
  const Clock::time_point asked = Clock::now();
  const RawReply real = Upload(service_.port());
  const double answerSeconds = Seconds(Clock::now() - asked);
  const long holding = StatusKiB(service_.pid(), "VmRSS");
  // The last two from the one address are over its cap: the server answers them once it has
  // accepted them.
  const auto waitForThem = std::chrono::milliseconds(static_cast<int>(1000 * kLateSeconds));
  const bool bothTurnedAway = ReadableWithin(oneAddress[kPerAddressCap], waitForThem) &&
                              ReadableWithin(oneAddress[kPerAddressCap + 1], waitForThem);
  int held = 0, heldFromOne = 0;
  for (int sock : idle) held += Answered(sock) ? 0 : 1;
  for (int sock : oneAddress) heldFromOne += Answered(sock) ? 0 : 1;
  // Idle heads are cut off 10 s after they connected: the count means something only before.
  const double counted = Seconds(Clock::now() - begin);
  const RawReply turnedAway = Exchange(oneAddress.back(), "");
  oneAddress.pop_back();
  for (int sock : idle) close(sock);
  for (int sock : oneAddress) close(sock);
  std::printf("%d idle connections from 10 addresses: %d held (service memory %ld KiB before, %ld KiB holding "
              "them); a real upload beside them answered %d in %.3f s; one address opening %d: %d held, the rest "
              "turned away with %d\n",
              kIdleClients, held, before, holding, real.status, answerSeconds, kPerAddressCap + 2, heldFromOne,
              turnedAway.status);
  EXPECT_EQ(real.status, 202);
  EXPECT_TRUE(bothTurnedAway);
  EXPECT_EQ(turnedAway.status, 503);
  EXPECT_EQ(JsonField(turnedAway.body, "error"), "busy");
  if (counted < Seconds(kHeadDeadline) - 1) {
    EXPECT_EQ(held, kIdleClients);
    EXPECT_EQ(heldFromOne, kPerAddressCap);
  } else {
    std::printf("(connections held not checked: counted %.1f s after the first connected, when the head deadline "
                "may have cut some off)\n", counted);
  }
}

}  // namespace
}  // namespace ombrivoice::service
