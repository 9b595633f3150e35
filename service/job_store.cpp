// The job store: a map of jobs under one mutex, a queue the worker thread drains, expiry of
// done jobs checked whenever the store is used, and random job ids.
#include "service/job_store.h"

#include <exception>
#include <random>

namespace ombrivoice::service {
namespace {

constexpr int kJobIdWords = 2;  // two 64-bit random words: 32 hex digits, not guessable

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

bool IsDone(JobState state) {
  return state == JobState::kFinished || state == JobState::kFailed;
}

}  // namespace

const char* JobStateName(JobState state) {
  switch (state) {
    case JobState::kQueued: return "queued";
    case JobState::kRunning: return "running";
    case JobState::kFinished: return "finished";
    case JobState::kFailed: return "failed";
  }
  return "failed";
}

JobStore::JobStore(JobLimits limits, JobProcessor processor)
    : limits_(std::move(limits)), processor_(std::move(processor)), worker_([this] { WorkerLoop(); }) {}

JobStore::~JobStore() { Stop(); }

void JobStore::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void JobStore::DropExpiredLocked() {
  const auto now = limits_.now();
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (IsDone(it->second.state) && now - it->second.doneAt >= limits_.ttl) {
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
}

// Drops the done job that finished first when the store is full; false when every job kept is
// still queued or running.
bool JobStore::MakeRoomLocked() {
  if (jobs_.size() < limits_.maxJobs) {
    return true;
  }
  auto oldest = jobs_.end();
  for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
    if (IsDone(it->second.state) && (oldest == jobs_.end() || it->second.doneAt < oldest->second.doneAt)) {
      oldest = it;
    }
  }
  if (oldest == jobs_.end()) {
    return false;
  }
  jobs_.erase(oldest);
  return true;
}

std::optional<std::string> JobStore::Submit(const std::string& key, std::string wavBytes) {
  std::string id = NewJobId();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    DropExpiredLocked();
    if (!MakeRoomLocked()) {
      return std::nullopt;
    }
    Job& job = jobs_[id];
    job.key = key;
    job.createdUnixSeconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    job.wavBytes = std::move(wavBytes);
    queue_.push_back(id);
  }
  wake_.notify_one();
  return id;
}

std::optional<JobView> JobStore::Find(const std::string& id, const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpiredLocked();
  auto it = jobs_.find(id);
  if (it == jobs_.end() || it->second.key != key) {
    return std::nullopt;
  }
  JobView view;
  view.id = id;
  view.state = it->second.state;
  view.createdUnixSeconds = it->second.createdUnixSeconds;
  view.outcome = it->second.outcome;
  return view;
}

void JobStore::WorkerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) {
      return;
    }
    const std::string id = queue_.front();
    queue_.pop_front();
    Job& job = jobs_.at(id);  // queued jobs are never dropped, so it is still there
    job.state = JobState::kRunning;
    std::string wavBytes = std::move(job.wavBytes);
    job.wavBytes = std::string();
    lock.unlock();
    JobOutcome outcome;
    try {
      outcome = processor_(wavBytes);
    } catch (const std::exception& failure) {  // memory for a long upload's samples, mostly
      outcome.ok = false;
      outcome.error = std::string("processing failed: ") + failure.what();
    }
    wavBytes = std::string();
    lock.lock();
    Job& done = jobs_.at(id);  // nor are running ones
    done.outcome = std::move(outcome);
    done.state = done.outcome.ok ? JobState::kFinished : JobState::kFailed;
    done.doneAt = limits_.now();
  }
}

}  // namespace ombrivoice::service
