// A stand-in job processor for the tests: each job waits until the test releases it, then
// yields a fixed outcome, so a test can see a job queued, running and done.
#ifndef OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H
#define OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <limits>
#include <mutex>
#include <string>

#include "service/job_store.h"

namespace ombrivoice::service::testing {

class GatedProcessor : public JobProcessor {
 public:
  // Lets count more jobs finish (or all jobs, from now on, with Open(), which may be called
  // again: the count stops at its largest value).
  void Release(int count = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    permits_ = count > std::numeric_limits<int>::max() - permits_ ? std::numeric_limits<int>::max() : permits_ + count;
    changed_.notify_all();
  }
  void Open() { Release(1 << 30); }

  // Waits until count jobs have started; false after five seconds.
  bool WaitStarted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return started_ >= count; });
  }

  // The outcome text is the upload's byte count; an upload of "fail" fails.
  JobOutcome Process(const std::string& audioPath) override {
    std::ifstream file(audioPath, std::ios::binary);
    const std::string wav((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::unique_lock<std::mutex> lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return permits_ > 0 || cancelled_; });
    JobOutcome outcome;
    outcome.cancelled = cancelled_;
    if (cancelled_) return outcome;
    --permits_;
    outcome.ok = wav != "fail";
    outcome.text = std::to_string(wav.size()) + " bytes";
    outcome.error = outcome.ok ? "" : "told to fail";
    return outcome;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int permits_ = 0;         // jobs allowed to finish
  int started_ = 0;         // jobs the worker has begun
  bool cancelled_ = false;  // Cancel was called: every job returns at once
};

}  // namespace ombrivoice::service::testing

#endif  // OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H
