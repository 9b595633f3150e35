// The HTTP face of the service: the upload route, the job status and result routes, JSON error
// replies, the framing checks made on a request's head, and the handling of proxy-style
// (absolute-form) request targets. Independent of the server library: it answers plain
// HttpRequest values through the handlers it makes.
#ifndef OMBRIVOICE_SERVICE_API_ROUTES_H
#define OMBRIVOICE_SERVICE_API_ROUTES_H

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "service/http_server.h"
#include "service/job_store.h"

namespace ombrivoice::service {

constexpr const char* kUploadPath = "/1/api/async/recognizespeech/v1";
constexpr const char* kJobPathPrefix = "/1/api/async/job/";

struct ApiSettings {
  std::set<std::string> keys;                  // API keys accepted; empty accepts none
  // 64 MiB; a request announcing a larger body gets 413. The server given these handlers
  // should be made with the same body limit (HttpLimits::maxBodyBytes).
  std::size_t maxBodyBytes = 64u << 20;
  // The disk that uploads still arriving, their key not yet read, may take together (one client
  // address a quarter of it); an upload past it gets 503.
  std::uint64_t maxArrivingBytes = 1u << 30;
  unsigned long maxAudioSeconds = 600;         // longer uploaded audio gets 413 audio_too_long
  std::string publicUrl;                       // when set, the base of the job URLs (no trailing '/')
  bool logRequests = false;                    // one line per request on stderr
};

// The handlers that serve the API on an HttpServer. settings is copied; store must outlive
// every call of the handlers.
HttpHandlers MakeApiHandlers(const ApiSettings& settings, JobStore& store);

// target with an absolute-form "http://host[:port]" prefix removed ("/" when nothing follows);
// any other target unchanged.
std::string OriginFormPath(const std::string& target);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_API_ROUTES_H
