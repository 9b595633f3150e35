// The job processor of the real service: reads the uploaded WAV, measures it, resamples it to
// 16 kHz mono and runs the recogniser, which it loads on the first job.
#ifndef OMBRIVOICE_SERVICE_TRANSCRIPTION_H
#define OMBRIVOICE_SERVICE_TRANSCRIPTION_H

#include <memory>
#include <string>

#include "service/job_types.h"
#include "service/recognizer.h"

namespace ombrivoice::service {

class Transcriber {
 public:
  explicit Transcriber(std::string modelDir) : modelDir_(std::move(modelDir)) {}

  // One job's work; called on the worker thread only, so the recogniser needs no lock.
  JobOutcome operator()(const std::string& wavBytes);

 private:
  std::string modelDir_;
  std::unique_ptr<Recognizer> recognizer_;  // loaded by the first job that needs it
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_TRANSCRIPTION_H
