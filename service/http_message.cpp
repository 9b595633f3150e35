// Header lookup and reply serialisation for the plain request and reply values.
#include "service/http_message.h"

#include <cctype>

namespace ombrivoice::service {
namespace {

// The reason phrases of the statuses the service sends.
const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 202: return "Accepted";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [headerName, value] : headers) {
    if (EqualsNoCase(headerName, name)) return &value;
  }
  return nullptr;
}

std::size_t HttpRequest::HeaderCount(std::string_view name) const {
  std::size_t count = 0;
  for (const auto& header : headers) count += EqualsNoCase(header.first, name) ? 1 : 0;
  return count;
}

std::string SerializeReply(const HttpReply& reply) {
  std::string wire = "HTTP/1.1 " + std::to_string(reply.status) + " " + ReasonPhrase(reply.status) + "\r\n" +
                     "Content-Type: application/json\r\n" + "Content-Length: " + std::to_string(reply.body.size()) +
                     "\r\nConnection: close\r\n";
  for (const auto& [name, value] : reply.headers) wire += name + ": " + value + "\r\n";
  return wire + "\r\n" + reply.body;
}

}  // namespace ombrivoice::service
