// The job store: states in order, jobs private to their key, the bound on jobs kept, expiry.
#include <gtest/gtest.h>

#include <thread>

#include "service/job_store.h"
#include "support/gated_processor.h"

namespace ombrivoice::service {
namespace {

using testing::GatedProcessor;

// Polls until the job reaches state; false after five seconds.
bool WaitForState(JobStore& store, const std::string& id, const std::string& key, JobState state) {
  for (int i = 0; i < 500; ++i) {
    std::optional<JobView> job = store.Find(id, key);
    if (job && job->state == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(ServiceJobStore, JobsRunInOrderThroughEveryState) {
  GatedProcessor gate;
  JobStore store(JobLimits{}, gate.Processor());
  std::string first = store.Submit("k", "abc").value();
  std::string second = store.Submit("k", "fail").value();
  EXPECT_NE(first, second);
  EXPECT_EQ(first.size(), 32u);
  ASSERT_TRUE(gate.WaitStarted(1));
  EXPECT_EQ(store.Find(first, "k")->state, JobState::kRunning);
  EXPECT_EQ(store.Find(second, "k")->state, JobState::kQueued);
  gate.Open();
  ASSERT_TRUE(WaitForState(store, first, "k", JobState::kFinished));
  EXPECT_EQ(store.Find(first, "k")->outcome.text, "3 bytes");
  ASSERT_TRUE(WaitForState(store, second, "k", JobState::kFailed));
  EXPECT_EQ(store.Find(second, "k")->outcome.error, "told to fail");
}

TEST(ServiceJobStore, AJobIsVisibleOnlyWithTheKeyThatSubmittedIt) {
  GatedProcessor gate;
  gate.Open();
  JobStore store(JobLimits{}, gate.Processor());
  std::string id = store.Submit("owner", "x").value();
  EXPECT_TRUE(store.Find(id, "owner"));
  EXPECT_FALSE(store.Find(id, "someone else"));
  EXPECT_FALSE(store.Find("0123456789abcdef0123456789abcdef", "owner"));
}

TEST(ServiceJobStore, FullStoreDropsOldestDoneJobButNeverUnfinishedOnes) {
  GatedProcessor gate;
  JobLimits limits;
  limits.maxJobs = 2;
  JobStore store(limits, gate.Processor());
  std::string done = store.Submit("k", "1").value();
  gate.Release(1);
  ASSERT_TRUE(WaitForState(store, done, "k", JobState::kFinished));
  std::string running = store.Submit("k", "2").value();
  ASSERT_TRUE(gate.WaitStarted(2));
  std::string queued = store.Submit("k", "3").value();  // takes the done job's place
  EXPECT_FALSE(store.Find(done, "k"));
  EXPECT_FALSE(store.Submit("k", "4"));                 // two unfinished jobs: full
  EXPECT_TRUE(store.Find(running, "k"));
  EXPECT_TRUE(store.Find(queued, "k"));
  gate.Open();
}

TEST(ServiceJobStore, DoneJobsExpireAfterTheirTimeToLive) {
  GatedProcessor gate;
  gate.Open();
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);  // seconds on a fake clock
  JobLimits limits;
  limits.ttl = std::chrono::seconds(60);
  limits.now = [now] { return std::chrono::steady_clock::time_point(std::chrono::seconds(now->load())); };
  JobStore store(limits, gate.Processor());
  std::string id = store.Submit("k", "x").value();
  ASSERT_TRUE(WaitForState(store, id, "k", JobState::kFinished));
  *now = 59;
  EXPECT_TRUE(store.Find(id, "k"));
  *now = 60;
  EXPECT_FALSE(store.Find(id, "k"));
}

TEST(ServiceJobStore, StopFinishesTheRunningJobAndReturns) {
  GatedProcessor gate;
  JobStore store(JobLimits{}, gate.Processor());
  std::string id = store.Submit("k", "x").value();
  ASSERT_TRUE(gate.WaitStarted(1));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gate.Release();
  });
  store.Stop();
  releaser.join();
  EXPECT_EQ(store.Find(id, "k")->state, JobState::kFinished);
}

}  // namespace
}  // namespace ombrivoice::service
