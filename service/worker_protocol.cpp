// The worker protocol on nlohmann JSON: invalid UTF-8 in a path or a text is sent as U+FFFD
// rather than failing the job, and a reply missing a field is no reply.
#include "service/worker_protocol.h"

#include <unistd.h>

#include <cerrno>

#include <nlohmann/json.hpp>

namespace ombrivoice::service {
namespace {

using Json = nlohmann::json;

std::string Line(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

Json Parsed(const std::string& line) {
  Json value = Json::parse(line, nullptr, false);
  return value.is_object() ? value : Json(Json::value_t::discarded);
}

}  // namespace

std::string RequestLine(const std::string& audioPath) { return Line(Json{{"audio", audioPath}}); }

std::optional<std::string> AudioPathOf(const std::string& line) {
  const Json request = Parsed(line);
  if (request.is_discarded() || !request.contains("audio") || !request["audio"].is_string()) {
    return std::nullopt;
  }
  return request["audio"].get<std::string>();
}

std::string OutcomeLine(const JobOutcome& outcome) {
  Json reply{{"ok", outcome.ok}, {"text", outcome.text}, {"error", outcome.error}};
  if (outcome.haveFacts) {
    const AudioFacts& facts = outcome.facts;
    reply["facts"] = {{"duration_seconds", facts.durationSeconds}, {"sample_rate", facts.sampleRate},
                      {"channels", facts.channels}, {"rms_dbfs", facts.rmsDbfs}, {"peak_dbfs", facts.peakDbfs}};
  }
  return Line(reply);
}

std::optional<JobOutcome> OutcomeOf(const std::string& line) {
  const Json reply = Parsed(line);
  JobOutcome outcome;
  try {
    reply.at("ok").get_to(outcome.ok);
    reply.at("text").get_to(outcome.text);
    reply.at("error").get_to(outcome.error);
    outcome.haveFacts = reply.contains("facts");
    if (outcome.haveFacts) {
      const Json& facts = reply["facts"];
      facts.at("duration_seconds").get_to(outcome.facts.durationSeconds);
      facts.at("sample_rate").get_to(outcome.facts.sampleRate);
      facts.at("channels").get_to(outcome.facts.channels);
      facts.at("rms_dbfs").get_to(outcome.facts.rmsDbfs);
      facts.at("peak_dbfs").get_to(outcome.facts.peakDbfs);
    }
  } catch (const Json::exception&) {  // a discarded value or a field missing or of another type
    return std::nullopt;
  }
  return outcome;
}

bool WriteWhole(int descriptor, const std::string& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = write(descriptor, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace ombrivoice::service
