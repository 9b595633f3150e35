// The request reader's limits and parser, on Boost.Beast's HTTP/1 parser: it fills an
// HttpRequest as the bytes come, and refuses a head that is too long, has too many lines or too
// long a target before it is buffered whole. Beast itself refuses malformed lines (a field name
// with a space before its colon, say), bad Content-Length values and a Content-Length beside
// chunked coding.
#ifndef OMBRIVOICE_SERVICE_REQUEST_PARSER_H
#define OMBRIVOICE_SERVICE_REQUEST_PARSER_H

#include <boost/beast/http/basic_parser.hpp>

#include <cstdint>

#include "service/http_message.h"

namespace ombrivoice::service {

// The library's upload head is some 600 bytes in 12 lines, a job read's well under 4 KiB even
// with an 890-byte key percent-encoded three times over; these leave ample room.
constexpr std::uint32_t kMaxHeadBytes = 16 * 1024;   // request line, header lines and line breaks
constexpr std::size_t kMaxHeaderLines = 100;
constexpr std::size_t kMaxTargetBytes = 8 * 1024;

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  // Bodies over maxBodyBytes are refused (with 413) as soon as their length is known.
  explicit RequestParser(std::uint64_t maxBodyBytes);

  HttpRequest& request() { return request_; }

  // The status to answer a parse error with: 414 for a target over the limit (or a request
  // line that fills the head), 431 for a head over the limits, 413 for a body over its limit,
  // 400 for anything malformed.
  int RefusalStatus(const boost::beast::error_code& error) const;

 private:
  void on_request_impl(boost::beast::http::verb, boost::beast::string_view method, boost::beast::string_view target,
                       int version, boost::beast::error_code& error) override;
  void on_response_impl(int, boost::beast::string_view, int, boost::beast::error_code&) override {}
  void on_field_impl(boost::beast::http::field, boost::beast::string_view name, boost::beast::string_view value,
                     boost::beast::error_code& error) override;
  void on_header_impl(boost::beast::error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code&) override;
  std::size_t on_body_impl(boost::beast::string_view body, boost::beast::error_code&) override;
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, boost::beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body, boost::beast::error_code&) override;
  void on_finish_impl(boost::beast::error_code&) override {}

  HttpRequest request_;
  bool requestLineRead_ = false;  // a head error after it is in the header lines
  bool targetTooLong_ = false;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_REQUEST_PARSER_H
