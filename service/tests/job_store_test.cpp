// The job store: states in order, jobs private to their key, the bound on jobs kept, expiry,
// and a stop that puts the running job back in the queue of the next store on the folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "service/job_store.h"
#include "support/gated_processor.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using testing::GatedProcessor;
using testing::TempFolder;

// Polls until done() holds; false after five seconds.
bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool WaitForState(JobStore& store, const std::string& id, const std::string& key, JobState state) {
  return WaitUntil([&] {
    std::optional<JobView> job = store.Find(id, key);
    return job && job->state == state;
  });
}

class ServiceJobStore : public ::testing::Test {
 protected:
  std::unique_ptr<JobStore> OpenStore(JobLimits limits = JobLimits{}) {
    std::string error;
    std::unique_ptr<JobStore> store = JobStore::Open(folder_.path(), std::move(limits), gate_, &error);
    EXPECT_NE(store, nullptr) << error;
    return store;
  }

  // The id of a job that must be accepted.
  static std::string Accepted(JobStore& store, const std::string& key, const std::string& wav) {
    SubmitResult submitted = store.Submit(key, wav);
    EXPECT_EQ(submitted.status, SubmitStatus::kAccepted) << submitted.error;
    return submitted.id;
  }

  TempFolder folder_;
  GatedProcessor gate_;
};

TEST_F(ServiceJobStore, JobsRunInOrderThroughEveryState) {
  auto store = OpenStore();
  std::string first = Accepted(*store, "k", "abc");
  std::string second = Accepted(*store, "k", "fail");
  EXPECT_NE(first, second);
  EXPECT_EQ(first.size(), 32u);
  ASSERT_TRUE(gate_.WaitStarted(1));
  EXPECT_EQ(store->Find(first, "k")->state, JobState::kRunning);
  EXPECT_EQ(store->Find(second, "k")->state, JobState::kQueued);
  gate_.Open();
  ASSERT_TRUE(WaitForState(*store, first, "k", JobState::kFinished));
  EXPECT_EQ(store->Find(first, "k")->outcome.text, "3 bytes");
  ASSERT_TRUE(WaitForState(*store, second, "k", JobState::kFailed));
  EXPECT_EQ(store->Find(second, "k")->outcome.error, "told to fail");
  // Done jobs keep no upload: each is removed just after its outcome is committed.
  EXPECT_TRUE(WaitUntil([this] { return std::filesystem::is_empty(folder_.path() + "/uploads"); }));
}

TEST_F(ServiceJobStore, AJobIsVisibleOnlyWithTheKeyThatSubmittedIt) {
  gate_.Open();
  auto store = OpenStore();
  std::string id = Accepted(*store, "owner", "x");
  EXPECT_TRUE(store->Find(id, "owner"));
  EXPECT_FALSE(store->Find(id, "someone else"));
  EXPECT_FALSE(store->Find("0123456789abcdef0123456789abcdef", "owner"));
}

TEST_F(ServiceJobStore, FullStoreDropsOldestDoneJobButNeverUnfinishedOnes) {
  JobLimits limits;
  limits.maxJobs = 2;
  auto store = OpenStore(limits);
  std::string done = Accepted(*store, "k", "1");
  gate_.Release(1);
  ASSERT_TRUE(WaitForState(*store, done, "k", JobState::kFinished));
  std::string running = Accepted(*store, "k", "2");
  ASSERT_TRUE(gate_.WaitStarted(2));
  std::string queued = Accepted(*store, "k", "3");  // takes the done job's place
  EXPECT_FALSE(store->Find(done, "k"));
  EXPECT_EQ(store->Submit("k", "4").status, SubmitStatus::kFull);  // two unfinished jobs: full
  EXPECT_TRUE(store->Find(running, "k"));
  EXPECT_TRUE(store->Find(queued, "k"));
  gate_.Open();
}

TEST_F(ServiceJobStore, DoneJobsExpireAfterTheirTimeToLive) {
  gate_.Open();
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);  // seconds on a fake clock
  JobLimits limits;
  limits.ttl = std::chrono::seconds(60);
  limits.now = [now] { return std::chrono::system_clock::time_point(std::chrono::seconds(now->load())); };
  auto store = OpenStore(limits);
  std::string id = Accepted(*store, "k", "x");
  ASSERT_TRUE(WaitForState(*store, id, "k", JobState::kFinished));
  *now = 59;
  EXPECT_TRUE(store->Find(id, "k"));
  *now = 60;
  EXPECT_FALSE(store->Find(id, "k"));
}

TEST_F(ServiceJobStore, StopRequeuesTheRunningJobForTheNextStoreOnTheFolder) {
  auto store = OpenStore();
  std::string running = Accepted(*store, "k", "x");
  std::string queued = Accepted(*store, "k", "yz");
  ASSERT_TRUE(gate_.WaitStarted(1));
  store->Stop();  // returns although the gate is shut
  EXPECT_EQ(store->Find(running, "k")->state, JobState::kQueued);
  std::string error;
  EXPECT_EQ(JobStore::Open(folder_.path(), JobLimits{}, gate_, &error), nullptr) << "a second store on the folder";
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
  store.reset();

  GatedProcessor next;
  next.Open();
  std::unique_ptr<JobStore> reopened = JobStore::Open(folder_.path(), JobLimits{}, next, &error);
  ASSERT_NE(reopened, nullptr) << error;
  ASSERT_TRUE(WaitForState(*reopened, running, "k", JobState::kFinished));
  EXPECT_EQ(reopened->Find(running, "k")->outcome.text, "1 bytes");
  ASSERT_TRUE(WaitForState(*reopened, queued, "k", JobState::kFinished));
  EXPECT_EQ(reopened->Find(queued, "k")->outcome.text, "2 bytes");
}

}  // namespace
}  // namespace ombrivoice::service
