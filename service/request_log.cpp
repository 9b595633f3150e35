// The request log's line format: escaped fields, masked keys, the time taken.
#include "service/request_log.h"

#include <cstdio>

#include "service/url_query.h"

namespace ombrivoice::service {
namespace {

// text with bytes outside printable ASCII, quotes and backslashes as \xHH.
std::string Escaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7F || c == '"' || c == '\\') {
      char escaped[5];  // "\x" + 2 hex digits + NUL
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace

std::string RequestLogLine(const LoggedRequest& request) {
  std::tm local{};
  localtime_r(&request.when, &local);
  char when[40];  // "10/Oct/2000:13:55:36 -0700" is 26 characters
  std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  char seconds[32] = "-";  // far more than "%.3f" of any request's time needs
  if (request.seconds) std::snprintf(seconds, sizeof seconds, "%.3f", *request.seconds);
  const std::string client = request.client.empty() ? "-" : Escaped(request.client);
  // A request refused before its request line was read (a head too long) has no method.
  const std::string line = request.method.empty() ? "-" : Escaped(request.method) + " " +
                                                            Escaped(MaskedQueryValues(request.target, "apikey")) + " " +
                                                            Escaped(request.version);
  return client + " - - [" + when + "] \"" + line + "\" " + std::to_string(request.status) +
         " " + (request.bodyBytes == 0 ? "-" : std::to_string(request.bodyBytes)) + " " + seconds;
}

}  // namespace ombrivoice::service
