// The shared reply bodies.
#include "support/reply_cases.h"

#include "support/loopback_server.h"
#include "support/test_files.h"

std::vector<std::string> DownloadBodies() {
  return {"", std::string(1000, 'a'), PatternBytes(70001, 3), PatternBytes(1 << 20, 4)};
}

std::vector<ReplyCase> RawReplyCases() {
  std::string gzipBody("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x4b\x04\x00\x43\xbe\xb7\xe8\x01\x00\x00\x00", 21);
  return {
      {"404 page", HttpReply(404, "<h1>Not here</h1>"), "<h1>Not here</h1>"},
      {"gzip-coded", HttpReply(200, gzipBody, "Content-Encoding: gzip\r\n"), gzipBody},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
       "abc"},
      {"the same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc",
       "abc"},
      // A transfer coding frames the body; a length beside it says nothing.
      {"chunked, with a length", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n"
       "Connection: close\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n", "abcdef"},
  };
}
