// The job store: states in order, jobs private to their key, the bound on jobs kept, expiry, a
// stop that puts the running job back in the queue of the next store on the folder, keys kept
// only as digests (an older database converted, and nothing left in clear on disk by it or by
// an earlier process), no text of a deleted job left in the database or its log, and outcomes
// that a full disk held back.
#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "service/job_store.h"
#include "service/key_digest.h"
#include "support/gated_processor.h"
#include "support/service_test_support.h"

namespace ombrivoice::service {
namespace {

using testing::GatedProcessor;

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

  TempDir folder_;
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

TEST_F(ServiceJobStore, AKeyKeepsToItsShareAndAnUnreadResultIsNeverDroppedForAnotherKey) {
  JobLimits limits;
  limits.maxJobs = 4;
  limits.maxJobsPerKey = 2;
  auto store = OpenStore(limits);
  const std::string a1 = Accepted(*store, "A", "1");
  Accepted(*store, "A", "2");
  EXPECT_EQ(store->Submit("A", "3").status, SubmitStatus::kKeyFull) << "past A's share, none of it done";
  const std::string b = Accepted(*store, "B", "4");  // the places A could not take
  Accepted(*store, "C", "5");
  gate_.Open();
  ASSERT_TRUE(WaitForState(*store, a1, "A", JobState::kFinished));
  ASSERT_TRUE(WaitForState(*store, b, "B", JobState::kFinished));
  Accepted(*store, "A", "6");  // at its share: its own oldest done job makes room
  EXPECT_FALSE(store->Find(a1, "A"));
  EXPECT_EQ(store->Submit("D", "7").status, SubmitStatus::kFull) << "only unread results of others to drop";
  EXPECT_TRUE(store->Find(b, "B")) << "B's unread result was dropped";
  ASSERT_TRUE(store->Find(b, "B", true));  // B reads its result
  Accepted(*store, "D", "8");
  EXPECT_FALSE(store->Find(b, "B")) << "a read result makes room";
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

// Every byte of every file under folder.
std::string AllBytes(const std::string& folder);

TEST_F(ServiceJobStore, AnExpiredOrEvictedJobLeavesNoTextInTheDatabaseOrItsLog) {
  gate_.Open();
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);  // seconds on a fake clock
  JobLimits limits;
  limits.maxJobs = 2;
  limits.ttl = std::chrono::seconds(60);
  limits.now = [now] { return std::chrono::system_clock::time_point(std::chrono::seconds(now->load())); };
  auto store = OpenStore(limits);
  // The stand-in's text is the upload's size: these two are found nowhere else on disk.
  const std::string expired = Accepted(*store, "k", std::string(73519, 'w'));
  ASSERT_TRUE(WaitForState(*store, expired, "k", JobState::kFinished));
  ASSERT_NE(AllBytes(folder_.path()).find("73519 bytes"), std::string::npos) << "the text as kept";
  *now = 60;
  EXPECT_FALSE(store->Find(expired, "k"));
  EXPECT_EQ(AllBytes(folder_.path()).find("73519 bytes"), std::string::npos) << "an expired job's text";
  const std::string evicted = Accepted(*store, "k", std::string(73520, 'w'));
  ASSERT_TRUE(WaitForState(*store, evicted, "k", JobState::kFinished));
  ASSERT_NE(AllBytes(folder_.path()).find("73520 bytes"), std::string::npos) << "the text as kept";
  Accepted(*store, "k", "x");
  Accepted(*store, "k", "y");  // the store is full: the evicted job makes room
  EXPECT_FALSE(store->Find(evicted, "k"));
  EXPECT_EQ(AllBytes(folder_.path()).find("73520 bytes"), std::string::npos) << "an evicted job's text";
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

// Runs sql on the database at path with secure_delete off, as the version before key digests
// ran: what a change frees keeps its old bytes. With leaveLog, it runs in a child process that
// ends without closing the database, as a killed service does, so the write-ahead log is left
// as it was, keys and all.
void RunUnsafely(const std::string& path, const std::string& sql, bool leaveLog = false) {
  const pid_t child = leaveLog ? fork() : 0;
  if (child == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    char* failure = nullptr;
    const std::string all = "PRAGMA secure_delete = OFF; PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;" + sql;
    const bool ran = sqlite3_exec(db, all.c_str(), nullptr, nullptr, &failure) == SQLITE_OK;
    if (!ran) std::fprintf(stderr, "%s\n", failure);
    if (leaveLog) _exit(ran ? 0 : 1);
    EXPECT_TRUE(ran);
    sqlite3_free(failure);
    sqlite3_close(db);
    return;
  }
  int status = 0;
  EXPECT_TRUE(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Rows of jobs that ended long ago, each owned by a key in clear ("clear-key-expired-N"), and a
// statement that deletes them as expiry does: they leave their keys in the free space.
std::string ExpiredJobs(const char* keyColumn, int first, int count) {
  std::string sql = "BEGIN;";
  for (int i = first; i < first + count; ++i) {
    char row[200];
    std::snprintf(row, sizeof row,
                  "INSERT INTO jobs (id, %s, state, created, done_at_ms, text) VALUES"
                  " ('expired%025d', 'clear-key-expired-%d', 'finished', 1, 1000, 'old');",
                  keyColumn, i, i);
    sql += row;
  }
  return sql + "COMMIT; DELETE FROM jobs WHERE done_at_ms = 1000;";
}

// The database of the version before key digests, as that version wrote it: one finished and
// one queued job (whose upload is on disk), keys in clear; 290 expired jobs deleted without
// overwriting, and, as a kill left it, a write-ahead log with more.
void WriteVersion1Database(const std::string& folder) {
  std::filesystem::create_directories(folder + "/uploads");
  std::ofstream(folder + "/uploads/0123456789abcdef0123456789abcdef.wav") << "queued audio";
  const std::string path = folder + "/jobs.sqlite3";
  RunUnsafely(path,
              "CREATE TABLE jobs (seq INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, api_key TEXT NOT NULL,"
              " state TEXT NOT NULL CHECK (state IN ('queued', 'running', 'finished', 'failed')),"
              " created INTEGER NOT NULL, done_at_ms INTEGER, text TEXT, error TEXT, duration_seconds REAL,"
              " sample_rate INTEGER, channels INTEGER, rms_dbfs REAL, peak_dbfs REAL);"
              "CREATE INDEX jobs_by_state ON jobs (state, seq);"
              "CREATE INDEX jobs_by_done_at ON jobs (done_at_ms);" +
                  ExpiredJobs("api_key", 0, 290) +
                  "INSERT INTO jobs (id, api_key, state, created, done_at_ms, text) VALUES"
                  " ('fedcba9876543210fedcba9876543210', 'clear-key-one', 'finished', 1, 32503680000000, 'old words'),"
                  " ('0123456789abcdef0123456789abcdef', 'clear-key-two', 'queued', 2, NULL, NULL);"
                  "PRAGMA user_version = 1;");
  RunUnsafely(path, ExpiredJobs("api_key", 290, 20), true);
}

// Every byte of every file under folder.
std::string AllBytes(const std::string& folder) {
  std::string bytes;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream file(entry.path(), std::ios::binary);
    bytes.append(std::istreambuf_iterator<char>(file), {});
  }
  return bytes;
}

TEST_F(ServiceJobStore, KeysAreKeptAsDigestsAndAnOlderDatabaseIsConvertedWithNothingLost) {
  WriteVersion1Database(folder_.path());
  ASSERT_NE(AllBytes(folder_.path()).find("clear-key-one"), std::string::npos) << "the old database as written";
  ASSERT_NE(AllBytes(folder_.path()).find("clear-key-expired-1"), std::string::npos) << "its free space";
  ASSERT_NE(AllBytes(folder_.path()).find("clear-key-expired-300"), std::string::npos) << "its log";
  gate_.Open();
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(AllBytes(folder_.path()).find("clear-key"), std::string::npos) << "a key is still on disk once open";
  const std::string fresh = Accepted(*store, "clear-key-three", "new");
  std::optional<JobView> finished = store->Find("fedcba9876543210fedcba9876543210", "clear-key-one");
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->outcome.text, "old words");
  EXPECT_FALSE(store->Find("fedcba9876543210fedcba9876543210", "clear-key-two"));
  ASSERT_TRUE(WaitForState(*store, "0123456789abcdef0123456789abcdef", "clear-key-two", JobState::kFinished));
  EXPECT_EQ(store->Find("0123456789abcdef0123456789abcdef", "clear-key-two")->outcome.text, "12 bytes");
  ASSERT_TRUE(WaitForState(*store, fresh, "clear-key-three", JobState::kFinished));
  store.reset();
  const std::string bytes = AllBytes(folder_.path());
  EXPECT_EQ(bytes.find("clear-key"), std::string::npos) << "a key is still on disk once closed";
  EXPECT_NE(bytes.find(KeyDigest("clear-key-one")), std::string::npos);
  std::string error;
  EXPECT_NE(JobStore::Open(folder_.path(), JobLimits{}, gate_, &error), nullptr) << error << " (reopened)";
}

TEST_F(ServiceJobStore, AStartClearsKeysThatAnEarlierProcessLeftInFreeSpace) {
  // A database of this version whose free space holds keys in clear: what a process that died
  // between a conversion's commit and its compaction leaves.
  gate_.Open();
  std::string kept;
  {
    auto store = OpenStore();
    ASSERT_NE(store, nullptr);
    kept = Accepted(*store, "the-owner", "x");
  }
  const std::string path = folder_.path() + "/jobs.sqlite3";
  RunUnsafely(path, ExpiredJobs("key_digest", 0, 100));
  RunUnsafely(path, ExpiredJobs("key_digest", 100, 20), true);
  ASSERT_NE(AllBytes(folder_.path()).find("clear-key-expired-1"), std::string::npos) << "the database as left";
  ASSERT_NE(AllBytes(folder_.path()).find("clear-key-expired-110"), std::string::npos) << "the log as left";
  auto store = OpenStore();
  ASSERT_NE(store, nullptr);
  EXPECT_EQ(AllBytes(folder_.path()).find("clear-key"), std::string::npos) << "a key is still on disk once open";
  EXPECT_TRUE(store->Find(kept, "the-owner"));
}

// The status of RunOnAFullDisk when no small disk can be made (no root, or no mount namespace).
constexpr int kNoSmallDisk = 77;

// In a forked child: mounts a 1 MiB tmpfs on folder in a mount namespace of its own, runs a
// job whose outcome meets the full disk, and frees the disk. 0 when the job stayed running
// while the disk was full and was finished once space returned; the failure on stderr otherwise.
int RunOnAFullDisk(const std::string& folder) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) {
    return kNoSmallDisk;
  }
  GatedProcessor gate;
  std::string error;
  std::unique_ptr<JobStore> store = JobStore::Open(folder, JobLimits{}, gate, &error);
  const SubmitResult submitted = store ? store->Submit("k", "x") : SubmitResult();
  if (submitted.status != SubmitStatus::kAccepted || !gate.WaitStarted(1)) {
    std::fprintf(stderr, "the job was not taken: %s %s\n", error.c_str(), submitted.error.c_str());
    return 1;
  }
  const std::string filler = folder + "/filler";
  std::ofstream fill(filler, std::ios::binary);
  const std::string piece(4096, 'f');
  while (fill.write(piece.data(), piece.size()) && fill.flush()) {
  }
  fill.close();  // an open file keeps its space after it is removed
  gate.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::optional<JobView> held = store->Find(submitted.id, "k");
  if (!held || held->state != JobState::kRunning) {
    std::fprintf(stderr, "while the disk was full the job was not left running\n");
    return 1;
  }
  std::filesystem::remove(filler);
  if (!WaitForState(*store, submitted.id, "k", JobState::kFinished)) {
    std::fprintf(stderr, "the job was not finished once space returned\n");
    return 1;
  }
  return 0;
}

TEST_F(ServiceJobStore, AnOutcomeAFullDiskHeldBackIsCommittedOnceSpaceReturns) {
  const pid_t child = fork();
  if (child == 0) _exit(RunOnAFullDisk(folder_.path()));
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == kNoSmallDisk) GTEST_SKIP() << "a small disk needs root and a mount namespace";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the reason above";
}

}  // namespace
}  // namespace ombrivoice::service
