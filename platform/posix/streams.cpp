// C-runtime stream calls with UTF-16 paths, mapped to stdio under UTF-8 names.
#include "platform/streams.h"

#include <sys/stat.h>

#include "platform/text_conversion.h"

namespace {

constexpr size_t kModeBytes = 8;         // "wb+", "rb" and the like, with room to spare

}  // namespace

FILE* _wfopen(LPCWSTR path, LPCWSTR mode) {
  char fileName[kFileNameBytes];
  char narrowMode[kModeBytes];
  if (!WidePathToUtf8(path, fileName, sizeof fileName)) {
    return nullptr;
  }
  if (!WidePathToUtf8(mode, narrowMode, sizeof narrowMode)) {
    return nullptr;
  }
  return fopen(fileName, narrowMode);
}

int _wremove(LPCWSTR path) {
  char fileName[kFileNameBytes];
  if (!WidePathToUtf8(path, fileName, sizeof fileName)) {
    return -1;
  }
  return remove(fileName) == 0 ? 0 : -1;
}

bool StreamIsRegularFile(FILE* stream) {
  struct stat status;
  return fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}
