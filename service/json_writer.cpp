// The JSON writer: escaping of strings (control characters, quotes, invalid UTF-8) and the
// fixed-decimal number format.
#include "service/json_writer.h"

#include <cstdio>

namespace ombrivoice::service {
namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// Length of the valid UTF-8 sequence starting text[at], or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || at + length > text.size() || (length == 2 && lead < 0xC2) || (length == 4 && lead > 0xF4)) {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) {
      return 0;
    }
  }
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += kReplacement;
      ++at;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(byte));
    } else if (byte < 0x20) {
      char escaped[8];  // "\u" + 4 hex digits + NUL
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out + "\"";
}

void JsonObject::AddName(std::string_view name) {
  if (!fields_.empty()) fields_.push_back(',');
  fields_ += JsonString(name);
  fields_.push_back(':');
}

JsonObject& JsonObject::Add(std::string_view name, std::string_view text) {
  AddName(name);
  fields_ += JsonString(text);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, std::int64_t number) {
  AddName(name);
  fields_ += std::to_string(number);
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, double number, int decimals) {
  char formatted[64];  // durations and levels need far less; snprintf cuts anything longer
  std::snprintf(formatted, sizeof formatted, "%.*f", decimals, number);
  AddName(name);
  fields_ += formatted;
  return *this;
}

JsonObject& JsonObject::Add(std::string_view name, const JsonObject& object) {
  AddName(name);
  fields_ += object.Text();
  return *this;
}

}  // namespace ombrivoice::service
