// The command line of ombrivoice-service: each option with its value, numbers checked whole and
// in range.
#include "service/service_options.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>

#include "service/recognizer.h"

namespace ombrivoice::service {
namespace {

constexpr unsigned long long kMaxPort = 65535;
constexpr unsigned long long kMaxTtlSeconds = 10ull * 365 * 24 * 3600;  // ten years
constexpr unsigned long long kMaxAudioSecondsLimit = 24ull * 3600;        // a day of audio

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

constexpr std::string_view kDataFolderName = "ombrivoice-service";

// Adds the keys in the file at path: one per line, surrounding blanks dropped; empty lines and
// lines that start with # are skipped. False, with the reason, if the file cannot be read.
bool ReadKeyFile(const std::string& path, std::set<std::string>* keys, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read the key file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  while (std::getline(file, line)) {
    std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    keys->insert(line.substr(first, line.find_last_not_of(" \t\r") - first + 1));
  }
  if (file.bad()) {
    *error = "cannot read the key file " + path;
    return false;
  }
  return true;
}

// True when authority is host[:port] or [IPv6][:port], with a port of digits when there is one.
bool PlainAuthority(const std::string& authority) {
  const std::size_t hostEnd = authority[0] == '[' ? authority.find(']') + 1 : authority.find(':');
  if (hostEnd == 0) return false;  // an unclosed '['
  const std::string host = authority.substr(0, hostEnd);
  const std::string port = hostEnd >= authority.size() ? "" : authority.substr(hostEnd);
  const char* hostChars = host[0] == '[' ? "[]:.0123456789abcdefABCDEF" : "-.0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  unsigned long long number = 0;
  return !host.empty() && host.find_first_not_of(hostChars) == std::string::npos &&
         (port.empty() || (port[0] == ':' && ReadNumber(port.substr(1), 1, kMaxPort, &number)));
}

// The base of --public-url: an http or https URL with a host, an optional port and path, and
// no user, query or fragment; returned without a trailing '/', or "" when it is not such a URL.
std::string PublicBase(const std::string& url) {
  std::string scheme = url.substr(0, url.find("://"));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if ((scheme != "http" && scheme != "https") || url.find_first_of("?#@\\ \"<>") != std::string::npos) return "";
  for (unsigned char c : url) {
    if (c < 0x21 || c > 0x7E) return "";
  }
  const std::size_t authorityStart = scheme.size() + 3;
  const std::size_t pathStart = std::min(url.find('/', authorityStart), url.size());
  if (!PlainAuthority(url.substr(authorityStart, pathStart - authorityStart))) return "";
  std::string base = scheme + url.substr(scheme.size());
  while (base.back() == '/') base.pop_back();
  return base;
}

}  // namespace

std::string DefaultDataDir(const char* xdgStateHome, const char* home) {
  if (xdgStateHome != nullptr && xdgStateHome[0] == '/') {  // a relative value is to be ignored
    return std::string(xdgStateHome) + "/" + std::string(kDataFolderName);
  }
  if (home != nullptr && home[0] != '\0') {
    return std::string(home) + "/.local/state/" + std::string(kDataFolderName);
  }
  return "";
}

std::string UsageText() {
  // The defaults are printed from the settings themselves, so the text cannot fall behind them.
  const ApiSettings api;
  const JobLimits jobs;
  const std::string maxBody = std::to_string(api.maxBodyBytes);
  const std::string maxBodyMiB = std::to_string(api.maxBodyBytes >> 20);
  return "usage: ombrivoice-service (--key KEY | --key-file FILE)... [--port N] [--data-dir DIR]\n"
         "                          [--max-body-bytes N] [--max-jobs N] [--max-jobs-per-key N]\n"
         "                          [--job-ttl-seconds N] [--max-audio-seconds N] [--model-dir DIR]\n"
         "                          [--tls-cert FILE --tls-key FILE] [--public-url BASE] [--log-requests]\n"
         "Serves the asynchronous recognition API on 127.0.0.1 and prints \"listening on 127.0.0.1:PORT\".\n"
         "  --key KEY              an API key the service accepts (repeatable; at least one key in all)\n"
         "  --key-file FILE        more keys, one per line (# starts a comment line); keeps them out\n"
         "                         of the command line, where ps shows them\n"
         "  --port N               the port to listen on; 0 (the default) picks a free one\n"
         "  --data-dir DIR         where jobs and their uploads are kept, default\n"
         "                         $XDG_STATE_HOME/" + std::string(kDataFolderName) + ", else ~/.local/state/" +
         std::string(kDataFolderName) + "\n"
         "  --max-body-bytes N     largest request body accepted, default " + maxBody + " (" + maxBodyMiB + " MiB)\n"
         "  --max-jobs N           jobs kept at once, default " + std::to_string(jobs.maxJobs) + "\n"
         "  --max-jobs-per-key N   jobs one key may keep at once, default three quarters of --max-jobs;\n"
         "                         past it the key's own oldest done job makes room, else its upload\n"
         "                         gets 503\n"
         "  --max-audio-seconds N  longest audio accepted, default " + std::to_string(api.maxAudioSeconds) +
         "; longer uploads get 413\n"
         "  --job-ttl-seconds N    how long a finished job is kept, default " + std::to_string(jobs.ttl.count()) + "\n"
         "  --model-dir DIR        the recognition model, default " + std::string(kDefaultModelDir) + "\n"
         "  --tls-cert FILE        serve HTTPS instead of HTTP with this PEM certificate (then any\n"
         "                         intermediate ones); needs --tls-key\n"
         "  --tls-key FILE         the certificate's private key (PEM, unencrypted); needs --tls-cert\n"
         "  --public-url BASE      the http or https URL clients reach the service at (behind a\n"
         "                         reverse proxy): job URLs in replies start with it\n"
         "  --log-requests         write one line per request to stderr\n"
         "  --worker               (internal) run as the recogniser process the service starts itself\n"
         "  --help                 print this text\n";
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
    if (name == "--worker") {
      options.worker = true;
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
    } else if (name == "--key-file") {
      if (!ReadKeyFile(value, &options.api.keys, &result.error)) {
        return result;
      }
    } else if (name == "--model-dir") {
      options.modelDir = value;
    } else if (name == "--data-dir") {
      valid = !value.empty();
      options.dataDir = value;
    } else if (name == "--tls-cert") {
      valid = !value.empty();
      options.tls.certificateFile = value;
    } else if (name == "--tls-key") {
      valid = !value.empty();
      options.tls.keyFile = value;
    } else if (name == "--port") {
      valid = ReadNumber(value, 0, kMaxPort, &number);
      options.port = static_cast<int>(number);
    } else if (name == "--max-body-bytes") {
      valid = ReadNumber(value, 1, SIZE_MAX, &number);
      options.api.maxBodyBytes = static_cast<std::size_t>(number);
    } else if (name == "--max-jobs") {
      valid = ReadNumber(value, 1, SIZE_MAX, &number);
      options.limits.maxJobs = static_cast<std::size_t>(number);
    } else if (name == "--max-jobs-per-key") {
      valid = ReadNumber(value, 1, SIZE_MAX, &number);
      options.limits.maxJobsPerKey = static_cast<std::size_t>(number);
    } else if (name == "--max-audio-seconds") {
      valid = ReadNumber(value, 1, kMaxAudioSecondsLimit, &number);
      options.api.maxAudioSeconds = static_cast<unsigned long>(number);
    } else if (name == "--public-url") {
      options.api.publicUrl = PublicBase(value);
      valid = !options.api.publicUrl.empty();
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
  if (options.worker) {  // the recogniser process needs only the model
    result.ok = true;
    return result;
  }
  if (options.tls.certificateFile.empty() != options.tls.keyFile.empty()) {
    result.error = "--tls-cert and --tls-key go together: give both or neither";
    return result;
  }
  if (options.api.keys.empty()) {
    result.error = "no API key: give --key KEY or a --key-file FILE that holds one";
    return result;
  }
  if (options.dataDir.empty()) {
    options.dataDir = DefaultDataDir(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  }
  if (options.dataDir.empty()) {
    result.error = "neither XDG_STATE_HOME nor HOME is set: give --data-dir DIR";
    return result;
  }
  result.ok = true;
  return result;
}

}  // namespace ombrivoice::service
