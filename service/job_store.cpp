// The job store: the database and the upload folder under one mutex, a worker thread that
// claims the oldest queued job, expiry of done jobs checked whenever the store is used, and
// random job ids. A job is committed only once its upload is whole on disk, and its upload is
// removed only once its outcome is committed, so a kill at any moment loses nothing accepted.
#include "service/job_store.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <random>
#include <set>
#include <vector>

#include "service/key_digest.h"

namespace ombrivoice::service {
namespace {

// While the database refuses a job's outcome (a full disk, mostly), the worker tries again this
// often, so the job is committed once space returns.
constexpr auto kCommitRetry = std::chrono::seconds(1);

constexpr int kJobIdWords = 2;  // two 64-bit random words: 32 hex digits, not guessable
constexpr const char* kDatabaseName = "/jobs.sqlite3";
constexpr const char* kUploadsName = "/uploads";

std::string NewJobId() {
  static std::mutex generatorMutex;
  static std::random_device device;
  std::lock_guard<std::mutex> lock(generatorMutex);
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (int word = 0; word < kJobIdWords; ++word) {
    std::uint64_t bits = static_cast<std::uint64_t>(device()) << 32 | device();
    for (int digit = 0; digit < 16; ++digit, bits >>= 4) {
      id.push_back(kHex[bits & 0xF]);
    }
  }
  return id;
}

SubmitResult Refused(SubmitStatus status, std::string error = "") {
  SubmitResult result;
  result.status = status;
  result.error = std::move(error);
  return result;
}

}  // namespace

std::unique_ptr<JobStore> JobStore::Open(const std::string& dataDir, JobLimits limits, JobProcessor& processor,
                                         std::string* error) {
  if (!MakePrivateFolder(dataDir, error) || !MakePrivateFolder(dataDir + kUploadsName, error)) {
    return nullptr;
  }
  std::unique_ptr<JobDatabase> db = JobDatabase::Open(dataDir + kDatabaseName, error);
  if (db == nullptr) {
    return nullptr;
  }
  std::unique_ptr<JobStore> store(
      new JobStore(std::move(limits), processor, std::move(db), UploadFolder(dataDir + kUploadsName)));
  {
    std::lock_guard<std::mutex> lock(store->mutex_);
    if (!store->RecoverLocked(error)) {
      return nullptr;
    }
  }
  store->worker_ = std::thread([raw = store.get()] { raw->WorkerLoop(); });
  return store;
}

JobStore::JobStore(JobLimits limits, JobProcessor& processor, std::unique_ptr<JobDatabase> db, UploadFolder uploads)
    : limits_(std::move(limits)), processor_(processor), uploads_(std::move(uploads)), db_(std::move(db)) {}

JobStore::~JobStore() { Stop(); }

// What a process that ended left: its running job goes back to the queue; a queued job whose
// upload is gone fails; uploads of no queued job are removed.
bool JobStore::RecoverLocked(std::string* error) {
  if (!db_->RequeueRunning()) {
    *error = "cannot requeue the jobs left running: " + db_->LastError();
    return false;
  }
  std::set<std::string> queued;
  for (const std::string& id : db_->QueuedIds()) {
    if (uploads_.Has(id)) {
      queued.insert(id);
      continue;
    }
    JobOutcome lost;
    lost.error = "the uploaded audio was lost before the job ran";
    if (!db_->Finish(id, lost, NowUnixMs())) Report("record the loss of job " + id);
  }
  uploads_.RemoveAllBut(queued);
  DropExpiredLocked();
  return true;
}

void JobStore::Stop() {
  if (!worker_.joinable()) {
    return;  // stopped already, or never started: the processor is left as it is
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  processor_.Cancel();
  wake_.notify_all();
  worker_.join();
}

std::int64_t JobStore::NowUnixMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(limits_.now().time_since_epoch()).count();
}

void JobStore::DropExpiredLocked() {
  const std::int64_t ttlMs = std::chrono::duration_cast<std::chrono::milliseconds>(limits_.ttl).count();
  if (!db_->DeleteDoneBefore(NowUnixMs() - ttlMs)) Report("drop the expired jobs");
}

// Makes room for a job of the key of keyDigest: past the key's share its own oldest done job
// goes; when the store is full a read result goes, else the key's own oldest done job.
SubmitStatus JobStore::MakeRoomLocked(const std::string& keyDigest) {
  const std::optional<std::size_t> own = db_->CountOf(keyDigest);
  if (!own) return SubmitStatus::kFull;
  const std::size_t share = limits_.maxJobsPerKey != 0 ? limits_.maxJobsPerKey : limits_.maxJobs - limits_.maxJobs / 4;
  if (*own >= share) {
    if (db_->DeleteOldestDoneOf(keyDigest)) return SubmitStatus::kAccepted;
    return *own >= limits_.maxJobs ? SubmitStatus::kFull : SubmitStatus::kKeyFull;  // the key's jobs fill it all
  }
  const std::optional<std::size_t> count = db_->Count();
  if (!count) return SubmitStatus::kFull;
  if (*count < limits_.maxJobs) return SubmitStatus::kAccepted;
  while (!readResults_.empty()) {  // ids that expired meanwhile are gone already: skipped
    const std::string id = std::move(readResults_.front());
    readResults_.pop_front();
    if (db_->DeleteDone(id)) return SubmitStatus::kAccepted;
  }
  return db_->DeleteOldestDoneOf(keyDigest) ? SubmitStatus::kAccepted : SubmitStatus::kFull;
}

void JobStore::Report(const std::string& failed) {
  std::fprintf(stderr, "ombrivoice-service: cannot %s: %s\n", failed.c_str(), db_->LastError().c_str());
}

SubmitResult JobStore::Submit(const std::string& key, std::string_view wavBytes) {
  return Enqueue(KeyDigest(key), [this, wavBytes](const std::string& id, std::string* error) {
    return uploads_.Write(id, wavBytes, error);
  });
}

std::string JobStore::NewUploadPath() const { return uploads_.IncomingPath(NewJobId()); }

SubmitResult JobStore::SubmitFile(const std::string& key, const std::string& path) {
  return Enqueue(KeyDigest(key), [this, &path](const std::string& id, std::string* error) {
    return uploads_.MoveIn(id, path, error);
  });
}

// Queues a new job once store has put its upload in place: a full store is told before the
// upload is stored, and told again if others took the room meanwhile.
SubmitResult JobStore::Enqueue(const std::string& keyDigest,
                               const std::function<bool(const std::string& id, std::string* error)>& store) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpiredLocked();
    const SubmitStatus room = MakeRoomLocked(keyDigest);
    if (room != SubmitStatus::kAccepted) return Refused(room);
  }
  SubmitResult result;
  result.id = NewJobId();
  if (!store(result.id, &result.error)) {
    return Refused(SubmitStatus::kStorageFailed, result.error);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  const SubmitStatus room = MakeRoomLocked(keyDigest);
  if (room != SubmitStatus::kAccepted) {
    lock.unlock();
    uploads_.Remove(result.id);
    return Refused(room);
  }
  const auto created = std::chrono::duration_cast<std::chrono::seconds>(limits_.now().time_since_epoch());
  if (!db_->Insert(result.id, keyDigest, created.count())) {
    const std::string error = "cannot record the job: " + db_->LastError();
    lock.unlock();
    uploads_.Remove(result.id);
    return Refused(SubmitStatus::kStorageFailed, error);
  }
  lock.unlock();
  wake_.notify_one();
  result.status = SubmitStatus::kAccepted;
  return result;
}

std::optional<JobView> JobStore::Find(const std::string& id, const std::string& key, bool resultRead) {
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpiredLocked();
  std::optional<JobView> job = db_->Find(id, KeyDigest(key));
  const bool done = job && (job->state == JobState::kFinished || job->state == JobState::kFailed);
  if (done && resultRead && std::find(readResults_.begin(), readResults_.end(), id) == readResults_.end()) {
    readResults_.push_back(id);
    if (readResults_.size() > limits_.maxJobs) readResults_.pop_front();  // ids of expired jobs, mostly
  }
  return job;
}

void JobStore::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  bool claimFailed = false;  // told once, not at every retry
  while (!stopping_) {
    std::optional<std::string> id;
    if (!db_->ClaimNext(&id)) {
      if (!claimFailed) Report("claim the next job; retrying");  // queued jobs wait for the database
      claimFailed = true;
      wake_.wait_for(lock, kCommitRetry);
      continue;
    }
    claimFailed = false;
    if (!id) {
      wake_.wait(lock);
      continue;
    }
    lock.unlock();
    JobOutcome outcome;
    try {
      outcome = processor_.Process(uploads_.PathOf(*id));
    } catch (const std::exception& failure) {  // memory, mostly
      outcome.error = std::string("processing failed: ") + failure.what();
    }
    lock.lock();
    if (CommitLocked(*id, outcome, lock) && !outcome.cancelled) {
      lock.unlock();
      uploads_.Remove(*id);
      lock.lock();
    }
  }
}

// Records the outcome of the job id, or puts it back in the queue when processing was
// cancelled. While the database refuses (a full disk), tries again every kCommitRetry until it
// takes it; false when the store stops first, leaving the job running with its upload, to run
// again at the next start.
bool JobStore::CommitLocked(const std::string& id, const JobOutcome& outcome, std::unique_lock<std::mutex>& lock) {
  for (int attempt = 0;; ++attempt) {
    const bool committed = outcome.cancelled ? db_->Requeue(id) : db_->Finish(id, outcome, NowUnixMs());
    if (committed) {
      if (attempt > 0) std::fprintf(stderr, "ombrivoice-service: job %s recorded at last\n", id.c_str());
      return true;
    }
    if (attempt == 0) Report((outcome.cancelled ? "requeue job " : "record the outcome of job ") + id + "; retrying");
    if (stopping_) return false;
    wake_.wait_for(lock, kCommitRetry);
  }
}

}  // namespace ombrivoice::service
