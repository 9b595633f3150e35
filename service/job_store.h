// The job store: accepted uploads waiting for, undergoing or done with recognition, kept in a
// database in the data folder so that they outlive the process, and the one worker thread that
// processes them in order. Bounded in count; finished jobs expire. Keys are kept as digests.
#ifndef OMBRIVOICE_SERVICE_JOB_STORE_H
#define OMBRIVOICE_SERVICE_JOB_STORE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "service/job_database.h"
#include "service/job_types.h"
#include "service/upload_folder.h"

namespace ombrivoice::service {

// Turns one job's stored upload into an outcome.
class JobProcessor {
 public:
  virtual ~JobProcessor() = default;
  // Runs on the store's worker thread; audioPath names the uploaded WAV file.
  virtual JobOutcome Process(const std::string& audioPath) = 0;
  // From any thread: a Process call under way, and every later one, returns at once with an
  // outcome marked cancelled.
  virtual void Cancel() = 0;
};

struct JobLimits {
  std::size_t maxJobs = 100;                      // jobs kept in any state
  // Jobs one key may keep in any state, so that one key cannot take every place: past it, the
  // key's own oldest done job makes room, or its upload is refused. 0: three quarters of
  // maxJobs (75 of 100: 64 uploads of one client at once are all taken, others keep a quarter).
  std::size_t maxJobsPerKey = 0;
  std::chrono::seconds ttl{3600};                 // how long a finished or failed job is kept
  // The wall clock, as the times kept must mean the same to the next process.
  std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
};

enum class SubmitStatus {
  kAccepted,        // queued under the id
  kFull,            // the store holds maxJobs jobs, none of which may make room
  kKeyFull,         // the key keeps maxJobsPerKey jobs, none of them done
  kStorageFailed,   // the upload or its job could not be written (a full disk, mostly)
};

struct SubmitResult {
  SubmitStatus status = SubmitStatus::kStorageFailed;
  std::string id;      // when accepted
  std::string error;   // when the storage failed
};

class JobStore {
 public:
  // Opens the store in dataDir (made when missing): a job that an earlier process left running
  // goes back to the queue, and the worker starts on the queue. nullptr with error when the
  // folder or its database cannot be used, also when another service has it open. processor
  // must outlive the store.
  static std::unique_ptr<JobStore> Open(const std::string& dataDir, JobLimits limits, JobProcessor& processor,
                                        std::string* error);
  ~JobStore();  // Stop()
  JobStore(const JobStore&) = delete;
  JobStore& operator=(const JobStore&) = delete;

  // Stores wavBytes as a new queued job of the owner key. To make room, done jobs are dropped:
  // first those whose result was read, in the order read, then the key's own, oldest first; a
  // result not yet read is never dropped for another key's upload (it waits for its expiry).
  SubmitResult Submit(const std::string& key, std::string_view wavBytes);
  // A fresh name, in the store's upload folder, for an upload to be written to before SubmitFile;
  // a file left there by a process that ended is removed at the next start.
  std::string NewUploadPath() const;
  // As Submit, for an upload already written to the file at path, which is moved into the
  // store when accepted and left where it is otherwise.
  SubmitResult SubmitFile(const std::string& key, const std::string& path);

  // The job with id if it exists, has not expired and was submitted with key. resultRead marks
  // a done job's result read, so that it may make room for other keys' uploads.
  std::optional<JobView> Find(const std::string& id, const std::string& key, bool resultRead = false);

  // Ends the worker at once: the processor is cancelled and the job it was on goes back to the
  // queue. Submit and Find go on working. Call from one thread; idempotent.
  void Stop();

 private:
  JobStore(JobLimits limits, JobProcessor& processor, std::unique_ptr<JobDatabase> db, UploadFolder uploads);
  bool RecoverLocked(std::string* error);
  std::int64_t NowUnixMs() const;
  void DropExpiredLocked();
  SubmitStatus MakeRoomLocked(const std::string& keyDigest);
  SubmitResult Enqueue(const std::string& keyDigest, const std::function<bool(const std::string& id, std::string* error)>& store);
  void Report(const std::string& failed);  // on stderr, with the database's reason
  void WorkerLoop();
  bool CommitLocked(const std::string& id, const JobOutcome& outcome, std::unique_lock<std::mutex>& lock);

  const JobLimits limits_;
  JobProcessor& processor_;
  const UploadFolder uploads_;
  std::mutex mutex_;                        // guards everything below
  std::unique_ptr<JobDatabase> db_;         // every job, in every state
  std::condition_variable wake_;            // signalled on a new job and on stop
  bool stopping_ = false;
  std::deque<std::string> readResults_;     // done jobs whose result was read, in the order read
  std::thread worker_;                      // started last, by Open
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_JOB_STORE_H
