// The origin check of result URLs: the scheme, authority and port are compared as text after
// folding case; anything unusual in the authority (a user name, an empty port, a trailing dot)
// is refused rather than interpreted.
#include "api_origin.h"

#include <cctype>

#include "printable.h"

namespace {

#if OMBRIVOICE_API_TLS
constexpr const char* kScheme = "https";
constexpr const char* kDefaultPort = "443";
#else
constexpr const char* kScheme = "http";
constexpr const char* kDefaultPort = "80";
#endif

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// True when every byte of url is printable ASCII other than a space or backslash.
bool PlainAscii(const std::string& url) {
  for (unsigned char c : url) {
    if (c <= 0x20 || c >= 0x7F || c == '\\') return false;
  }
  return true;
}

}  // namespace

std::string ApiOrigin() { return std::string(kScheme) + "://" + OMBRIVOICE_API_HOST; }

std::string ForeignUrlProblem(const std::string& url) {
  const std::string refused = "the result URL \"" + Printable(url.substr(0, 200)) + "\" is not on " + ApiOrigin();
  const std::string prefix = std::string(kScheme) + "://";
  if (!PlainAscii(url) || Lower(url.substr(0, prefix.size())) != prefix) return refused;
  const std::size_t authorityEnd = url.find_first_of("/?#", prefix.size());
  std::string authority = Lower(url.substr(prefix.size(), authorityEnd - prefix.size()));
  const std::size_t colon = authority.find(':');
  const std::string port = colon == std::string::npos ? kDefaultPort : authority.substr(colon + 1);
  authority = authority.substr(0, colon);
  if (authority != Lower(OMBRIVOICE_API_HOST) || port != kDefaultPort) return refused;
  return "";
}
