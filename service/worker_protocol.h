// What the service and its recogniser process say to each other over a pair of pipes: one
// JSON line per job each way, the upload's path out and the job's outcome back.
#ifndef OMBRIVOICE_SERVICE_WORKER_PROTOCOL_H
#define OMBRIVOICE_SERVICE_WORKER_PROTOCOL_H

#include <optional>
#include <string>

#include "service/job_types.h"

namespace ombrivoice::service {

// {"audio":PATH} and a line break.
std::string RequestLine(const std::string& audioPath);
// The path of a request line; nothing when the line is not one.
std::optional<std::string> AudioPathOf(const std::string& line);

// The outcome as one JSON line with its line break (the cancelled mark is not sent).
std::string OutcomeLine(const JobOutcome& outcome);
// The outcome of a reply line; nothing when the line is not one.
std::optional<JobOutcome> OutcomeOf(const std::string& line);

// Writes all of bytes to descriptor, going on after interruptions; false when it fails.
bool WriteWhole(int descriptor, const std::string& bytes);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_WORKER_PROTOCOL_H
