// The job store: accepted uploads waiting for, undergoing or done with recognition, and the one
// worker thread that processes them in order. Bounded in count; finished jobs expire.
#ifndef OMBRIVOICE_SERVICE_JOB_STORE_H
#define OMBRIVOICE_SERVICE_JOB_STORE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "service/audio_prep.h"

namespace ombrivoice::service {

enum class JobState { kQueued, kRunning, kFinished, kFailed };

// "queued", "running", "finished" or "failed": the names the JSON replies use.
const char* JobStateName(JobState state);

// What processing one upload yields.
struct JobOutcome {
  bool ok = false;
  std::string text;      // the recognised words when ok
  std::string error;     // why it failed when !ok
  bool haveFacts = false;
  AudioFacts facts;      // set when haveFacts, even when recognition then failed
};

// Turns one uploaded WAV file into an outcome; runs on the worker thread only.
using JobProcessor = std::function<JobOutcome(const std::string& wavBytes)>;

struct JobLimits {
  std::size_t maxJobs = 100;                      // jobs kept in any state
  std::chrono::seconds ttl{3600};                 // how long a finished or failed job is kept
  std::function<std::chrono::steady_clock::time_point()> now = std::chrono::steady_clock::now;
};

// A copy of a job as the replies show it.
struct JobView {
  std::string id;
  JobState state = JobState::kQueued;
  std::int64_t createdUnixSeconds = 0;
  JobOutcome outcome;    // meaningful once finished or failed
};

class JobStore {
 public:
  JobStore(JobLimits limits, JobProcessor processor);
  ~JobStore();  // stops the worker; a job being processed is finished first
  JobStore(const JobStore&) = delete;
  JobStore& operator=(const JobStore&) = delete;

  // Queues wavBytes for the job's owner key and returns the new job id, or nothing when the
  // store is full of jobs that are not done yet (done ones are dropped, oldest first, to make
  // room).
  std::optional<std::string> Submit(const std::string& key, std::string wavBytes);

  // The job with id if it exists, has not expired and was submitted with key.
  std::optional<JobView> Find(const std::string& id, const std::string& key);

  // Ends the worker thread after its current job; queued jobs stay queued. Idempotent.
  void Stop();

 private:
  struct Job {
    std::string key;                                  // the key that submitted it; reads need the same
    JobState state = JobState::kQueued;
    std::int64_t createdUnixSeconds = 0;
    std::chrono::steady_clock::time_point doneAt;     // when it finished or failed
    std::string wavBytes;                             // the upload, released once processed
    JobOutcome outcome;
  };

  void DropExpiredLocked();
  bool MakeRoomLocked();
  void WorkerLoop();

  JobLimits limits_;
  JobProcessor processor_;
  std::mutex mutex_;                        // guards everything below
  std::condition_variable wake_;            // signalled on a new job and on stop
  std::map<std::string, Job> jobs_;         // by id
  std::deque<std::string> queue_;           // ids waiting for the worker, oldest first
  bool stopping_ = false;
  std::thread worker_;                      // started last, in the constructor
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_JOB_STORE_H
