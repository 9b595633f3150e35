// A private temporary folder for a test, shared by the library's and the service's tests.
#ifndef OMBRIVOICE_TESTS_COMMON_TEMP_DIR_H
#define OMBRIVOICE_TESTS_COMMON_TEMP_DIR_H

#include <string>

// A fresh folder under /tmp, removed with everything in it (unreadable folders included) when
// the object goes. Throws when no folder can be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

#endif
