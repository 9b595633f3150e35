// A private temporary folder for a test.
#include "support/common/temp_dir.h"

#include <cstdlib>
#include <stdexcept>

TempDir::TempDir() {
  char pattern[] = "/tmp/ombrivoice-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  // A test may have taken the permissions off a folder inside to make a write fail.
  std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
  (void)!system(command.c_str());
}
