// The request reader's limits and parser, on Boost.Beast's HTTP/1 parser: it fills an
// HttpRequest (Beast's request) as the bytes come, and refuses a head that is too long, has too many lines or too
// long a target before it is buffered whole. Beast itself refuses malformed lines (a field name
// with a space before its colon, say), bad Content-Length values and a Content-Length beside
// chunked coding.
#ifndef OMBRIVOICE_SERVICE_REQUEST_PARSER_H
#define OMBRIVOICE_SERVICE_REQUEST_PARSER_H

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/basic_parser.hpp>

#include <cstdint>

#include "service/connection_limits.h"
#include "service/http_message.h"

namespace ombrivoice::service {

// The library's upload head is some 600 bytes in 12 lines, a job read's well under 4 KiB even
// with an 890-byte key percent-encoded three times over; these leave ample room.
constexpr std::uint32_t kMaxHeadBytes = 16 * 1024;   // request line, header lines and line breaks
constexpr std::size_t kMaxHeaderLines = 100;
constexpr std::size_t kMaxTargetBytes = 8 * 1024;

class RequestParser : public boost::beast::http::basic_parser<true> {
 public:
  // Bodies over maxBodyBytes are refused (with 413) as soon as their length is known. The
  // memory a body takes is drawn from budget, when given, for the request's client address,
  // before it is allocated; a body the budget cannot take is refused (with 503). A body is
  // allocated as it comes, growing by doubling, so what it holds follows what has arrived,
  // never what was announced.
  explicit RequestParser(std::uint64_t maxBodyBytes, BodyBudget* budget = nullptr);
  ~RequestParser() override;  // gives back what the body drew
  RequestParser(const RequestParser&) = delete;
  RequestParser& operator=(const RequestParser&) = delete;

  HttpRequest& request() { return request_; }

  // Feeds what has been read and not yet taken, as put() does, and holds the head to
  // kMaxHeadBytes counted over every call: Beast's own limit counts only the bytes not yet
  // taken, so a head whose lines arrive one per read would pass it. The bytes taken; error as
  // put() sets it, header_limit once the head passes the limit.
  std::size_t Feed(boost::asio::const_buffer bytes, boost::beast::error_code& error);

  // The bytes of the head taken so far (the whole head once is_header_done()).
  std::uint64_t headBytes() const { return headBytes_; }

  // Frees the body and gives its memory back to the budget, once it has been answered.
  void DropBody();
  // Hands over the body read so far, leaving it empty, to be passed on as it streams; *drawn is
  // set to what it holds of the budget, for the caller to give back once done with it.
  std::string TakeBody(std::size_t* drawn);

  // The status to answer an error of Feed with: 414 for a target over the limit (or a request
  // line that fills the head), 431 for a head over the limits, 413 for a body over its limit,
  // 503 for a body the budget cannot take, 400 for anything malformed.
  int RefusalStatus(const boost::beast::error_code& error) const;

 private:
  void on_request_impl(boost::beast::http::verb, boost::beast::string_view method, boost::beast::string_view target,
                       int version, boost::beast::error_code& error) override;
  void on_response_impl(int, boost::beast::string_view, int, boost::beast::error_code&) override {}
  void on_field_impl(boost::beast::http::field, boost::beast::string_view name, boost::beast::string_view value,
                     boost::beast::error_code& error) override;
  void on_header_impl(boost::beast::error_code&) override {}
  void on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code& error) override;
  std::size_t on_body_impl(boost::beast::string_view body, boost::beast::error_code& error) override;
  void on_chunk_header_impl(std::uint64_t, boost::beast::string_view, boost::beast::error_code&) override {}
  std::size_t on_chunk_body_impl(std::uint64_t, boost::beast::string_view body, boost::beast::error_code&) override;
  void on_finish_impl(boost::beast::error_code&) override {}

  // Moves the body into an allocation of capacity bytes, drawn from the budget first; false,
  // with error set, when the budget cannot take it.
  bool GrowBody(std::size_t capacity, boost::beast::error_code& error);
  // 414 or 431 for a head over the limits, told from the bytes still pending when the request
  // line has not been read.
  int HeadRefusal(boost::asio::const_buffer pending) const;

  HttpRequest request_;
  BodyBudget* const budget_;
  std::uint64_t declaredBodyBytes_ = 0;  // the Content-Length, 0 when none
  std::size_t drawn_ = 0;                // what the body holds of the budget
  bool overBudget_ = false;
  std::uint64_t headBytes_ = 0;
  int headRefusal_ = 431;
  std::size_t headerLines_ = 0;
  bool requestLineRead_ = false;  // a head error after it is in the header lines
  bool targetTooLong_ = false;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_REQUEST_PARSER_H
