// Fuzzes the service's request reader: the input is split into reads at points the fuzzer
// picks (the first byte gives the piece size: 1 to 64 bytes, or a multiple of 64 up to 8 KiB, so
// that long header lines can arrive one per read) and fed as the server feeds it. Whatever the
// bytes, the reader must end in one of its outcomes without reading past them; a head that has
// not been refused, counted here over all its reads, must keep within the head limit, and an
// accepted request within the line, target and body limits.
#include <boost/asio/buffer.hpp>

#include <iterator>
#include <string>

#include "fuzz/fuzz_support.h"
#include "service/request_parser.h"

namespace {

using ombrivoice::service::kMaxHeadBytes;
using ombrivoice::service::kMaxHeaderLines;
using ombrivoice::service::kMaxTargetBytes;
using ombrivoice::service::HttpRequest;
using ombrivoice::service::RequestParser;

constexpr std::uint64_t kBodyLimit = 4096;

std::size_t PieceSize(uint8_t first) { return first < 128 ? 1 + first % 64 : 64 * static_cast<std::size_t>(first - 127); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = PieceSize(data[0]);
  const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  RequestParser parser(kBodyLimit);
  std::string buffered;
  std::size_t headTaken = 0;  // the head's bytes the reader took, over every read
  boost::beast::error_code error;
  for (std::size_t at = 0; at < bytes.size() && !parser.is_done();) {
    buffered += bytes.substr(at, piece);
    at += piece;
    while (!buffered.empty() && !parser.is_done()) {
      const bool inHead = !parser.is_header_done();
      const std::size_t used = parser.Feed(boost::asio::buffer(buffered), error);
      FUZZ_CHECK(used <= buffered.size());
      buffered.erase(0, used);
      if (inHead) headTaken += used;
      if (error && error != boost::beast::http::error::need_more) {
        const int status = parser.RefusalStatus(error);
        FUZZ_CHECK(status == 400 || status == 413 || status == 414 || status == 431);
        return 0;
      }
      // Not refused: the head, whole or with what is still pending, is within its limit.
      FUZZ_CHECK(headTaken + (parser.is_header_done() ? 0 : buffered.size()) <= kMaxHeadBytes);
      if (error) {
        error = {};
        break;
      }
    }
  }
  if (parser.is_done()) {
    const HttpRequest& request = parser.request();
    FUZZ_CHECK(static_cast<std::size_t>(std::distance(request.begin(), request.end())) <= kMaxHeaderLines);
    FUZZ_CHECK(request.target().size() <= kMaxTargetBytes);
    FUZZ_CHECK(request.body().size() <= kBodyLimit);
  }
  return 0;
}
