// The parser's callbacks: each copies what Beast has checked into the request, counting lines
// and measuring the target as it goes; a limit broken is reported as Beast's header_limit. The
// head's bytes are counted across reads by Feed, and the body grows within the budget.
#include "service/request_parser.h"

#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <string_view>

namespace ombrivoice::service {

namespace http = boost::beast::http;

RequestParser::RequestParser(std::uint64_t maxBodyBytes, BodyBudget* budget) : budget_(budget) {
  header_limit(kMaxHeadBytes);
  body_limit(maxBodyBytes);
}

RequestParser::~RequestParser() { DropBody(); }

std::size_t RequestParser::Feed(boost::asio::const_buffer bytes, boost::beast::error_code& error) {
  if (is_header_done()) return put(bytes, error);
  const std::size_t used = put(bytes, error);
  headBytes_ += used;
  const std::size_t pending = bytes.size() - used;
  // Until the head is whole, what is still pending belongs to it as well.
  const std::uint64_t head = is_header_done() ? headBytes_ : headBytes_ + pending;
  const bool failed = error && error != http::error::need_more;
  if (!failed && head > kMaxHeadBytes) error = http::error::header_limit;
  if (error == http::error::header_limit) {
    headRefusal_ = HeadRefusal(boost::asio::const_buffer(static_cast<const char*>(bytes.data()) + used, pending));
  }
  return used;
}

int RequestParser::HeadRefusal(boost::asio::const_buffer pending) const {
  if (targetTooLong_) return 414;
  if (requestLineRead_) return 431;
  // Beast reads the request line only when it can read on past it (or the whole head has come),
  // so a request line that came in pieces may be whole in what is pending, with a short target.
  const std::string_view text(static_cast<const char*>(pending.data()), pending.size());
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return 414;  // the request line alone fills the head
  const std::size_t first = text.find(' ');
  const std::size_t last = text.rfind(' ', end);
  if (first >= end || last <= first) return 431;
  return last - first - 1 > kMaxTargetBytes ? 414 : 431;
}

int RequestParser::RefusalStatus(const boost::beast::error_code& error) const {
  if (overBudget_) return 503;
  if (error == http::error::header_limit) return headRefusal_;
  if (error == http::error::body_limit) return 413;
  return 400;
}

void RequestParser::DropBody() {
  std::string().swap(request_.body());
  if (budget_ != nullptr) budget_->Give(request_.client, drawn_);
  drawn_ = 0;
}

std::string RequestParser::TakeBody(std::size_t* drawn) {
  std::string taken;
  taken.swap(request_.body());
  *drawn = drawn_;
  drawn_ = 0;
  return taken;
}

bool RequestParser::GrowBody(std::size_t capacity, boost::beast::error_code& error) {
  if (capacity <= drawn_) return true;
  // The old allocation is held until the body has moved: both are drawn meanwhile.
  if (budget_ != nullptr && !budget_->Take(request_.client, capacity)) {
    overBudget_ = true;
    error = http::error::body_limit;
    return false;
  }
  try {
    std::string grown;
    grown.reserve(capacity);  // a fresh string: its capacity is what is asked, not a doubling of the old
    grown.append(request_.body());
    request_.body().swap(grown);
  } catch (...) {
    if (budget_ != nullptr) budget_->Give(request_.client, capacity);
    throw;
  }
  if (budget_ != nullptr) budget_->Give(request_.client, drawn_);
  drawn_ = capacity;
  return true;
}

void RequestParser::on_request_impl(http::verb verb, boost::beast::string_view method, boost::beast::string_view target,
                                    int version, boost::beast::error_code& error) {
  requestLineRead_ = true;
  if (target.size() > kMaxTargetBytes) {
    targetTooLong_ = true;
    error = http::error::header_limit;
    return;
  }
  if (verb != http::verb::unknown) {
    request_.method(verb);
  } else {
    request_.method_string(method);
  }
  request_.target(target);
  request_.version(version);
}

void RequestParser::on_field_impl(http::field field, boost::beast::string_view name, boost::beast::string_view value,
                                  boost::beast::error_code& error) {
  if (headerLines_ >= kMaxHeaderLines) {
    error = http::error::header_limit;
    return;
  }
  ++headerLines_;
  request_.insert(field, name, value);
}

void RequestParser::on_body_init_impl(const boost::optional<std::uint64_t>& length, boost::beast::error_code&) {
  declaredBodyBytes_ = length.value_or(0);  // within the body limit, checked before; nothing drawn yet
}

std::size_t RequestParser::on_body_impl(boost::beast::string_view body, boost::beast::error_code& error) {
  const std::size_t needed = request_.body().size() + body.size();
  if (needed > drawn_) {
    // Twice what is held, but never past the announced length.
    std::uint64_t wanted = std::max<std::uint64_t>(needed, 2 * std::uint64_t{drawn_});
    if (declaredBodyBytes_ >= needed) wanted = std::min(wanted, declaredBodyBytes_);
    if (!GrowBody(static_cast<std::size_t>(wanted), error)) return 0;
  }
  request_.body().append(body.data(), body.size());
  return body.size();
}

// Chunked bodies are refused from their head (see RefuseHead in api_routes.cpp); one read all
// the same is kept like any other, within the body limit and the budget.
std::size_t RequestParser::on_chunk_body_impl(std::uint64_t, boost::beast::string_view body,
                                              boost::beast::error_code& error) {
  return on_body_impl(body, error);
}

}  // namespace ombrivoice::service
