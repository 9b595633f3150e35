// What the upload's and the download's hostile-input and server-fault tests share: a fixture
// with files set up to be left alone, texts that are not valid UTF-16 and paths of a given
// length; and a fixture with shortened time-outs, scripted faulty servers and the runner of
// one fault case (its code, its time bound, its descriptors).
#ifndef OMBRIVOICE_TESTS_TRANSFER_CASES_H
#define OMBRIVOICE_TESTS_TRANSFER_CASES_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "support/loopback_server.h"
#include "support/test_files.h"

// ---- Uploads to loopback servers ----

// The job reply a recognition API gives an upload, and its body.
extern const std::string kReplyBody;
extern const std::string kJsonReply;

// No proxy, the library's own time-outs, and the API host's connections sent to a loopback
// server by Direct.
class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  void Direct(const LoopbackServer& server);
  int32_t Run(const std::string& wav, const std::string& key, const std::string& reply) {
    return OmbriVoice(Utf16(wav).c_str(), Utf16(key).c_str(), Utf16(reply).c_str());
  }
  TempDir dir;
};

// ---- Hostile input ----

// What the set-up writes into files the calls do not own.
extern const std::string kKept;

// Names in a folder.
std::set<std::string> Listing(const std::string& folder);
// Modification time in nanoseconds, 0 when the file does not exist.
long long ModifiedAt(const std::string& path);
// text with units after it.
std::u16string Append(std::u16string text, std::initializer_list<char16_t> units);
// UTF-16 texts that are not valid UTF-16: each holds a surrogate without its partner.
std::vector<std::u16string> LoneSurrogates(const std::u16string& prefix);
// A path of exactly length bytes under folder, made of nested folders of 200-byte names that
// exist, ending in a file name (which is not created).
std::string PathOfLength(const std::string& folder, size_t length);

// As UploadTest, with in dir a WAV file (a.wav), a plain file and a folder with a file in it,
// which no call may change.
class HostileInputTest : public UploadTest {
 protected:
  void SetUp() override;
  int32_t Upload(const std::u16string& wavPath, const std::u16string& key, const std::u16string& reply) {
    return OmbriVoice(wavPath.c_str(), key.c_str(), reply.c_str());
  }
  // The files the set-up made are all still there as they were.
  void ExpectSetUpIntact();
  std::string wav;
};

// ---- Server faults ----

using Clock = std::chrono::steady_clock;

// The reply the faulty servers give when they get to one.
extern const std::string kFaultReply;
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
struct GarbageReply {
  const char* name;
  const char* reply;
};
extern const std::vector<GarbageReply> kGarbage;

ServerScript Faulty(ServerFault fault, const std::string& reply = kFaultReply);
// Whether the file holds exactly length bytes of HugeBodyByte.
bool HoldsHugeBody(const std::string& path, size_t length);
// A port below the ephemeral range where nothing listens. A freed ephemeral port can be
// picked again as a client's own port, and a connection to it then reaches itself.
inline int RefusingPort() { return 1; }

// Shortened time-outs, no proxy, and small.wav and big.wav in dir.
class ServerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  int32_t Upload(int port, const std::string& wav, const std::string& reply) {
    return UploadVia(false, port, wav, reply);
  }
  // Through the proxy in http_proxy, or straight to the server in place of the API host.
  int32_t UploadVia(bool proxy, int port, const std::string& wav, const std::string& reply);
  int32_t Download(int port, const std::string& path);
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
               Clock::duration bound = kCallBound);
FaultCase Refused(std::set<int32_t> codes);

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

#endif
