// The upload's form on MultipartStream: each part is told apart by its name as it begins; the
// file's bytes are written as they come, and the file is closed and checked once the form ends.
#include "service/upload_form.h"

#include <cstdio>

namespace ombrivoice::service {

UploadForm::UploadForm(std::string_view boundary, std::string audioPath)
    : stream_(boundary, *this), audioPath_(std::move(audioPath)) {}

UploadForm::~UploadForm() {
  if (!fileSeen_ || released_) return;
  audio_.close();
  std::remove(audioPath_.c_str());
}

bool UploadForm::Feed(std::string_view bytes) {
  if (stream_.Feed(bytes)) return true;
  if (!storageFailed_) error_ = stream_.error();
  return false;
}

bool UploadForm::Finish() {
  if (!stream_.Finish()) {
    if (!storageFailed_) error_ = stream_.error();
    return false;
  }
  if (fileSeen_) {
    audio_.close();  // a failed flush of the last bytes shows only here
    return Stored(!audio_.fail());
  }
  return true;
}

bool UploadForm::Stored(bool written) {
  if (written) return true;
  storageFailed_ = true;
  error_ = "cannot write " + audioPath_;
  return false;
}

void UploadForm::OnPart(const FormPart& part, std::uint64_t) {
  current_ = Part::kOther;
  if (part.name == "file" && !fileSeen_) {
    fileSeen_ = true;
    current_ = Part::kFile;
    audio_.open(audioPath_, std::ios::binary | std::ios::trunc);
  } else if (part.name == "apikey" && !key_) {
    current_ = Part::kKey;
    key_.emplace();
  }
}

bool UploadForm::OnData(std::string_view bytes, std::uint64_t) {
  switch (current_) {
    case Part::kFile:
      audio_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      return Stored(audio_.good());
    case Part::kKey:
      if (key_->size() + bytes.size() > kMaxFormKeyBytes) {
        key_->clear();  // too long to be a key: kept as "", which no key is
        current_ = Part::kOther;
      } else {
        key_->append(bytes.data(), bytes.size());
      }
      return true;
    case Part::kNone:
    case Part::kOther:
      return true;
  }
  return true;
}

}  // namespace ombrivoice::service
