// The record behind every internet handle, the calls every kind of handle shares (opening the
// session, reading a reply, asking for a reply header, closing), and the helpers that the HTTP
// request (http_client.cpp) and the URL opener (url_opener.cpp) both use.
#ifndef OMBRIVOICE_PLATFORM_INTERNET_HANDLE_H
#define OMBRIVOICE_PLATFORM_INTERNET_HANDLE_H

#include <string>
#include <vector>

#include "platform/curl_transfer.h"
#include "platform/http_client.h"

enum class InternetHandleKind : uint32_t {
  Session = 0x53455353,
  Connection,
  Request,   // an HTTP request on a connection
  Url,       // a URL opened through libcurl
  FileUrl,   // a file:// URL, read straight from the file
};

struct InternetHandle {
  explicit InternetHandle(InternetHandleKind handleKind) : kind(handleKind) {}
  InternetHandleKind kind;
  std::string agent;                     // session and connection: sent as User-Agent
  std::string serverName;                // connection only
  INTERNET_PORT serverPort = 0;          // connection only
  std::vector<std::string> headerLines;  // request and URL: "Name: value", each name once
  CurlTransfer* transfer = nullptr;      // request and URL
  int fileDescriptor = -1;               // file URL
};

// The handle as the kind asked for, or nullptr.
InternetHandle* AsKind(HINTERNET handle, InternetHandleKind kind);

// NUL-terminated UTF-16 (nullptr counts as empty) to UTF-8. False for text that does not
// convert.
bool Narrow(LPCWSTR text, std::string* out);

// Adds "Name: value", replacing a line of the same name. False for a line with no name.
bool SetHeaderLine(InternetHandle* handle, const std::string& line);

// Adds the CR LF-separated lines of a NUL-terminated UTF-16 block. False if one has no name or
// the block does not convert.
bool SetHeaderBlock(InternetHandle* handle, LPCWSTR headers);

// Hands the handle's lines to its transfer, with empty lines that stop libcurl adding its own
// Accept, Content-Type or Expect (100-continue would delay every large body).
bool ApplyHeaderLines(InternetHandle* handle);

// File URLs, read straight from the file (libcurl cannot pause a file:// transfer). Opening
// gives nullptr for a URL that names no local regular file.
HINTERNET OpenFileUrl(const std::string& url);
bool ReadFileUrl(InternetHandle* handle, void* buffer, size_t capacity, size_t* length);
void CloseFileUrl(InternetHandle* handle);

#endif
