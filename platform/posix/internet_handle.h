// The record behind every internet handle, and the helpers the HTTP request and the URL opener
// share: UTF-16 to UTF-8, header lines kept once per name, proxy choice.
#ifndef OMBRIVOICE_PLATFORM_INTERNET_HANDLE_H
#define OMBRIVOICE_PLATFORM_INTERNET_HANDLE_H

#include <string>
#include <vector>

#include "curl_transfer.h"
#include "http_client.h"

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
  // Session and connection: how the requests made from them reach their server.
  std::string agent;
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
  std::string proxyName;
  // Connection only.
  std::string serverName;
  INTERNET_PORT serverPort = 80;
  // Request and URL.
  std::vector<std::string> headerLines;  // "Name: value", each name once
  CurlTransfer* transfer = nullptr;
  // File URL.
  int fileDescriptor = -1;
};

// The handle as the kind asked for, or nullptr.
InternetHandle* AsKind(HINTERNET handle, InternetHandleKind kind);

// UTF-16 (nullptr counts as empty) to UTF-8; length -1 reads up to the NUL. False for text
// that does not convert.
bool Narrow(LPCWSTR text, std::string* out, int length = -1);

// Adds "Name: value", replacing a line of the same name. False for a line with no name.
bool SetHeaderLine(InternetHandle* handle, const std::string& line);

// Adds CR LF-separated lines from a UTF-16 block. False if one has no name or it won't convert.
bool SetHeaderBlock(InternetHandle* handle, LPCWSTR headers, int length);

// Hands the handle's lines to its transfer, with empty lines that stop libcurl adding its own
// Accept, Content-Type or Expect (100-continue would delay every large body).
bool ApplyHeaderLines(InternetHandle* handle);

// Direct, a named proxy, or (by default) the proxy the environment configures.
bool ApplyProxyChoice(CURL* easy, const InternetHandle* session);

// File URLs, read straight from the file (libcurl cannot pause a file:// transfer). Opening
// gives nullptr for a URL that names no local regular file.
HINTERNET OpenFileUrl(const std::string& url);
bool ReadFileUrl(InternetHandle* handle, void* buffer, size_t capacity, size_t* length);
void CloseFileUrl(InternetHandle* handle);

#endif
