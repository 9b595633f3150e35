// The job states' names, one table read both ways.
#include "service/job_types.h"

namespace ombrivoice::service {
namespace {

struct StateName {
  JobState state;
  const char* name;
};
constexpr StateName kStateNames[] = {
    {JobState::kQueued, "queued"},
    {JobState::kRunning, "running"},
    {JobState::kFinished, "finished"},
    {JobState::kFailed, "failed"},
};

}  // namespace

const char* JobStateName(JobState state) {
  for (const StateName& entry : kStateNames) {
    if (entry.state == state) return entry.name;
  }
  return "failed";
}

std::optional<JobState> JobStateFromName(std::string_view name) {
  for (const StateName& entry : kStateNames) {
    if (name == entry.name) return entry.state;
  }
  return std::nullopt;
}

}  // namespace ombrivoice::service
