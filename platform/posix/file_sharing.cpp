// The files open for reading without write sharing, by device and inode, counted; and the
// opens that check against them.
#include "platform/file_sharing.h"

#include "platform/robust_calls.h"

#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct FileIdentity {
  dev_t device;
  ino_t inode;
  bool operator==(const FileIdentity& other) const { return device == other.device && inode == other.inode; }
};

std::mutex gReadersLock;                  // guards gReaders
std::vector<FileIdentity> gReaders;       // one entry per open reader that refuses writers

FileIdentity IdentityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

bool HasReaderRefusingWriters(FileIdentity file) {
  std::lock_guard<std::mutex> guard(gReadersLock);
  for (const FileIdentity& reader : gReaders) {
    if (reader == file) return true;
  }
  return false;
}

// A regular file's size is its length unless the file system makes its content up on reading
// (/proc, /sys report 0): a file of size 0 must then yield nothing at offset 0.
bool SizeIsLength(int descriptor, const struct stat& status) {
  char byte;
  return status.st_size > 0 || pread(descriptor, &byte, 1, 0) == 0;
}

bool MakeReadsBlock(int descriptor) {
  int flags = fcntl(descriptor, F_GETFL);
  return flags >= 0 && fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

int OpenReadFile(const char* fileName, bool refuseWriters) {
  // O_NONBLOCK: opening a FIFO with no writer would otherwise wait for one for ever.
  int descriptor = RobustOpen(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0) {
    return -1;
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || !SizeIsLength(descriptor, status) ||
      !MakeReadsBlock(descriptor)) {
    close(descriptor);
    return -1;
  }
  if (refuseWriters) {
    std::lock_guard<std::mutex> guard(gReadersLock);
    gReaders.push_back(IdentityOf(status));
  }
  return descriptor;
}

void CloseReadFile(int descriptor, bool refuseWriters) {
  struct stat status;
  if (refuseWriters && fstat(descriptor, &status) == 0) {
    std::lock_guard<std::mutex> guard(gReadersLock);
    for (auto reader = gReaders.begin(); reader != gReaders.end(); ++reader) {
      if (*reader == IdentityOf(status)) {
        gReaders.erase(reader);
        break;
      }
    }
  }
  close(descriptor);  // never retried: the descriptor is gone on EINTR
}

int OpenWriteFile(const char* fileName, int access) {
  // Truncated only after the check, so that a refused open changes nothing; and only when it
  // holds bytes: ext4 takes a truncation, even of an empty file, as a file being replaced, and
  // then writes back everything written to it at close, which slows a large download by half.
  int descriptor = RobustOpen(fileName, access | O_CREAT, 0666);
  if (descriptor < 0) {
    return -1;
  }
  struct stat status;
  bool usable = fstat(descriptor, &status) == 0 && !S_ISDIR(status.st_mode) &&
                !HasReaderRefusingWriters(IdentityOf(status)) &&
                (!S_ISREG(status.st_mode) || status.st_size == 0 || ftruncate(descriptor, 0) == 0);
  if (!usable) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}
