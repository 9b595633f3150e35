// What the service knows of a job: its state, the outcome of processing its upload, and the
// copy of it that the replies show.
#ifndef OMBRIVOICE_SERVICE_JOB_TYPES_H
#define OMBRIVOICE_SERVICE_JOB_TYPES_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/audio_prep.h"

namespace ombrivoice::service {

enum class JobState { kQueued, kRunning, kFinished, kFailed };

// "queued", "running", "finished" or "failed": the names the JSON replies and the database use.
const char* JobStateName(JobState state);
// The state named name, or nothing for any other text.
std::optional<JobState> JobStateFromName(std::string_view name);

// What processing one upload yields.
struct JobOutcome {
  bool ok = false;
  std::string text;        // the recognised words when ok
  std::string error;       // why it failed when !ok
  bool haveFacts = false;
  AudioFacts facts;        // set when haveFacts, even when recognition then failed
  bool cancelled = false;  // cut short by a shutdown: the job goes back to the queue
};

// A copy of a job as the replies show it.
struct JobView {
  std::string id;
  JobState state = JobState::kQueued;
  std::int64_t createdUnixSeconds = 0;
  JobOutcome outcome;      // meaningful once finished or failed
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_JOB_TYPES_H
