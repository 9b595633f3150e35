// File and text helpers for the tests: a private temporary folder, whole-file reads and
// writes, and UTF-8 to UTF-16 for building the library's wide arguments.
#ifndef OMBRIVOICE_TESTS_TEST_FILES_H
#define OMBRIVOICE_TESTS_TEST_FILES_H

#include <cstdint>
#include <string>

// A fresh folder under /tmp, removed with everything in it when the object goes.
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

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
// Makes a sparse file of size bytes (all hole, nothing written) with truncate(1), so that the
// file is right whatever this program's own file offsets; throws when it cannot.
void SparseFile(const std::string& path, uint64_t size);
// Deterministic pseudo-random bytes (every value 0..255 occurs).
std::string PatternBytes(size_t length, unsigned salt = 1);
// UTF-8 to UTF-16; invalid input is the caller's mistake and aborts the test program.
std::u16string U16(const std::string& utf8);
// The number of open file descriptors of this process.
int OpenDescriptorCount();

#endif
