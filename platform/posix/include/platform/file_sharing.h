// Opening files by UTF-8 name as the file calls and the file:// reader do. A file opened for
// reading must be a regular file whose size is its length: a FIFO is refused without waiting
// for a writer, and so are devices and /proc-style files that report a size of 0 and yet hold
// bytes. While such a file is open for reading without write sharing, no open for writing of
// the same file (same device and inode, whatever the name, link or hard link) succeeds, as on
// the platform whose file calls these are: nothing can truncate a file under its reader.
#ifndef OMBRIVOICE_PLATFORM_FILE_SHARING_H
#define OMBRIVOICE_PLATFORM_FILE_SHARING_H

// Opens an existing regular file read-only, blocking reads. With refuseWriters, writers are
// refused until CloseReadFile. The descriptor, or -1.
int OpenReadFile(const char* fileName, bool refuseWriters);

// Closes a descriptor from OpenReadFile and lifts its refusal of writers.
void CloseReadFile(int descriptor, bool refuseWriters);

// Creates the file, or truncates it if it exists (access: O_WRONLY or O_RDWR). Refuses a
// directory, and a file that a reader has open without write sharing, which it leaves as it is.
// The descriptor, or -1.
int OpenWriteFile(const char* fileName, int access);

#endif
