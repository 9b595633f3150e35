// The shared reply bodies.
#include "support/reply_cases.h"

#include <cstdio>

#include "support/loopback_server.h"
#include "support/test_files.h"

std::vector<std::string> DownloadBodies() {
  return {"", std::string(1000, 'a'), PatternBytes(70001, 3), PatternBytes(1 << 20, 4)};
}

namespace {

// body as a chunked reply in chunks of chunkBytes (the last one shorter).
std::string ChunkedReply(const std::string& body, size_t chunkBytes) {
  std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  char size[32];
  for (size_t at = 0; at < body.size(); at += chunkBytes) {
    std::string chunk = body.substr(at, chunkBytes);
    snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    reply += size + chunk + "\r\n";
  }
  return reply + "0\r\n\r\n";
}

}  // namespace

std::vector<ReplyCase> RawReplyCases() {
  std::string longBody = PatternBytes((3 << 20) + 7, 6);
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
      // Decoded chunk by chunk, a read reaches the client in many pieces, so receiving can stop
      // between two of them and the rest must wait in the client, not be lost.
      {"chunked, 3 MiB in uneven chunks", ChunkedReply(longBody, 70001), longBody},
  };
}
