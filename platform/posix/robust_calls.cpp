// EINTR retries and short writes, in one place.
#include "platform/robust_calls.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int RobustOpen(const char* fileName, int flags, mode_t mode) {
  int descriptor;
  do {
    descriptor = open(fileName, flags | O_CLOEXEC, mode);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

ssize_t RobustRead(int descriptor, void* out, size_t length) {
  ssize_t got;
  do {
    got = read(descriptor, out, length);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool RobustWriteAll(int descriptor, const void* bytes, size_t length) {
  const char* next = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t written = write(descriptor, next, length);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    next += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}
