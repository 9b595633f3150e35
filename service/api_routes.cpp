// The HTTP face of the service: framing checks on the head before the body is read, the three
// routes, and JSON bodies for every error, including requests the server could not read. An
// upload's form is read as it streams (UploadForm), its audio checked where it was written.
#include "service/api_routes.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <variant>

#include <nlohmann/json.hpp>

#include "service/connection_limits.h"
#include "service/key_digest.h"
#include "service/mapped_file.h"
#include "service/multipart.h"
#include "service/request_log.h"
#include "service/upload_form.h"
#include "service/url_query.h"
#include "service/wav_reader.h"

namespace ombrivoice::service {
namespace {

namespace http = boost::beast::http;
using Json = nlohmann::ordered_json;  // fields in the order written, as the replies always had

// Methods that carry a body, which must come with a length.
constexpr const char* kBodyMethods[] = {"POST", "PUT", "PATCH", "DELETE"};

// What every route needs: the settings, the keys as digests, the job store, and the disk that
// uploads still arriving may take before their key is known.
struct Api {
  Api(const ApiSettings& given, JobStore& jobs)
      : settings(given), keys(given.keys), store(jobs), arriving(given.maxArrivingBytes, given.maxArrivingBytes / 4) {}
  const ApiSettings settings;
  const KeyRing keys;
  JobStore& store;
  BodyBudget arriving;
};

// Text that is not UTF-8 (a path, an id from the URL) is sent with U+FFFD in its place.
std::string JsonText(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

HttpReply Error(int status, const char* code, const std::string& message) {
  HttpReply reply(static_cast<http::status>(status), 11);
  reply.body() = JsonText(Json{{"error", code}, {"message", message}});
  return reply;
}

bool IsWholeNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A Range header, which the replies ignore, must still parse as "bytes=" ranges ("0-5",
// "100-", "-20") with no range backwards.
bool RangeParses(const std::string& range) {
  if (range.compare(0, 6, "bytes=") != 0) return false;
  std::size_t at = 6;
  for (;;) {
    while (at < range.size() && range[at] == ' ') ++at;
    const std::size_t dash = range.find('-', at);
    const std::size_t end = std::min(range.find(',', at), range.size());
    if (dash == std::string::npos || dash > end) return false;
    const std::string first = range.substr(at, dash - at), last = range.substr(dash + 1, end - dash - 1);
    if ((first.empty() && last.empty()) || (!first.empty() && !IsWholeNumber(first)) ||
        (!last.empty() && !IsWholeNumber(last))) {
      return false;
    }
    if (!first.empty() && !last.empty() && std::stoull("0" + first.substr(0, 18)) > std::stoull("0" + last.substr(0, 18))) {
      return false;
    }
    if (end == range.size()) return true;
    at = end + 1;
  }
}

HttpReply Refusal(int status) {
  switch (status) {
    case 413: return Error(413, "body_too_large", "the request body is over the service's limit");
    case 414: return Error(414, "malformed_request", "the request target is over the service's limit");
    case 431: return Error(431, "malformed_request", "the request's header lines are over the service's limits");
    case 500: return Error(500, "internal_error", "the service failed to answer the request");
    case 503: return Error(503, "busy", "too many connections or request bodies at once; retry later");
    default: return Error(status, "malformed_request", "the request could not be read");
  }
}

// Refuses a request whose body is not framed by one plain Content-Length, before the body is
// read: without a length a client waiting for its reply would never end the body, and a
// chunked body is not taken. Beast has refused lengths that are not numbers, lengths that
// differ, and a length beside chunked coding. A length over the routes' own body limit is
// refused with 413 as the server refuses one over its limit (the two are the same in the
// service; the routes hold to theirs whichever server they are given to).
std::optional<HttpReply> RefuseHead(const ApiSettings& settings, const HttpRequest& head) {
  std::size_t lengths = 0;
  const auto [firstLength, endLength] = head.equal_range(http::field::content_length);
  for (auto line = firstLength; line != endLength; ++line) {
    const std::string value(line->value());
    if (!IsWholeNumber(value)) {
      return Error(400, "malformed_request", "the Content-Length header is not one whole number");
    }
    // Beast has checked that the number fits 64 bits.
    if (std::stoull(value) > settings.maxBodyBytes) return Refusal(413);
    ++lengths;
  }
  bool expectsBody = false;
  for (const char* method : kBodyMethods) expectsBody = expectsBody || head.method_string() == method;
  if (head.count(http::field::transfer_encoding) != 0 || (expectsBody && lengths == 0)) {
    return Error(411, "length_required", "the request body must come with a Content-Length (and not chunked)");
  }
  const auto range = head.find(http::field::range);
  if (range != head.end() && !RangeParses(std::string(range->value()))) {
    return Error(416, "malformed_request", "the Range header does not parse");
  }
  return std::nullopt;
}

// The base of the job URLs: --public-url when given; else "http://" + Host ("https://" over
// TLS) when the Host line is a plain host[:port], else the service's own address.
std::string BaseUrl(const ApiSettings& settings, const HttpRequest& req) {
  if (!settings.publicUrl.empty()) return settings.publicUrl;
  const auto given = req.find(http::field::host);
  const std::string host = given != req.end() ? std::string(given->value()) : "";
  bool plain = !host.empty();
  for (char c : host) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']');
  }
  return (req.tls ? "https://" : "http://") + (plain ? host : req.local);
}

HttpReply Accepted(const Api& api, const HttpRequest& req, const std::string& id) {
  const std::string jobUrl = BaseUrl(api.settings, req) + kJobPathPrefix + id;
  HttpReply reply(http::status::accepted, 11);
  reply.set(http::field::location, jobUrl);
  reply.body() = JsonText(Json{{"jobid", id},
                             {"status", JobStateName(JobState::kQueued)},
                             {"status_url", jobUrl},
                             {"result_url", jobUrl + "/result"}});
  return reply;
}

// The reply to an upload whose form has been read whole (or found malformed) into form.
HttpReply HandleUpload(Api& api, const HttpRequest& req, UploadForm& form, bool read) {
  if (!read && form.storageFailed()) {
    std::fprintf(stderr, "ombrivoice-service: an upload was refused: %s\n", form.error().c_str());
    return Error(500, "storage_failed", "the service could not store the upload; nothing was queued");
  }
  if (!read) return Error(400, "malformed_request", "the multipart body is malformed: " + form.error());
  if (!form.key()) return Error(401, "missing_key", "the form has no \"apikey\" field");
  if (!api.keys.Accepts(*form.key())) return Error(401, "bad_key", "the API key is not valid");
  if (!form.hasFile()) return Error(400, "missing_file", "the form has no \"file\" field");
  WavReadResult wav;
  {
    const MappedFile audio(form.audioPath());
    wav = ReadWav(audio.bytes());
  }
  if (!wav.ok) return Error(400, "not_wav", "the \"file\" field is not a 16-bit PCM WAV file: " + wav.error);
  const double seconds = static_cast<double>(wav.audio.frames) / wav.audio.sampleRate;
  if (seconds > api.settings.maxAudioSeconds) {
    char why[160];
    std::snprintf(why, sizeof why, "the audio lasts %.1f s, over the service's limit of %lu s", seconds,
                  api.settings.maxAudioSeconds);
    return Error(413, "audio_too_long", why);
  }
  SubmitResult submitted = api.store.SubmitFile(*form.key(), form.audioPath());
  if (submitted.status == SubmitStatus::kFull || submitted.status == SubmitStatus::kKeyFull) {
    HttpReply busy = Error(503, "busy",
                           submitted.status == SubmitStatus::kFull
                               ? "the service holds its maximum number of jobs, none of which may make room; retry later"
                               : "this key holds its share of the service's jobs, none of them done; retry later");
    busy.set(http::field::retry_after, "10");
    return busy;
  }
  if (submitted.status == SubmitStatus::kStorageFailed) {
    std::fprintf(stderr, "ombrivoice-service: an upload was refused: %s\n", submitted.error.c_str());
    return Error(500, "storage_failed", "the service could not store the upload; nothing was queued");
  }
  form.Release();
  return Accepted(api, req, submitted.id);
}

// An upload's body, read as it comes into an UploadForm; one that is not a form with a
// boundary is refused at its first bytes.
class UploadReader : public BodyReader {
 public:
  UploadReader(Api& api, const HttpRequest& head) : api_(api), client_(head.client) {
    const auto type = head.find(http::field::content_type);
    const boost::beast::string_view typeValue = type != head.end() ? type->value() : "";
    std::optional<std::string> boundary = BoundaryFromContentType({typeValue.data(), typeValue.size()});
    if (boundary) form_.emplace(*boundary, api.store.NewUploadPath());
  }
  ~UploadReader() override { api_.arriving.Give(client_, drawn_); }

  std::optional<HttpReply> Take(std::string_view bytes) override {
    if (!form_) return NotAForm();
    if (!api_.arriving.Take(client_, bytes.size())) {  // what the form may write of them
      HttpReply busy = Error(503, "busy", "too many uploads are arriving at once; retry later");
      busy.set(http::field::retry_after, "10");
      return busy;
    }
    drawn_ += bytes.size();
    if (form_->Feed(bytes)) return std::nullopt;
    return HandleUpload(api_, HttpRequest(), *form_, false);
  }

  HttpReply Finish(const HttpRequest& head) override {
    if (!form_) return NotAForm();
    const bool read = form_->Finish();
    return HandleUpload(api_, head, *form_, read);
  }

 private:
  static HttpReply NotAForm() {
    return Error(400, "malformed_request", "the body must be multipart/form-data with a boundary");
  }

  Api& api_;
  const std::string client_;
  std::uint64_t drawn_ = 0;  // of api_.arriving
  std::optional<UploadForm> form_;
};

// The job id of the route, when query's apikey is valid and owns it; otherwise the error. A
// read of a done job's result marks it read.
std::variant<JobView, HttpReply> FindJob(Api& api, const std::string& id, std::string_view query, bool result) {
  const std::optional<std::string> key = QueryValue(query, "apikey");
  if (!key) return Error(401, "missing_key", "the URL has no apikey parameter");
  if (!api.keys.Accepts(*key)) return Error(401, "bad_key", "the API key is not valid");
  std::optional<JobView> job = api.store.Find(id, *key, result);
  if (!job) return Error(404, "unknown_job", "no job " + id + " for this key (it may have expired)");
  return *job;
}

Json JobJson(const JobView& job) {
  Json json{{"jobid", job.id}, {"status", JobStateName(job.state)}, {"created", job.createdUnixSeconds}};
  if (job.state == JobState::kFailed) {
    json["error"] = job.outcome.error;
  }
  return json;
}

// number with at most decimals decimals, so that the reply shows no binary noise.
double Rounded(double number, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(number * scale) / scale;
}

HttpReply ResultReply(const JobView& job) {
  Json json = JobJson(job);
  if (job.state == JobState::kFinished) {
    json["text"] = job.outcome.text;
  }
  if (job.outcome.haveFacts) {
    const AudioFacts& facts = job.outcome.facts;
    json["audio"] = Json{{"duration_seconds", Rounded(facts.durationSeconds, 3)},
                         {"sample_rate", facts.sampleRate},
                         {"channels", facts.channels},
                         {"rms_dbfs", Rounded(facts.rmsDbfs, 1)},
                         {"peak_dbfs", Rounded(facts.peakDbfs, 1)}};
  }
  const bool done = job.state == JobState::kFinished || job.state == JobState::kFailed;
  HttpReply reply(done ? http::status::ok : http::status::accepted, 11);
  reply.body() = JsonText(json);
  return reply;
}

// GET of a job's status ("/ID") or result ("/ID/result"); nothing when rest is neither.
std::optional<HttpReply> HandleJobRead(Api& api, const std::string& rest, std::string_view query) {
  const std::size_t slash = rest.find('/');
  const std::string id = rest.substr(0, slash);
  const bool result = slash != std::string::npos && rest.substr(slash) == "/result";
  if (id.empty() || (slash != std::string::npos && !result)) return std::nullopt;
  std::variant<JobView, HttpReply> found = FindJob(api, id, query, result);
  if (std::holds_alternative<HttpReply>(found)) return std::get<HttpReply>(found);
  const JobView& job = std::get<JobView>(found);
  if (result) return ResultReply(job);
  HttpReply reply;  // 200
  reply.body() = JsonText(JobJson(job));
  return reply;
}

// The route's path of a request, percent-decoded, and its query.
std::pair<std::string, std::string_view> PathAndQuery(const HttpRequest& req) {
  const std::string_view target(req.target().data(), req.target().size());  // held by req
  const std::size_t question = target.find('?');
  const std::string path = PercentDecoded(OriginFormPath(std::string(target.substr(0, question))), false);
  const std::string_view query = question == std::string::npos ? "" : target.substr(question + 1);
  return {path, query};
}

bool IsUpload(const HttpRequest& req) {
  return req.method_string() == "POST" && PathAndQuery(req).first == kUploadPath;
}

// The body of a request to another route is passed over as it comes; the route answers.
class DroppedBody : public BodyReader {
 public:
  explicit DroppedBody(Api& api) : api_(api) {}
  std::optional<HttpReply> Take(std::string_view) override { return std::nullopt; }
  HttpReply Finish(const HttpRequest& head) override;

 private:
  Api& api_;
};

std::unique_ptr<BodyReader> OpenBody(Api& api, const HttpRequest& head) {
  if (IsUpload(head)) return std::make_unique<UploadReader>(api, head);
  const auto length = head.find(http::field::content_length);
  if (length != head.end() && length->value() != "0") return std::make_unique<DroppedBody>(api);
  return nullptr;
}

HttpReply Answer(Api& api, const HttpRequest& req) {
  if (IsUpload(req)) {  // a body kept whole, when the server was told to keep it
    UploadReader reader(api, req);
    std::optional<HttpReply> refused = reader.Take(req.body());
    return refused ? *refused : reader.Finish(req);
  }
  const auto [path, query] = PathAndQuery(req);
  const std::string prefix = kJobPathPrefix;
  if (req.method_string() == "GET" && path.compare(0, prefix.size(), prefix) == 0) {
    std::optional<HttpReply> read = HandleJobRead(api, path.substr(prefix.size()), query);
    if (read) return *read;
  }
  return Error(404, "not_found", "no resource at " + std::string(req.method_string()) + " " + path);
}

HttpReply DroppedBody::Finish(const HttpRequest& head) { return Answer(api_, head); }

void Log(const HttpRequest& req, const HttpReply& reply, std::optional<double> seconds) {
  LoggedRequest logged;
  logged.when = std::time(nullptr);
  logged.client = req.client;
  logged.method = std::string(req.method_string());
  logged.target = std::string(req.target());
  logged.version = req.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
  logged.status = reply.result_int();
  logged.bodyBytes = reply.body().size();
  logged.seconds = seconds;
  std::fprintf(stderr, "%s\n", RequestLogLine(logged).c_str());
}

}  // namespace

std::string OriginFormPath(const std::string& target) {
  constexpr std::size_t kSchemeChars = 7;  // "http://"
  std::string scheme = target.substr(0, kSchemeChars);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http://") {
    return target;
  }
  std::size_t pathStart = target.find('/', kSchemeChars);
  return pathStart == std::string::npos ? "/" : target.substr(pathStart);
}

HttpHandlers MakeApiHandlers(const ApiSettings& settings, JobStore& store) {
  auto api = std::make_shared<Api>(settings, store);
  HttpHandlers handlers;
  handlers.checkHead = [api](const HttpRequest& head) { return RefuseHead(api->settings, head); };
  handlers.openBody = [api](const HttpRequest& head) { return OpenBody(*api, head); };
  handlers.answer = [api](const HttpRequest& req) { return Answer(*api, req); };
  handlers.refusal = Refusal;
  if (settings.logRequests) handlers.log = Log;
  return handlers;
}

}  // namespace ombrivoice::service
