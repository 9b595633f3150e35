// The upload's form read as it streams: the "file" part's bytes written straight to a file,
// the "apikey" part kept, every other part passed over, so that what the form holds in memory
// stays a few KiB whatever the body's size or its count of parts.
#ifndef OMBRIVOICE_SERVICE_UPLOAD_FORM_H
#define OMBRIVOICE_SERVICE_UPLOAD_FORM_H

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "service/multipart.h"

namespace ombrivoice::service {

// A key longer than this is kept only as "too long": no key the service accepts is (the
// library's form carries up to 890 characters).
constexpr std::size_t kMaxFormKeyBytes = 4096;

class UploadForm : private FormEvents {
 public:
  // Reads a form of boundary; its first "file" part goes to audioPath, made when that part
  // begins and removed with the form unless Release()d.
  UploadForm(std::string_view boundary, std::string audioPath);
  ~UploadForm() override;
  UploadForm(const UploadForm&) = delete;
  UploadForm& operator=(const UploadForm&) = delete;

  // The next bytes of the body; false once the form is malformed or the file cannot be
  // written (see storageFailed), with error() saying why.
  bool Feed(std::string_view bytes);
  // The body has ended: false when the form is malformed or the file could not be written.
  bool Finish();
  const std::string& error() const { return error_; }
  bool storageFailed() const { return storageFailed_; }

  // The first "apikey" part's bytes; nothing without one, "" when it was over kMaxFormKeyBytes.
  const std::optional<std::string>& key() const { return key_; }
  bool hasFile() const { return fileSeen_; }
  const std::string& audioPath() const { return audioPath_; }
  // The file is someone else's now: the form leaves it in place.
  void Release() { released_ = true; }

 private:
  enum class Part { kNone, kFile, kKey, kOther };
  void OnPart(const FormPart& part, std::uint64_t at) override;
  bool OnData(std::string_view bytes, std::uint64_t at) override;
  bool Stored(bool written);

  MultipartStream stream_;
  const std::string audioPath_;
  std::ofstream audio_;
  Part current_ = Part::kNone;   // what the part being read is
  bool fileSeen_ = false;        // a "file" part began: later ones are passed over
  std::optional<std::string> key_;
  bool storageFailed_ = false;
  bool released_ = false;
  std::string error_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_UPLOAD_FORM_H
