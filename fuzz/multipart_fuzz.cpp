// Fuzzes the stand-in service's multipart reader two ways. Raw: any Content-Type and any body
// (held in a heap block of exactly its size); whatever is accepted must describe the body
// truly, and the body read as it streams, in pieces, must give the same. Round trip: a form
// built from the input the way a client writes one must be read back part for part.
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "service/multipart.h"

namespace {

using ombrivoice::service::BoundaryFromContentType;
using ombrivoice::service::FindPart;
using ombrivoice::service::FormEvents;
using ombrivoice::service::FormPart;
using ombrivoice::service::kMaxBoundaryChars;
using ombrivoice::service::kMaxFormParts;
using ombrivoice::service::kMaxPartHeadBytes;
using ombrivoice::service::MultipartResult;
using ombrivoice::service::MultipartStream;
using ombrivoice::service::ParseMultipart;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A body in a heap block of exactly its size, so a read past its end is caught.
class ExactBytes {
 public:
  explicit ExactBytes(const std::string& bytes) : bytes_(new char[bytes.size() + 1]), size_(bytes.size()) {
    memcpy(bytes_.get(), bytes.data(), bytes.size());
  }
  std::string_view view() const { return std::string_view(bytes_.get(), size_); }

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_;
};

void CheckAccepted(std::string_view body, const std::string& boundary, const MultipartResult& form) {
  const std::string delimiter = "--" + boundary;
  const std::string nextDelimiter = "\r\n" + delimiter;
  size_t previousEnd = 0;
  for (const FormPart& part : form.parts) {
    FUZZ_CHECK(part.data.data() >= body.data() && part.data.data() + part.data.size() <= body.data() + body.size());
    size_t start = static_cast<size_t>(part.data.data() - body.data());
    FUZZ_CHECK(start >= previousEnd);
    FUZZ_CHECK(part.data.find(nextDelimiter) == std::string_view::npos);
    FUZZ_CHECK(body.substr(start + part.data.size(), nextDelimiter.size()) == nextDelimiter);
    FUZZ_CHECK(start >= 4 && body.substr(start - 4, 4) == "\r\n\r\n");
    // A part's header block is bounded by the next delimiter: the part's own header lines,
    // from its delimiter line to its data, must name it.
    // (Its delimiter ends before the blank line: data may begin with the boundary text.)
    size_t delimiterAt = body.substr(0, start - 2).rfind(nextDelimiter);
    delimiterAt = delimiterAt == std::string_view::npos ? 0 : delimiterAt;
    FUZZ_CHECK(Lower(body.substr(delimiterAt, start - delimiterAt)).find("content-disposition") != std::string::npos);
    FUZZ_CHECK(FindPart(form.parts, part.name) != nullptr);
    FUZZ_CHECK(FindPart(form.parts, part.name)->name == part.name);
    previousEnd = start + part.data.size();
  }
  FUZZ_CHECK(body.find(delimiter + "--", previousEnd) != std::string_view::npos);
}

// What a streaming read tells: each part's name, then its data as it came.
class Transcript : public FormEvents {
 public:
  void OnPart(const FormPart& part, uint64_t) override { parts.push_back({part.name, ""}); }
  bool OnData(std::string_view bytes, uint64_t) override {
    parts.back().second.append(bytes);
    return true;
  }
  std::vector<std::pair<std::string, std::string>> parts;
};

// The same body read as it streams, in pieces of a size taken from its length, must give what
// the whole-body read gave: the same verdict and, when accepted, the same parts.
void CheckStreamed(std::string_view body, const std::string& boundary, const MultipartResult& whole) {
  const size_t piece = 1 + body.size() % 13;
  Transcript events;
  MultipartStream stream(boundary, events);
  bool ok = true;
  for (size_t at = 0; ok && at < body.size(); at += piece) ok = stream.Feed(body.substr(at, piece));
  ok = ok && stream.Finish();
  FUZZ_CHECK(ok == whole.ok);
  if (!ok) return;
  FUZZ_CHECK(events.parts.size() == whole.parts.size());
  for (size_t i = 0; i < whole.parts.size(); ++i) {
    FUZZ_CHECK(events.parts[i].first == whole.parts[i].name);
    FUZZ_CHECK(events.parts[i].second == whole.parts[i].data);
  }
}

void CheckRaw(FuzzReader* in) {
  std::string bytes = in->RestAsBytes();
  size_t lineEnd = bytes.find('\n');
  std::string contentType = bytes.substr(0, lineEnd);
  ExactBytes body(lineEnd == std::string::npos ? "" : bytes.substr(lineEnd + 1));
  std::optional<std::string> boundary = BoundaryFromContentType(contentType);
  if (boundary) {
    FUZZ_CHECK(!boundary->empty() && boundary->size() <= kMaxBoundaryChars);
    FUZZ_CHECK(Lower(contentType).find("multipart/form-data") != std::string::npos);
  }
  std::string used = boundary ? *boundary : "b";
  MultipartResult form = ParseMultipart(body.view(), used);
  FUZZ_CHECK(form.ok == form.error.empty());
  if (form.ok) CheckAccepted(body.view(), used, form);
  CheckStreamed(body.view(), used, form);
}

// Quoted-string form of text: backslash before '"' and '\'.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A header value from the input: no line break, no leading or trailing blank.
std::string HeaderText(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  size_t first = out.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return out.substr(first, out.find_last_not_of(" \t") - first + 1);
}

// Input pieces (separated by 0xFF): boundary, then per part name, filename, type and data.
void CheckRoundTrip(FuzzReader* in) {
  std::string bytes = in->RestAsBytes();
  std::vector<std::string> pieces;
  for (size_t start = 0;;) {
    size_t end = bytes.find('\xFF', start);
    pieces.push_back(bytes.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  static const char kBoundaryChars[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ'()+_,-./:=?";
  std::string boundary;
  for (char c : pieces[0]) boundary += kBoundaryChars[static_cast<unsigned char>(c) % (sizeof kBoundaryChars - 1)];
  if (boundary.empty() || boundary.size() > kMaxBoundaryChars) return;
  FUZZ_CHECK(BoundaryFromContentType("Multipart/Form-Data; charset=x; boundary=" + Quoted(boundary)) == boundary);

  struct Written {
    std::string name, filename, type, data;
  };
  std::vector<Written> parts;
  const std::string nextDelimiter = "\r\n--" + boundary;
  std::string body = "preamble\r\n--" + boundary;
  for (size_t i = 1; i < pieces.size(); i += 4) {
    Written part{HeaderText(pieces[i]), i + 1 < pieces.size() ? HeaderText(pieces[i + 1]) : "",
                 i + 2 < pieces.size() ? HeaderText(pieces[i + 2]) : "", i + 3 < pieces.size() ? pieces[i + 3] : ""};
    // Data that holds the delimiter, or ends so that it and the delimiter do, cannot be sent.
    if ((part.data + nextDelimiter).find(nextDelimiter) != part.data.size()) return;
    body += "\r\nContent-Disposition: form-data; name=" + Quoted(part.name);
    if (!part.filename.empty()) body += "; filename=" + Quoted(part.filename);
    if (!part.type.empty()) body += "\r\nContent-Type: " + part.type;
    body += "\r\n\r\n" + part.data + nextDelimiter;
    parts.push_back(part);
  }
  body += "--\r\nepilogue";
  // The reader's caps refuse a form of more parts, or of part headers longer, than a client sends.
  if (parts.size() > kMaxFormParts) return;
  for (const Written& part : parts) {
    if (part.name.size() + part.filename.size() + part.type.size() > kMaxPartHeadBytes / 4) return;
  }
  ExactBytes exact(body);
  MultipartResult form = ParseMultipart(exact.view(), boundary);
  FUZZ_CHECK(form.ok);
  FUZZ_CHECK(form.parts.size() == parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    FUZZ_CHECK(form.parts[i].name == parts[i].name);
    FUZZ_CHECK(form.parts[i].filename == parts[i].filename);
    FUZZ_CHECK(form.parts[i].contentType == parts[i].type);
    FUZZ_CHECK(form.parts[i].data == parts[i].data);
  }
}

}  // namespace

// Input: a mode byte (even: raw, odd: round trip), then the mode's bytes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  if (in.Byte() % 2 == 0) {
    CheckRaw(&in);
  } else {
    CheckRoundTrip(&in);
  }
  return 0;
}
