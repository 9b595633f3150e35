// The parser's callbacks: each copies what Beast has checked into the request, counting lines
// and measuring the target as it goes; a limit broken is reported as Beast's header_limit.
#include "service/request_parser.h"

#include <boost/beast/http/error.hpp>

namespace ombrivoice::service {

namespace http = boost::beast::http;

RequestParser::RequestParser(std::uint64_t maxBodyBytes) {
  header_limit(kMaxHeadBytes);
  body_limit(maxBodyBytes);
}

int RequestParser::RefusalStatus(const boost::beast::error_code& error) const {
  if (error == http::error::header_limit) return targetTooLong_ || !requestLineRead_ ? 414 : 431;
  if (error == http::error::body_limit) return 413;
  return 400;
}

void RequestParser::on_request_impl(http::verb, boost::beast::string_view method, boost::beast::string_view target,
                                    int version, boost::beast::error_code& error) {
  requestLineRead_ = true;
  if (target.size() > kMaxTargetBytes) {
    targetTooLong_ = true;
    error = http::error::header_limit;
    return;
  }
  request_.method = std::string(method);
  request_.target = std::string(target);
  request_.version = version == 10 ? "HTTP/1.0" : "HTTP/1.1";
}

void RequestParser::on_field_impl(http::field, boost::beast::string_view name, boost::beast::string_view value,
                                  boost::beast::error_code& error) {
  if (request_.headers.size() >= kMaxHeaderLines) {
    error = http::error::header_limit;
    return;
  }
  request_.headers.emplace_back(std::string(name), std::string(value));
}

void RequestParser::on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code&) {
  if (length) request_.body.reserve(static_cast<std::size_t>(*length));  // within the body limit, checked before
}

std::size_t RequestParser::on_body_impl(boost::beast::string_view body, boost::beast::error_code&) {
  request_.body.append(body.data(), body.size());
  return body.size();
}

// Chunked bodies are refused from their head (see RefuseUnframed); one read all the same is
// kept like any other, within the body limit.
std::size_t RequestParser::on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                              boost::beast::error_code& error) {
  return on_body_impl(body, error);
}

}  // namespace ombrivoice::service
