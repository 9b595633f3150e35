// Replies made into Beast's response, which Beast's serializer puts on the wire (status line with the standard reason phrase, the fields
// in the order set, the body).
#include "service/http_message.h"

#include <boost/beast/http/write.hpp>

#include <sstream>

namespace ombrivoice::service {

namespace http = boost::beast::http;

HttpReply MakeResponse(const HttpReply& reply) {
  HttpReply response(reply.result(), 11);
  response.set(http::field::content_type, "application/json");
  response.content_length(reply.body().size());
  response.set(http::field::connection, "close");
  for (const auto& line : reply) response.insert(line.name(), line.name_string(), line.value());
  response.body() = reply.body();
  return response;
}

std::string SerializeReply(const HttpReply& reply) {
  std::ostringstream wire;
  wire << MakeResponse(reply);
  return wire.str();
}

}  // namespace ombrivoice::service
