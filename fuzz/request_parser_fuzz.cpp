// Fuzzes the service's request reader: the input is split into reads at points the fuzzer
// picks (the first byte gives the piece size) and fed as the server feeds it. Whatever the
// bytes, the reader must end in one of its outcomes without reading past them, and an accepted
// request must keep within the head and body limits.
#include <boost/asio/buffer.hpp>

#include <string>

#include "fuzz/fuzz_support.h"
#include "service/request_parser.h"

namespace {

using ombrivoice::service::kMaxHeaderLines;
using ombrivoice::service::kMaxTargetBytes;
using ombrivoice::service::RequestParser;

constexpr std::uint64_t kBodyLimit = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 64;
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  RequestParser parser(kBodyLimit);
  std::string buffered;
  boost::beast::error_code error;
  for (std::size_t at = 0; at < bytes.size() && !parser.is_done();) {
    buffered += bytes.substr(at, piece);
    at += piece;
    while (!buffered.empty() && !parser.is_done()) {
      const std::size_t used = parser.put(boost::asio::buffer(buffered), error);
      FUZZ_CHECK(used <= buffered.size());
      buffered.erase(0, used);
      if (error == boost::beast::http::error::need_more) {
        error = {};
        break;
      }
      if (error) {
        const int status = parser.RefusalStatus(error);
        FUZZ_CHECK(status == 400 || status == 413 || status == 414 || status == 431);
        return 0;
      }
    }
  }
  if (parser.is_done()) {
    FUZZ_CHECK(parser.request().headers.size() <= kMaxHeaderLines);
    FUZZ_CHECK(parser.request().target.size() <= kMaxTargetBytes);
    FUZZ_CHECK(parser.request().body.size() <= kBodyLimit);
  }
  return 0;
}
