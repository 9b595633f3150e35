// Reading and decoding of saved replies on zlib. The coding is told from the body itself, as
// the library keeps no headers: gzip by its magic bytes, zlib by its header check, raw deflate
// tried last on a body that does not look like JSON.
#include "reply_file.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>

namespace {

// inflateInit2 window arguments: zlib's largest window, +16 for a gzip wrapper, negative for none.
constexpr int kZlibWindow = MAX_WBITS;
constexpr int kGzipWindow = 16 + MAX_WBITS;
constexpr int kRawWindow = -MAX_WBITS;

enum class Inflated { kDone, kTooLarge, kBroken };

// Inflates all of coded with window into *out, stopping past kMaxReplyBytes.
Inflated Inflate(const std::string& coded, int window, std::string* out) {
  z_stream stream{};
  if (inflateInit2(&stream, window) != Z_OK) return Inflated::kBroken;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(coded.data()));
  stream.avail_in = static_cast<uInt>(coded.size());
  char piece[16384];
  int status = Z_OK;
  out->clear();
  while (status == Z_OK && out->size() <= kMaxReplyBytes) {
    stream.next_out = reinterpret_cast<Bytef*>(piece);
    stream.avail_out = sizeof piece;
    status = inflate(&stream, Z_NO_FLUSH);
    out->append(piece, sizeof piece - stream.avail_out);
    if (status == Z_BUF_ERROR && stream.avail_in == 0) break;  // the data ended early
  }
  inflateEnd(&stream);
  if (out->size() > kMaxReplyBytes) return Inflated::kTooLarge;
  return status == Z_STREAM_END ? Inflated::kDone : Inflated::kBroken;
}

bool IsGzip(const std::string& body) { return body.size() >= 2 && body[0] == '\x1f' && body[1] == '\x8b'; }

// A zlib header: deflate method, and a check value that makes the first two bytes a multiple of 31.
bool IsZlib(const std::string& body) {
  if (body.size() < 2) return false;
  const unsigned cmf = static_cast<unsigned char>(body[0]), flg = static_cast<unsigned char>(body[1]);
  return (cmf & 0x0F) == Z_DEFLATED && (cmf * 256 + flg) % 31 == 0;
}

bool LooksLikeJson(const std::string& body) {
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  return first == std::string::npos || body[first] == '{' || body[first] == '[';
}

bool Refuse(std::string* error, const std::string& why) {
  *error = why;
  return false;
}

}  // namespace

bool ReadReply(const std::string& path, std::string* body, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return Refuse(error, "cannot read " + path);
  // One byte past the limit tells a reply that is too large without reading it all.
  body->resize(kMaxReplyBytes + 1);
  file.read(&(*body)[0], static_cast<std::streamsize>(body->size()));
  body->resize(static_cast<std::size_t>(file.gcount()));
  if (body->size() > kMaxReplyBytes) return Refuse(error, kReplyTooLarge);
  const bool gzip = IsGzip(*body), zlib = IsZlib(*body);
  if (!gzip && !zlib && LooksLikeJson(*body)) return true;
  std::string decoded;
  const Inflated result = Inflate(*body, gzip ? kGzipWindow : zlib ? kZlibWindow : kRawWindow, &decoded);
  if (result == Inflated::kTooLarge) return Refuse(error, kReplyTooLarge);
  if (result == Inflated::kDone) {
    body->swap(decoded);
    return true;
  }
  if (gzip || zlib) return Refuse(error, std::string("the reply is ") + (gzip ? "gzip" : "zlib") + " data that does not decode");
  return true;  // not deflate either: the caller reports what it is
}

std::size_t JsonNestingDepth(const std::string& text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t at = 0; at < text.size() && deepest <= limit; ++at) {
    const char c = text[at];
    if (inString) {
      if (c == '\\') {
        ++at;  // the escaped character, a quote included, does not end the string
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}
