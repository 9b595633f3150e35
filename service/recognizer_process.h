// The service's job processor: the recogniser runs in a child process of the service's own
// program (--worker), started by the first job and kept for the next ones. A shutdown kills it
// at once, whatever it is doing, and a crash in it fails one job instead of the service.
#ifndef OMBRIVOICE_SERVICE_RECOGNIZER_PROCESS_H
#define OMBRIVOICE_SERVICE_RECOGNIZER_PROCESS_H

#include <sys/types.h>

#include <mutex>
#include <string>

#include "service/job_store.h"

namespace ombrivoice::service {

// The running program itself, even when its file has been replaced since it started.
constexpr const char* kOwnProgram = "/proc/self/exe";

class RecognizerProcess : public JobProcessor {
 public:
  // program is run as "program --worker --model-dir modelDir".
  RecognizerProcess(std::string program, std::string modelDir)
      : program_(std::move(program)), modelDir_(std::move(modelDir)) {}
  ~RecognizerProcess() override;  // kills the child, if any
  RecognizerProcess(const RecognizerProcess&) = delete;
  RecognizerProcess& operator=(const RecognizerProcess&) = delete;

  JobOutcome Process(const std::string& audioPath) override;
  void Cancel() override;

 private:
  bool StartLocked(std::string* error);
  std::string EndChildLocked();
  bool ReadReply(std::string* line);

  const std::string program_;
  const std::string modelDir_;
  std::mutex mutex_;            // guards the fields below; the pipes are used unlocked by Process
  pid_t child_ = -1;            // the recogniser process, or -1
  int toChild_ = -1;            // its stdin
  int fromChild_ = -1;          // its stdout
  bool cancelled_ = false;      // set by Cancel, for good
  std::string unread_;          // bytes read from the child after the last reply line
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_RECOGNIZER_PROCESS_H
