// The multipart/form-data reader: finds the boundary in a Content-Type value and splits a
// request body into its named parts. Pure functions over bytes, so a fuzzer can drive them.
#ifndef OMBRIVOICE_SERVICE_MULTIPART_H
#define OMBRIVOICE_SERVICE_MULTIPART_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrivoice::service {

// One part of a form. The views point into the body that was parsed.
struct FormPart {
  std::string name;          // the name parameter of Content-Disposition
  std::string filename;      // the filename parameter, empty when absent
  std::string contentType;   // the part's Content-Type, empty when absent
  std::string_view data;     // the part's bytes, without the line break before the delimiter
};

struct MultipartResult {
  bool ok = false;
  std::string error;             // what is wrong, in words, when !ok
  std::vector<FormPart> parts;   // in body order when ok
};

// Longest boundary RFC 2046 allows.
constexpr std::size_t kMaxBoundaryChars = 70;

// The boundary of a "multipart/form-data; boundary=..." value (quoted or not), or nothing when
// the type is another one or the boundary is missing, empty or over 70 characters.
std::optional<std::string> BoundaryFromContentType(std::string_view contentType);

// Splits body into parts delimited by "--" + boundary. Fails when the first delimiter, a
// part's header end, a part's closing delimiter or the final "--" is missing, or when a part
// has no Content-Disposition form-data name.
MultipartResult ParseMultipart(std::string_view body, std::string_view boundary);

// The first part named name, or nullptr.
const FormPart* FindPart(const std::vector<FormPart>& parts, std::string_view name);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_MULTIPART_H
