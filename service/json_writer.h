// A small JSON object writer for the service's replies: fields in the order added, strings
// escaped, numbers with a fixed count of decimals.
#ifndef OMBRIVOICE_SERVICE_JSON_WRITER_H
#define OMBRIVOICE_SERVICE_JSON_WRITER_H

#include <cstdint>
#include <string>
#include <string_view>

namespace ombrivoice::service {

class JsonObject {
 public:
  JsonObject& Add(std::string_view name, std::string_view text);
  JsonObject& Add(std::string_view name, const char* text) { return Add(name, std::string_view(text)); }
  JsonObject& Add(std::string_view name, std::int64_t number);
  JsonObject& Add(std::string_view name, double number, int decimals);
  JsonObject& Add(std::string_view name, const JsonObject& object);
  // The object's text, "{...}".
  std::string Text() const { return "{" + fields_ + "}"; }

 private:
  void AddName(std::string_view name);
  std::string fields_;  // the comma-separated fields written so far
};

// text as a JSON string literal with its quotes; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonString(std::string_view text);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_JSON_WRITER_H
