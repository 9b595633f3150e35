// The multipart/form-data reader: boundary lookup in the Content-Type value, then one pass over
// the body from delimiter to delimiter. Nothing is copied except the header values.
#include "service/multipart.h"

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

MultipartResult Fail(std::string error) {
  MultipartResult result;
  result.error = std::move(error);
  return result;
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

MultipartResult ParseMultipart(std::string_view body, std::string_view boundary) {
  const std::string delimiter = "--" + std::string(boundary);
  const std::string nextDelimiter = std::string(kLineBreak) + delimiter;
  std::size_t pos = 0;
  if (body.substr(0, delimiter.size()) != delimiter) {
    pos = body.find(nextDelimiter);  // a preamble before the first delimiter is allowed
    if (pos == std::string_view::npos) {
      return Fail("the body holds no boundary line \"" + delimiter + "\"");
    }
    pos += kLineBreak.size();
  }
  pos += delimiter.size();

  MultipartResult result;
  for (;;) {
    if (body.substr(pos, 2) == "--") {
      result.ok = true;
      return result;
    }
    while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) ++pos;
    if (pos >= body.size()) {
      return Fail("the body ends without the closing boundary \"" + delimiter + "--\"");
    }
    if (body.substr(pos, kLineBreak.size()) != kLineBreak) {
      return Fail("a boundary line goes on after the boundary");
    }
    const std::string partLabel = "part " + std::to_string(result.parts.size() + 1);
    FormPart part;
    // A part's headers end before the next delimiter; a part with none has no name.
    std::size_t headersEnd = body.find(kHeaderEnd, pos);
    std::size_t nextBoundary = body.find(nextDelimiter, pos);
    if (headersEnd == std::string_view::npos || nextBoundary < headersEnd) {
      return Fail(partLabel + " is cut off in its headers");
    }
    if (headersEnd == pos) {
      return Fail(partLabel + " has no header lines");
    }
    if (!ReadPartHeaders(body.substr(pos + kLineBreak.size(), headersEnd - pos - kLineBreak.size()), &part)) {
      return Fail(partLabel + " has no Content-Disposition: form-data with a name");
    }
    std::size_t dataStart = headersEnd + kHeaderEnd.size();
    std::size_t dataEnd = body.find(nextDelimiter, dataStart);
    if (dataEnd == std::string_view::npos) {
      return Fail(partLabel + " (\"" + part.name + "\") is cut off before its closing boundary");
    }
    part.data = body.substr(dataStart, dataEnd - dataStart);
    result.parts.push_back(std::move(part));
    pos = dataEnd + nextDelimiter.size();
  }
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
