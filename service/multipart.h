// The multipart/form-data reader: finds the boundary in a Content-Type value and reads a
// request body as it streams, part by part, holding only a few KiB of it at once; or splits a
// whole body into its named parts. Over bytes alone, so a fuzzer can drive it.
#ifndef OMBRIVOICE_SERVICE_MULTIPART_H
#define OMBRIVOICE_SERVICE_MULTIPART_H

#include <cstdint>
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
// A form has at most this many parts (the library sends two), and a part's header lines at
// most this many bytes; a body past either is malformed, so that a body of countless tiny parts
// costs nothing per part.
constexpr std::size_t kMaxFormParts = 64;
constexpr std::size_t kMaxPartHeadBytes = 8 * 1024;

// What a streaming read of a form tells as it goes.
class FormEvents {
 public:
  virtual ~FormEvents() = default;
  // A part begins, named by its header lines (its data empty); its data begins at offset at
  // of the body.
  virtual void OnPart(const FormPart& part, std::uint64_t at) = 0;
  // The next bytes of the present part's data, which begin at offset at of the body; false
  // stops the read (the form is then refused with what the events say).
  virtual bool OnData(std::string_view bytes, std::uint64_t at) = 0;
};

// Reads a form body delimited by "--" + boundary as it comes, in pieces of any size, telling
// events of each part. Fails when the first delimiter, a part's header end, a part's closing
// delimiter or the final "--" is missing, when a part has no Content-Disposition form-data
// name, or past kMaxFormParts or kMaxPartHeadBytes. What follows the final "--" is ignored.
class MultipartStream {
 public:
  MultipartStream(std::string_view boundary, FormEvents& events);

  // Reads the next bytes of the body; false once the form is malformed or the events stopped
  // the read, with error() set unless the events stopped it.
  bool Feed(std::string_view bytes);
  // The body has ended: false when the form did not close, with error() set.
  bool Finish();
  const std::string& error() const { return error_; }

 private:
  enum class State { kStart, kPreamble, kDelimiter, kDelimiterPadding, kPartHead, kData, kClosed, kFailed };
  // One step over the bytes held; false when more are needed (or the read ended).
  bool Step();
  bool StepPartHead();
  bool StepData();
  bool Fail(std::string error);
  void Consume(std::size_t bytes);
  std::string PartLabel() const;

  const std::string delimiter_;      // "--" + boundary
  const std::string nextDelimiter_;  // "\r\n--" + boundary
  FormEvents& events_;
  State state_ = State::kStart;
  std::string held_;                 // bytes read and not yet passed on, from offset heldAt_
  std::uint64_t heldAt_ = 0;
  std::size_t parts_ = 0;            // parts begun
  std::string partName_;             // of the present part
  std::string error_;
};

// The boundary of a "multipart/form-data; boundary=..." value (quoted or not), or nothing when
// the type is another one or the boundary is missing, empty or over 70 characters.
std::optional<std::string> BoundaryFromContentType(std::string_view contentType);

// Splits a whole body as MultipartStream reads it, each part's data a view of body.
MultipartResult ParseMultipart(std::string_view body, std::string_view boundary);

// The first part named name, or nullptr.
const FormPart* FindPart(const std::vector<FormPart>& parts, std::string_view name);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_MULTIPART_H
