// The reply bodies a download must save exactly as sent, shared by the Linux build's download
// tests and the Windows DLL's.
#ifndef OMBRIVOICE_TESTS_REPLY_CASES_H
#define OMBRIVOICE_TESTS_REPLY_CASES_H

#include <string>
#include <vector>

struct ReplyCase {
  const char* name;
  std::string reply;  // the raw reply the server sends
  std::string saved;  // the body the file must hold
};

// Bodies of 0, 1000, 70,001 and 1 MiB bytes (short reads, pieces, and a large body).
std::vector<std::string> DownloadBodies();

// A 404 page, a gzip-coded body (kept coded) and chunked ones (unframed), short and 3 MiB.
std::vector<ReplyCase> RawReplyCases();

#endif
