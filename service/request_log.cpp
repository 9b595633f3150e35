// The request log's line format and the per-thread start time. The library serves each
// connection on one pool thread from head to reply, so a thread-local start belongs to the
// request that thread is serving.
#include "service/request_log.h"

#include <chrono>
#include <cstdio>
#include <string_view>

namespace ombrivoice::service {
namespace {

using Clock = std::chrono::steady_clock;

thread_local std::optional<Clock::time_point> requestStart;

constexpr std::string_view kKeyParameter = "apikey=";

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

// target with the value of every apikey query parameter replaced by "*".
std::string MaskedKeys(std::string target) {
  const std::size_t query = target.find('?');
  for (std::size_t at = query; at != std::string::npos && at < target.size(); at = target.find('&', at + 1)) {
    if (target.compare(at + 1, kKeyParameter.size(), kKeyParameter) != 0) continue;
    const std::size_t valueStart = at + 1 + kKeyParameter.size();
    const std::size_t valueEnd = target.find('&', valueStart);
    target.replace(valueStart, valueEnd == std::string::npos ? std::string::npos : valueEnd - valueStart, "*");
  }
  return target;
}

}  // namespace

std::string RequestLogLine(const LoggedRequest& request) {
  std::tm local{};
  localtime_r(&request.when, &local);
  char when[40];  // "10/Oct/2000:13:55:36 -0700" is 26 characters
  std::strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &local);
  char seconds[32] = "-";  // far more than "%.3f" of any request's time needs
  if (request.seconds) std::snprintf(seconds, sizeof seconds, "%.3f", *request.seconds);
  // A request refused before it was read whole (a bad request line) has no client address.
  const std::string client = request.client.empty() ? "-" : Escaped(request.client);
  return client + " - - [" + when + "] \"" + Escaped(request.method) + " " +
         Escaped(MaskedKeys(request.target)) + " " + Escaped(request.version) + "\" " + std::to_string(request.status) +
         " " + (request.bodyBytes == 0 ? "-" : std::to_string(request.bodyBytes)) + " " + seconds;
}

void NoteRequestStart() { requestStart = Clock::now(); }

std::optional<double> TakeRequestSeconds() {
  std::optional<double> seconds;
  if (requestStart) seconds = std::chrono::duration<double>(Clock::now() - *requestStart).count();
  requestStart.reset();
  return seconds;
}

}  // namespace ombrivoice::service
