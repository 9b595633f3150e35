// A file's bytes mapped read-only into memory, so that an upload written to disk can be checked
// in place without reading it onto the heap.
#ifndef OMBRIVOICE_SERVICE_MAPPED_FILE_H
#define OMBRIVOICE_SERVICE_MAPPED_FILE_H

#include <cstddef>
#include <string>
#include <string_view>

namespace ombrivoice::service {

class MappedFile {
 public:
  // Maps path whole; bytes() is empty when it cannot be opened or mapped, or is empty.
  explicit MappedFile(const std::string& path);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view bytes() const { return std::string_view(static_cast<const char*>(data_), size_); }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_MAPPED_FILE_H
