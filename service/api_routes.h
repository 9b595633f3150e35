// The HTTP face of the service: the upload route, the job status and result routes, JSON error
// replies, the body limit, and the handling of proxy-style (absolute-form) request targets.
#ifndef OMBRIVOICE_SERVICE_API_ROUTES_H
#define OMBRIVOICE_SERVICE_API_ROUTES_H

#include <cstddef>
#include <set>
#include <string>

#include "service/job_store.h"

namespace httplib {
class Server;
}

namespace ombrivoice::service {

constexpr const char* kUploadPath = "/1/api/async/recognizespeech/v1";
constexpr const char* kJobPathPrefix = "/1/api/async/job/";

struct ApiSettings {
  std::set<std::string> keys;                  // API keys accepted; empty accepts none
  std::size_t maxBodyBytes = 64u << 20;        // 64 MiB; larger request bodies get 413
  bool logRequests = false;                    // one line per request on stderr
};

// Installs every route and handler on server. settings is copied; store must outlive server.
void InstallApiRoutes(httplib::Server& server, const ApiSettings& settings, JobStore& store);

// target with an absolute-form "http://host[:port]" prefix removed ("/" when nothing follows);
// any other target unchanged.
std::string OriginFormPath(const std::string& target);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_API_ROUTES_H
