// File and text helpers for the tests.
#include "support/test_files.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool FileExists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

void SparseFile(const std::string& path, uint64_t size) {
  std::string command = "truncate -s " + std::to_string(size) + " '" + path + "'";
  if (system(command.c_str()) != 0) throw std::runtime_error("cannot make " + path);
}

std::string PatternBytes(size_t length, unsigned salt) {
  std::string bytes(length, '\0');
  unsigned state = 2463534242u ^ salt;
  for (size_t i = 0; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<char>((state >> 8) ^ i);
  }
  return bytes;
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* folder = opendir("/proc/self/fd");
  while (folder != nullptr && readdir(folder) != nullptr) count++;
  if (folder != nullptr) closedir(folder);
  return count - 3;  // ".", ".." and the folder's own descriptor
}
