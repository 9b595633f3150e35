// The HTTP face of the service on cpp-httplib: request normalisation and framing checks before
// routing, the three routes, and JSON bodies for every error, including those the server
// library raises itself.
#include "service/api_routes.h"

#include <httplib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include <nlohmann/json.hpp>

#include "service/multipart.h"
#include "service/request_log.h"
#include "service/wav_reader.h"

namespace ombrivoice::service {
namespace {

using Json = nlohmann::ordered_json;  // fields in the order written, as the replies always had

// Where the pre-routing handler keeps a request's Content-Type (see PreRoute).
constexpr const char* kFormTypeHeader = "X-Ombrivoice-Form-Type";
constexpr const char* kJson = "application/json";

// Methods for which the library reads a body; without a length it reads until the client
// closes, which a client waiting for its reply never does.
constexpr const char* kBodyMethods[] = {"POST", "PUT", "PATCH", "DELETE"};

// Text that is not UTF-8 (a path, an id from the URL) is sent with U+FFFD in its place.
std::string JsonText(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

void SendError(httplib::Response& res, int status, const char* code, const std::string& message) {
  res.status = status;
  res.set_content(JsonText(Json{{"error", code}, {"message", message}}), kJson);
}

bool IsWholeNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// Refuses a request whose body is not framed by one plain Content-Length: the library would
// take "abc" or "-1" for a length, use the first of two that differ, and take a chunked body
// past the body limit. True when refused.
bool RefuseUnframed(const httplib::Request& req, httplib::Response& res) {
  const std::size_t lengths = req.get_header_value_count("Content-Length");
  const std::string length = req.get_header_value("Content-Length");
  for (std::size_t i = 0; i < lengths; ++i) {
    const std::string value = req.get_header_value("Content-Length", i);
    if (!IsWholeNumber(value) || value != length) {
      SendError(res, 400, "malformed_request", "the Content-Length header is not one whole number");
      return true;
    }
  }
  bool expectsBody = false;
  for (const char* method : kBodyMethods) expectsBody = expectsBody || req.method == method;
  if (req.has_header("Transfer-Encoding") || (expectsBody && lengths == 0)) {
    SendError(res, 411, "length_required", "the request body must come with a Content-Length (and not chunked)");
    return true;
  }
  return false;
}

// Replies are small JSON documents, always sent whole and plain: the library would compress
// them on an Accept-Encoding (and clients save bodies without decoding them), and cut them to a
// Range (an error body cut short, or an empty 416). Both are ignored, as HTTP allows.
void SendRepliesWhole(httplib::Request& req) {
  req.headers.erase("Accept-Encoding");
  req.headers.erase("Range");
  req.ranges.clear();
}

// Runs before routing, while the body is still unread. It repairs the parsed request, then
// refuses it if it is unframed. The repairs: a proxy-style target ("http://host/path") is cut
// to its path so the routes match; the Content-Type is moved aside so that the server reads
// the body as plain bytes for our own form reader; Accept-Encoding and Range are dropped
// (SendRepliesWhole). The server hands the request over as const, but owns it as a mutable
// object, so writing through const_cast is defined.
//
// The form reader is ours because the form parser of Debian's cpp-httplib (0.11.4) cannot
// serve: it takes everything after "boundary=" as the boundary, so "boundary=b; charset=x" is
// refused; it matches "multipart/form-data" and "boundary=" case-sensitively, though both are
// case-insensitive; and a part whose name is an unquoted token, or whose filename comes before
// its name, is read with an empty name, so a field that was sent goes missing. Nor can it be
// bypassed otherwise: a content-reader route still sends multipart bodies to it.
httplib::Server::HandlerResponse PreRoute(const httplib::Request& constReq, httplib::Response& res) {
  NoteRequestStart();
  httplib::Request& req = const_cast<httplib::Request&>(constReq);
  req.path = OriginFormPath(req.path);
  req.headers.erase(kFormTypeHeader);
  SendRepliesWhole(req);
  auto type = req.headers.find("Content-Type");
  if (type != req.headers.end()) {
    std::string value = type->second;
    req.headers.erase(type);
    req.headers.emplace(kFormTypeHeader, value);
  }
  return RefuseUnframed(req, res) ? httplib::Server::HandlerResponse::Handled
                                  : httplib::Server::HandlerResponse::Unhandled;
}

// Fills in a JSON body for errors raised without one: no route (404), body over the limit
// (413), and any other request the server could not read (400; 414 for an overlong target, 416
// for a Range header that does not parse).
httplib::Server::HandlerResponse ErrorPage(const httplib::Request& constReq, httplib::Response& res) {
  httplib::Request& req = const_cast<httplib::Request&>(constReq);  // see PreRoute
  SendRepliesWhole(req);  // a request refused before routing has not been through PreRoute
  if (!res.body.empty()) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  if (res.status == 404) {
    SendError(res, 404, "not_found", "no resource at " + req.method + " " + req.path);
  } else if (res.status == 413) {
    SendError(res, 413, "body_too_large", "the request body is over the service's limit");
  } else if (res.status >= 500) {
    SendError(res, res.status, "internal_error", "the service failed to answer the request");
  } else {
    SendError(res, res.status, "malformed_request", "the request could not be read");
  }
  return httplib::Server::HandlerResponse::Handled;
}

// "http://" + Host ("https://" on a TLS connection), when the Host line is a plain host[:port];
// the service's own address otherwise.
std::string BaseUrl(const httplib::Request& req) {
  std::string host = req.get_header_value("Host");
  bool plain = !host.empty();
  for (char c : host) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']');
  }
  if (!plain) {
    host = req.local_addr + ":" + std::to_string(req.local_port);
  }
  return (req.ssl != nullptr ? "https://" : "http://") + host;
}

void HandleUpload(const ApiSettings& settings, JobStore& store, const httplib::Request& req, httplib::Response& res) {
  std::optional<std::string> boundary = BoundaryFromContentType(req.get_header_value(kFormTypeHeader));
  if (!boundary) {
    SendError(res, 400, "malformed_request", "the body must be multipart/form-data with a boundary");
    return;
  }
  MultipartResult form = ParseMultipart(req.body, *boundary);
  if (!form.ok) {
    SendError(res, 400, "malformed_request", "the multipart body is malformed: " + form.error);
    return;
  }
  const FormPart* key = FindPart(form.parts, "apikey");
  if (key == nullptr) {
    SendError(res, 401, "missing_key", "the form has no \"apikey\" field");
    return;
  }
  if (settings.keys.count(std::string(key->data)) == 0) {
    SendError(res, 401, "bad_key", "the API key is not valid");
    return;
  }
  const FormPart* file = FindPart(form.parts, "file");
  if (file == nullptr) {
    SendError(res, 400, "missing_file", "the form has no \"file\" field");
    return;
  }
  WavReadResult wav = ReadWav(file->data);
  if (!wav.ok) {
    SendError(res, 400, "not_wav", "the \"file\" field is not a 16-bit PCM WAV file: " + wav.error);
    return;
  }
  SubmitResult submitted = store.Submit(std::string(key->data), file->data);
  if (submitted.status == SubmitStatus::kFull) {
    res.set_header("Retry-After", "10");
    SendError(res, 503, "busy", "the service holds its maximum number of unfinished jobs; retry later");
    return;
  }
  if (submitted.status == SubmitStatus::kStorageFailed) {
    std::fprintf(stderr, "ombrivoice-service: an upload was refused: %s\n", submitted.error.c_str());
    SendError(res, 500, "storage_failed", "the service could not store the upload; nothing was queued");
    return;
  }
  const std::string jobUrl = BaseUrl(req) + kJobPathPrefix + submitted.id;
  res.status = 202;
  res.set_header("Location", jobUrl);
  res.set_content(JsonText(Json{{"jobid", submitted.id},
                                {"status", JobStateName(JobState::kQueued)},
                                {"status_url", jobUrl},
                                {"result_url", jobUrl + "/result"}}),
                  kJson);
}

// The job named in the route, when the apikey query parameter is valid and owns it; otherwise
// the error is sent and nothing is returned.
std::optional<JobView> FindJob(const ApiSettings& settings, JobStore& store, const httplib::Request& req,
                               httplib::Response& res) {
  if (!req.has_param("apikey")) {
    SendError(res, 401, "missing_key", "the URL has no apikey parameter");
    return std::nullopt;
  }
  const std::string key = req.get_param_value("apikey");
  if (settings.keys.count(key) == 0) {
    SendError(res, 401, "bad_key", "the API key is not valid");
    return std::nullopt;
  }
  std::optional<JobView> job = store.Find(req.matches[1], key);
  if (!job) {
    SendError(res, 404, "unknown_job", "no job " + std::string(req.matches[1]) + " for this key (it may have expired)");
  }
  return job;
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

void HandleResult(const ApiSettings& settings, JobStore& store, const httplib::Request& req, httplib::Response& res) {
  std::optional<JobView> job = FindJob(settings, store, req, res);
  if (!job) {
    return;
  }
  Json json = JobJson(*job);
  if (job->state == JobState::kFinished) {
    json["text"] = job->outcome.text;
  }
  if (job->outcome.haveFacts) {
    const AudioFacts& facts = job->outcome.facts;
    json["audio"] = Json{{"duration_seconds", Rounded(facts.durationSeconds, 3)},
                         {"sample_rate", facts.sampleRate},
                         {"channels", facts.channels},
                         {"rms_dbfs", Rounded(facts.rmsDbfs, 1)},
                         {"peak_dbfs", Rounded(facts.peakDbfs, 1)}};
  }
  const bool done = job->state == JobState::kFinished || job->state == JobState::kFailed;
  res.status = done ? 200 : 202;
  res.set_content(JsonText(json), kJson);
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

void InstallApiRoutes(httplib::Server& server, const ApiSettings& settings, JobStore& store) {
  server.set_payload_max_length(settings.maxBodyBytes);
  server.set_pre_routing_handler(PreRoute);
  server.set_error_handler(httplib::Server::HandlerWithResponse(ErrorPage));
  server.Post(kUploadPath, [settings, &store](const httplib::Request& req, httplib::Response& res) {
    HandleUpload(settings, store, req, res);
  });
  const std::string jobPattern = std::string(kJobPathPrefix) + "([^/]+)";
  server.Get(jobPattern, [settings, &store](const httplib::Request& req, httplib::Response& res) {
    std::optional<JobView> job = FindJob(settings, store, req, res);
    if (job) {
      res.set_content(JsonText(JobJson(*job)), kJson);
    }
  });
  server.Get(jobPattern + "/result", [settings, &store](const httplib::Request& req, httplib::Response& res) {
    HandleResult(settings, store, req, res);
  });
  if (settings.logRequests) {
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      LoggedRequest logged;
      logged.when = std::time(nullptr);
      logged.client = req.remote_addr;
      logged.method = req.method;
      logged.target = req.target.empty() ? req.path : req.target;
      logged.version = req.version;
      logged.status = res.status;
      logged.bodyBytes = res.body.size();
      logged.seconds = TakeRequestSeconds();
      std::fprintf(stderr, "%s\n", RequestLogLine(logged).c_str());
    });
  }
}

}  // namespace ombrivoice::service
