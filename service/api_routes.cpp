// The HTTP face of the service on cpp-httplib: request normalisation before routing, the three
// routes, and JSON bodies for every error, including those the server library raises itself.
#include "service/api_routes.h"

#include <httplib.h>

#include <cctype>
#include <cstdio>

#include "service/json_writer.h"
#include "service/multipart.h"
#include "service/wav_reader.h"

namespace ombrivoice::service {
namespace {

// Where the pre-routing handler keeps a multipart request's Content-Type (see PreRoute).
constexpr const char* kFormTypeHeader = "X-Ombrivoice-Form-Type";
constexpr const char* kJson = "application/json";

void SendError(httplib::Response& res, int status, const char* code, const std::string& message) {
  res.status = status;
  res.set_content(JsonObject().Add("error", code).Add("message", message).Text(), kJson);
}

// Runs before routing, while the body is still unread. Three repairs of the parsed request:
// a proxy-style target ("http://host/path") is cut to its path so the routes match; a
// multipart Content-Type is moved aside so that the server reads the body as plain bytes for
// our own form reader instead of splitting it itself; Accept-Encoding is dropped, because the
// library asks for gzip but saves reply bodies byte for byte without decoding, and the replies
// are small anyway. The server hands the request over as const, but owns it as a mutable
// object, so writing through const_cast is defined.
httplib::Server::HandlerResponse PreRoute(const httplib::Request& constReq, httplib::Response&) {
  httplib::Request& req = const_cast<httplib::Request&>(constReq);
  req.path = OriginFormPath(req.path);
  req.headers.erase(kFormTypeHeader);
  req.headers.erase("Accept-Encoding");
  auto type = req.headers.find("Content-Type");
  if (type != req.headers.end() && BoundaryFromContentType(type->second)) {
    std::string value = type->second;
    req.headers.erase(type);
    req.headers.emplace(kFormTypeHeader, value);
  }
  return httplib::Server::HandlerResponse::Unhandled;
}

// Fills in a JSON body for errors raised without one: no route (404), body over the limit
// (413), a request the server could not read (400).
httplib::Server::HandlerResponse ErrorPage(const httplib::Request& req, httplib::Response& res) {
  if (!res.body.empty()) {
    return httplib::Server::HandlerResponse::Unhandled;
  }
  if (res.status == 404) {
    SendError(res, 404, "not_found", "no resource at " + req.method + " " + req.path);
  } else if (res.status == 413) {
    SendError(res, 413, "body_too_large", "the request body is over the service's limit");
  } else {
    SendError(res, res.status, "bad_request", "the request could not be read");
  }
  return httplib::Server::HandlerResponse::Handled;
}

// "http://" + Host, when the Host line is a plain host[:port]; the service's own address
// otherwise.
std::string BaseUrl(const httplib::Request& req) {
  std::string host = req.get_header_value("Host");
  bool plain = !host.empty();
  for (char c : host) {
    plain = plain && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']');
  }
  if (!plain) {
    host = req.local_addr + ":" + std::to_string(req.local_port);
  }
  return "http://" + host;
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
  std::optional<std::string> id = store.Submit(std::string(key->data), std::string(file->data));
  if (!id) {
    res.set_header("Retry-After", "10");
    SendError(res, 503, "busy", "the service holds its maximum number of unfinished jobs; retry later");
    return;
  }
  const std::string jobUrl = BaseUrl(req) + kJobPathPrefix + *id;
  res.status = 202;
  res.set_header("Location", jobUrl);
  res.set_content(JsonObject()
                      .Add("jobid", *id)
                      .Add("status", JobStateName(JobState::kQueued))
                      .Add("status_url", jobUrl)
                      .Add("result_url", jobUrl + "/result")
                      .Text(),
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

JsonObject JobJson(const JobView& job) {
  JsonObject json;
  json.Add("jobid", job.id).Add("status", JobStateName(job.state)).Add("created", job.createdUnixSeconds);
  if (job.state == JobState::kFailed) {
    json.Add("error", job.outcome.error);
  }
  return json;
}

void HandleResult(const ApiSettings& settings, JobStore& store, const httplib::Request& req, httplib::Response& res) {
  std::optional<JobView> job = FindJob(settings, store, req, res);
  if (!job) {
    return;
  }
  JsonObject json = JobJson(*job);
  if (job->state == JobState::kFinished) {
    json.Add("text", job->outcome.text);
  }
  if (job->outcome.haveFacts) {
    const AudioFacts& facts = job->outcome.facts;
    json.Add("audio", JsonObject()
                          .Add("duration_seconds", facts.durationSeconds, 3)
                          .Add("sample_rate", static_cast<std::int64_t>(facts.sampleRate))
                          .Add("channels", static_cast<std::int64_t>(facts.channels))
                          .Add("rms_dbfs", facts.rmsDbfs, 1)
                          .Add("peak_dbfs", facts.peakDbfs, 1));
  }
  const bool done = job->state == JobState::kFinished || job->state == JobState::kFailed;
  res.status = done ? 200 : 202;
  res.set_content(json.Text(), kJson);
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
      res.set_content(JobJson(*job).Text(), kJson);
    }
  });
  server.Get(jobPattern + "/result", [settings, &store](const httplib::Request& req, httplib::Response& res) {
    HandleResult(settings, store, req, res);
  });
  if (settings.logRequests) {
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
    });
  }
}

}  // namespace ombrivoice::service
