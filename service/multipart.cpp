// The multipart/form-data reader: boundary lookup in the Content-Type value, then a state
// machine from delimiter to delimiter over the bytes held. Only what may still be part of a
// delimiter, or a part's header lines, is held between pieces; data is passed on at once.
#include "service/multipart.h"

#include <algorithm>

#include "service/http_message.h"

namespace ombrivoice::service {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The value before the first ';', trimmed: "form-data" of "form-data; name=x".
std::string_view MainValue(std::string_view value) {
  return Trim(value.substr(0, value.find(';')));
}

// Reads a quoted string starting after its opening quote; backslash escapes the next character.
// Returns the position after the closing quote (or the end when it is missing).
std::size_t ReadQuoted(std::string_view value, std::size_t pos, std::string* out) {
  while (pos < value.size() && value[pos] != '"') {
    if (value[pos] == '\\' && pos + 1 < value.size()) {
      ++pos;
    }
    out->push_back(value[pos]);
    ++pos;
  }
  return pos < value.size() ? pos + 1 : pos;
}

// The parameter wanted of a header value ("name" of `form-data; name="file"`), names compared
// without case; nothing when absent.
std::optional<std::string> Parameter(std::string_view value, std::string_view wanted) {
  std::size_t pos = value.find(';');
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past the ';'
    std::size_t nameEnd = value.find_first_of("=;", pos);
    std::string_view name = Trim(value.substr(pos, nameEnd == std::string_view::npos ? nameEnd : nameEnd - pos));
    if (nameEnd == std::string_view::npos || value[nameEnd] == ';') {
      pos = nameEnd;
      continue;
    }
    std::size_t valueStart = nameEnd + 1;
    while (valueStart < value.size() && (value[valueStart] == ' ' || value[valueStart] == '\t')) ++valueStart;
    std::string parsed;
    if (valueStart < value.size() && value[valueStart] == '"') {
      pos = ReadQuoted(value, valueStart + 1, &parsed);
      pos = value.find(';', pos);
    } else {
      pos = value.find(';', valueStart);
      parsed = std::string(Trim(value.substr(valueStart, pos == std::string_view::npos ? pos : pos - valueStart)));
    }
    if (EqualsNoCase(name, wanted)) {
      return parsed;
    }
  }
  return std::nullopt;
}

// Fills the part's name, filename and type from its header block; false when it has no
// form-data Content-Disposition with a name.
bool ReadPartHeaders(std::string_view block, FormPart* part) {
  bool named = false;
  while (!block.empty()) {
    std::size_t lineEnd = block.find(kLineBreak);
    std::string_view line = block.substr(0, lineEnd);
    block = lineEnd == std::string_view::npos ? std::string_view() : block.substr(lineEnd + kLineBreak.size());
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      continue;
    }
    std::string_view name = Trim(line.substr(0, colon));
    std::string_view value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Disposition") && EqualsNoCase(MainValue(value), "form-data")) {
      std::optional<std::string> fieldName = Parameter(value, "name");
      named = fieldName.has_value();
      part->name = fieldName.value_or("");
      part->filename = Parameter(value, "filename").value_or("");
    } else if (EqualsNoCase(name, "Content-Type")) {
      part->contentType = std::string(value);
    }
  }
  return named;
}

}  // namespace

std::optional<std::string> BoundaryFromContentType(std::string_view contentType) {
  if (!EqualsNoCase(MainValue(contentType), "multipart/form-data")) {
    return std::nullopt;
  }
  std::optional<std::string> boundary = Parameter(contentType, "boundary");
  if (!boundary || boundary->empty() || boundary->size() > kMaxBoundaryChars) {
    return std::nullopt;
  }
  return boundary;
}

MultipartStream::MultipartStream(std::string_view boundary, FormEvents& events)
    : delimiter_("--" + std::string(boundary)), nextDelimiter_(std::string(kLineBreak) + delimiter_), events_(events) {}

bool MultipartStream::Feed(std::string_view bytes) {
  if (state_ == State::kFailed) return false;
  if (state_ == State::kClosed) return true;
  held_.append(bytes.data(), bytes.size());
  while (Step()) {
  }
  return state_ != State::kFailed;
}

bool MultipartStream::Finish() {
  switch (state_) {
    case State::kClosed: return true;
    case State::kFailed: return false;
    case State::kStart:
    case State::kPreamble: return Fail("the body holds no boundary line \"" + delimiter_ + "\"");
    case State::kDelimiter:
    case State::kDelimiterPadding: return Fail("the body ends without the closing boundary \"" + delimiter_ + "--\"");
    case State::kPartHead: return Fail(PartLabel() + " is cut off in its headers");
    case State::kData: return Fail(PartLabel() + " (\"" + partName_ + "\") is cut off before its closing boundary");
  }
  return false;
}

bool MultipartStream::Fail(std::string error) {
  error_ = std::move(error);
  state_ = State::kFailed;
  held_.clear();
  return false;
}

void MultipartStream::Consume(std::size_t bytes) {
  held_.erase(0, bytes);
  heldAt_ += bytes;
}

std::string MultipartStream::PartLabel() const { return "part " + std::to_string(parts_); }

bool MultipartStream::Step() {
  const std::string_view held = held_;
  switch (state_) {
    case State::kStart:  // the body starts with its first delimiter, or a preamble comes first
      if (held.size() < delimiter_.size() && delimiter_.compare(0, held.size(), held) == 0) return false;
      state_ = held.substr(0, delimiter_.size()) == delimiter_ ? State::kDelimiter : State::kPreamble;
      if (state_ == State::kDelimiter) Consume(delimiter_.size());
      return true;
    case State::kPreamble: {
      const std::size_t found = held.find(nextDelimiter_);
      if (found == std::string_view::npos) {
        Consume(held.size() - std::min(held.size(), nextDelimiter_.size() - 1));
        return false;
      }
      Consume(found + nextDelimiter_.size());
      state_ = State::kDelimiter;
      return true;
    }
    case State::kDelimiter:  // "--" closes the form, else the delimiter line ends
      if (held.size() < 2) return false;
      if (held.substr(0, 2) == "--") {
        state_ = State::kClosed;
        held_.clear();
        return false;
      }
      state_ = State::kDelimiterPadding;
      return true;
    case State::kDelimiterPadding: {
      std::size_t blanks = 0;
      while (blanks < held.size() && (held[blanks] == ' ' || held[blanks] == '\t')) ++blanks;
      Consume(blanks);
      if (held_.size() < kLineBreak.size()) return false;
      if (held_.compare(0, kLineBreak.size(), kLineBreak) != 0) return Fail("a boundary line goes on after the boundary");
      if (parts_ == kMaxFormParts) return Fail("the form has more than " + std::to_string(kMaxFormParts) + " parts");
      ++parts_;
      state_ = State::kPartHead;
      return true;
    }
    case State::kPartHead: return StepPartHead();
    case State::kData: return StepData();
    case State::kClosed:
    case State::kFailed: return false;
  }
  return false;
}

// The held bytes start with the line break that ends the delimiter line; the part's header
// lines follow it up to a blank line, which must come before any delimiter.
bool MultipartStream::StepPartHead() {
  const std::string_view held = held_;
  const std::size_t headersEnd = held.find(kHeaderEnd);
  const std::size_t nextBoundary = held.find(nextDelimiter_);
  if (nextBoundary != std::string_view::npos && nextBoundary < headersEnd) {
    return Fail(PartLabel() + " is cut off in its headers");
  }
  if (std::min(headersEnd, held.size()) > kMaxPartHeadBytes) {
    return Fail(PartLabel() + "'s header lines are over " + std::to_string(kMaxPartHeadBytes) + " bytes");
  }
  if (headersEnd == std::string_view::npos) return false;
  if (headersEnd == 0) return Fail(PartLabel() + " has no header lines");
  FormPart part;
  if (!ReadPartHeaders(held.substr(kLineBreak.size(), headersEnd - kLineBreak.size()), &part)) {
    return Fail(PartLabel() + " has no Content-Disposition: form-data with a name");
  }
  Consume(headersEnd + kHeaderEnd.size());
  partName_ = part.name;
  state_ = State::kData;
  events_.OnPart(part, heldAt_);
  return true;
}

// Passes on the data before the next delimiter, or all but what may be the start of one.
bool MultipartStream::StepData() {
  const std::string_view held = held_;
  const std::size_t found = held.find(nextDelimiter_);
  const std::size_t data = found != std::string_view::npos ? found
                                                           : held.size() - std::min(held.size(), nextDelimiter_.size() - 1);
  if (data > 0 && !events_.OnData(held.substr(0, data), heldAt_)) {
    state_ = State::kFailed;
    held_.clear();
    return false;
  }
  if (found == std::string_view::npos) {
    Consume(data);
    return false;
  }
  Consume(found + nextDelimiter_.size());
  state_ = State::kDelimiter;
  return true;
}

MultipartResult ParseMultipart(std::string_view body, std::string_view boundary) {
  // Keeps every part, its data a view of body from its first byte to its last.
  class Collector : public FormEvents {
   public:
    Collector(std::string_view body, MultipartResult& result) : body_(body), result_(result) {}
    void OnPart(const FormPart& part, std::uint64_t at) override {
      result_.parts.push_back(part);
      result_.parts.back().data = body_.substr(static_cast<std::size_t>(at), 0);
    }
    bool OnData(std::string_view bytes, std::uint64_t at) override {
      std::string_view& data = result_.parts.back().data;
      const std::size_t start = static_cast<std::size_t>(data.data() - body_.data());
      data = body_.substr(start, static_cast<std::size_t>(at) + bytes.size() - start);
      return true;
    }

   private:
    std::string_view body_;
    MultipartResult& result_;
  };
  MultipartResult result;
  Collector collector(body, result);
  MultipartStream stream(boundary, collector);
  result.ok = stream.Feed(body) && stream.Finish();
  if (!result.ok) {
    result.error = stream.error();
    result.parts.clear();
  }
  return result;
}

const FormPart* FindPart(const std::vector<FormPart>& parts, std::string_view name) {
  for (const FormPart& part : parts) {
    if (part.name == name) {
      return &part;
    }
  }
  return nullptr;
}

}  // namespace ombrivoice::service
