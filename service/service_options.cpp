// The command line of ombrivoice-service: each option with its value, numbers checked whole and
// in range.
#include "service/service_options.h"

#include <cerrno>
#include <cstdlib>

#include "service/recognizer.h"

namespace ombrivoice::service {
namespace {

constexpr unsigned long long kMaxPort = 65535;
constexpr unsigned long long kMaxTtlSeconds = 10ull * 365 * 24 * 3600;  // ten years

// text as a whole decimal number from low to high, or false.
bool ReadNumber(const std::string& text, unsigned long long low, unsigned long long high, unsigned long long* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high) {
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

std::string UsageText() {
  return "usage: ombrivoice-service --key KEY [--key KEY...] [--port N] [--max-body-bytes N]\n"
         "                          [--max-jobs N] [--job-ttl-seconds N] [--model-dir DIR] [--log-requests]\n"
         "Serves the asynchronous recognition API on 127.0.0.1 and prints \"listening on 127.0.0.1:PORT\".\n"
         "  --key KEY              an API key the service accepts (repeatable; at least one)\n"
         "  --port N               the port to listen on; 0 (the default) picks a free one\n"
         "  --max-body-bytes N     largest request body accepted, default 67108864 (64 MiB)\n"
         "  --max-jobs N           jobs kept at once, default 100\n"
         "  --job-ttl-seconds N    how long a finished job is kept, default 3600\n"
         "  --model-dir DIR        the recognition model, default /usr/share/pocketsphinx/model/en-us\n"
         "  --log-requests         write one line per request to stderr\n";
}

OptionsResult ParseOptions(const std::vector<std::string>& args) {
  OptionsResult result;
  ServiceOptions& options = result.options;
  options.modelDir = kDefaultModelDir;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& name = args[i];
    if (name == "--help") {
      options.help = true;
      result.ok = true;
      return result;
    }
    if (name == "--log-requests") {
      options.api.logRequests = true;
      continue;
    }
    if (i + 1 >= args.size()) {
      result.error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unexpected argument " + name;
      return result;
    }
    const std::string& value = args[++i];
    unsigned long long number = 0;
    bool valid = true;
    if (name == "--key") {
      valid = !value.empty();
      options.api.keys.insert(value);
    } else if (name == "--model-dir") {
      options.modelDir = value;
    } else if (name == "--port") {
      valid = ReadNumber(value, 0, kMaxPort, &number);
      options.port = static_cast<int>(number);
    } else if (name == "--max-body-bytes") {
      valid = ReadNumber(value, 1, SIZE_MAX, &number);
      options.api.maxBodyBytes = static_cast<std::size_t>(number);
    } else if (name == "--max-jobs") {
      valid = ReadNumber(value, 1, SIZE_MAX, &number);
      options.limits.maxJobs = static_cast<std::size_t>(number);
    } else if (name == "--job-ttl-seconds") {
      valid = ReadNumber(value, 0, kMaxTtlSeconds, &number);
      options.limits.ttl = std::chrono::seconds(number);
    } else {
      result.error = "unknown option " + name;
      return result;
    }
    if (!valid) {
      result.error = "invalid value \"" + value + "\" for " + name;
      return result;
    }
  }
  if (options.api.keys.empty()) {
    result.error = "at least one --key is required";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace ombrivoice::service
