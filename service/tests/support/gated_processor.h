// A stand-in job processor for the tests: each job waits until the test releases it, then
// yields a fixed outcome, so a test can see a job queued, running and done.
#ifndef OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H
#define OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "service/job_store.h"

namespace ombrivoice::service::testing {

class GatedProcessor {
 public:
  // Lets count more jobs finish (or all jobs, from now on, with Open()).
  void Release(int count = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    permits_ += count;
    changed_.notify_all();
  }
  void Open() { Release(1 << 30); }

  // Waits until count jobs have started; false after five seconds.
  bool WaitStarted(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return started_ >= count; });
  }

  // The processor to give the store: outcome text is the WAV's byte count.
  JobProcessor Processor() {
    return [this](const std::string& wav) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++started_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return permits_ > 0; });
      --permits_;
      JobOutcome outcome;
      outcome.ok = wav != "fail";
      outcome.text = std::to_string(wav.size()) + " bytes";
      outcome.error = outcome.ok ? "" : "told to fail";
      return outcome;
    };
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int permits_ = 0;   // jobs allowed to finish
  int started_ = 0;   // jobs the worker has begun
};

}  // namespace ombrivoice::service::testing

#endif  // OMBRIVOICE_SERVICE_TESTS_GATED_PROCESSOR_H
