// File helpers for the tests: whole-file reads and writes, sparse and patterned files, and
// (from the helpers both test trees share) a private temporary folder and UTF-8 to UTF-16.
#ifndef OMBRIVOICE_TESTS_TEST_FILES_H
#define OMBRIVOICE_TESTS_TEST_FILES_H

#include <cstdint>
#include <string>

#include "support/common/temp_dir.h"
#include "host/utf16.h"

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);
bool FileExists(const std::string& path);
// Makes a sparse file of size bytes (all hole, nothing written) with truncate(1), so that the
// file is right whatever this program's own file offsets; throws when it cannot.
void SparseFile(const std::string& path, uint64_t size);
// Deterministic pseudo-random bytes (every value 0..255 occurs).
std::string PatternBytes(size_t length, unsigned salt = 1);
// The number of open file descriptors of this process.
int OpenDescriptorCount();

#endif
