// A request as the service's HTTP server hands it to the routes, Beast's request with where it
// came from, and the reply the routes give back, a plain value that becomes Beast's response.
#ifndef OMBRIVOICE_SERVICE_HTTP_MESSAGE_H
#define OMBRIVOICE_SERVICE_HTTP_MESSAGE_H

#include <boost/beast/core/string.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string>
#include <string_view>

namespace ombrivoice::service {

// The request line (method_string() "" when it was never read; a target in origin-form
// "/path?query" or absolute-form "http://host/path"), the header lines in the order sent with
// their names as sent, and the body when it is kept whole.
struct HttpRequest : boost::beast::http::request<boost::beast::http::string_body> {
  std::string client;     // the peer's address
  bool tls = false;       // came over TLS
  std::string local;      // the address and port it came to, "127.0.0.1:8735"
};

// A reply as the routes make it: its status (200 unless set), its own header lines (Location,
// Retry-After) and its JSON body; the framing lines are the server's.
using HttpReply = boost::beast::http::response<boost::beast::http::string_body>;

// The reply as sent: Content-Type: application/json, Content-Length, Connection: close (every
// connection carries one request), then the reply's own header lines, and its body.
HttpReply MakeResponse(const HttpReply& reply);

// ASCII case-insensitive equality, as header names and URL schemes compare: Beast's, taking
// the standard string views (Boost 1.74's Beast has string views of its own).
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return boost::beast::iequals(boost::beast::string_view(a.data(), a.size()), boost::beast::string_view(b.data(), b.size()));
}

// That response as its bytes on the wire, for replies made once and sent as they are.
std::string SerializeReply(const HttpReply& reply);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_HTTP_MESSAGE_H
