// The request log of --log-requests: one line per request in the Common Log Format with the
// time taken added, API keys masked and odd bytes escaped so a line cannot be forged.
#ifndef OMBRIVOICE_SERVICE_REQUEST_LOG_H
#define OMBRIVOICE_SERVICE_REQUEST_LOG_H

#include <ctime>
#include <optional>
#include <string>

namespace ombrivoice::service {

struct LoggedRequest {
  std::time_t when = 0;            // when the reply was sent
  std::string client;              // the peer's address
  std::string method, target, version;
  int status = 0;
  std::size_t bodyBytes = 0;       // of the reply
  std::optional<double> seconds;   // from the request's whole head to its reply, when known
};

// `CLIENT - - [DD/Mon/YYYY:HH:MM:SS +ZZZZ] "METHOD TARGET VERSION" STATUS BYTES SECONDS`, with
// "-" for no bytes, no time or a request line never read, and the value of every query
// parameter whose name decodes to apikey (in any case, however percent-encoded) shown as "*".
std::string RequestLogLine(const LoggedRequest& request);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_REQUEST_LOG_H
