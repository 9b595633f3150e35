// The download against servers that refuse, close early, stall, answer garbage or flood, and a
// thousand failing uploads and downloads in a row: every case ends in its defined code within a
// bound, leaves the files the code promises, and keeps no descriptor. The upload's faults are
// in upload_reply_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "TolvexOmbriVoice.h"
#include "doubles/transfer_overrides.h"
#include "support/loopback_server.h"
#include "support/test_files.h"
#include "support/transfer_cases.h"

namespace {

class HardeningFaults : public ServerFaultTest {};

}  // namespace

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
    LoopbackServer answering(kFaultReply);
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
          code = OmbriVoice(Utf16(dir.File("small.wav")).c_str(), Utf16(longKey).c_str(), Utf16(dir.File("r")).c_str());
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
