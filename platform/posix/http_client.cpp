// The HTTP request calls on libcurl: a connection only holds text, and the request holds the
// libcurl transfer, which connects when sending begins. Header lines are kept by name so that
// each name goes out once, and libcurl's own defaults (Accept, Content-Type, Expect) are
// suppressed where the request does not name them. The calls every handle shares are in
// internet_handle.cpp.
#include "platform/http_client.h"

#include <string>

#include "platform/curl_transfer.h"
#include "platform/internet_handle.h"

namespace {

constexpr DWORD kRequestFlagsKnown = INTERNET_FLAG_RELOAD | INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_SECURE;

bool ApplyRequestOptions(InternetHandle* request, const std::string& url, bool secure) {
  CURL* easy = request->transfer->easy;
  return curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK;
}

bool AddClientHeaderLines(InternetHandle* request, const InternetHandle* connection, LPCWSTR* acceptTypes,
                          DWORD flags) {
  if (!connection->agent.empty() && !SetHeaderLine(request, "User-Agent: " + connection->agent)) {
    return false;
  }
  std::string accept;
  for (LPCWSTR* type = acceptTypes; type != nullptr && *type != nullptr; ++type) {
    std::string narrow;
    if (!Narrow(*type, &narrow)) return false;
    accept += (accept.empty() ? "" : ", ") + narrow;
  }
  if (!accept.empty() && !SetHeaderLine(request, "Accept: " + accept)) {
    return false;
  }
  return (flags & INTERNET_FLAG_PRAGMA_NOCACHE) == 0 || SetHeaderLine(request, "Pragma: no-cache");
}

}  // namespace

HINTERNET InternetConnectW(HINTERNET sessionHandle, LPCWSTR serverName, INTERNET_PORT serverPort,
                           LPCWSTR userName, LPCWSTR password, DWORD service, DWORD /*flags*/,
                           DWORD_PTR /*context*/) try {
  InternetHandle* session = AsKind(sessionHandle, InternetHandleKind::Session);
  bool offersCredentials =
      (userName != nullptr && userName[0] != 0) || (password != nullptr && password[0] != 0);
  if (session == nullptr || service != INTERNET_SERVICE_HTTP || offersCredentials || serverPort == 0) {
    return nullptr;
  }
  InternetHandle* connection = new InternetHandle(InternetHandleKind::Connection);
  connection->agent = session->agent;
  connection->serverPort = serverPort;
  if (!Narrow(serverName, &connection->serverName) || connection->serverName.empty() ||
      connection->serverName.find_first_of("/?#@ \r\n") != std::string::npos) {
    delete connection;
    return nullptr;
  }
  return connection;
} catch (...) {
  return nullptr;
}

HINTERNET HttpOpenRequestW(HINTERNET connectionHandle, LPCWSTR verb, LPCWSTR objectName,
                           LPCWSTR /*version*/, LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags,
                           DWORD_PTR /*context*/) try {
  InternetHandle* connection = AsKind(connectionHandle, InternetHandleKind::Connection);
  std::string method, object;
  bool namesReferrer = referrer != nullptr && referrer[0] != 0;
  if (connection == nullptr || namesReferrer || (flags & ~kRequestFlagsKnown) != 0 || !Narrow(verb, &method) ||
      method != "POST" || !Narrow(objectName, &object)) {
    return nullptr;
  }
  if (object.empty() || object[0] != '/') object = "/" + object;
  bool secure = (flags & INTERNET_FLAG_SECURE) != 0;
  INTERNET_PORT defaultPort = secure ? 443 : 80;
  std::string url = (secure ? "https://" : "http://") + connection->serverName;
  if (connection->serverPort != defaultPort) url += ":" + std::to_string(connection->serverPort);
  url += object;

  InternetHandle* request = new InternetHandle(InternetHandleKind::Request);
  request->transfer = CreateCurlTransfer();
  if (request->transfer == nullptr || !ApplyRequestOptions(request, url, secure) ||
      !AddClientHeaderLines(request, connection, acceptTypes, flags)) {
    InternetCloseHandle(request);
    return nullptr;
  }
  return request;
} catch (...) {
  return nullptr;
}

BOOL HttpAddRequestHeadersW(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength,
                            DWORD modifiers) try {
  InternetHandle* request = AsKind(requestHandle, InternetHandleKind::Request);
  if (request == nullptr || request->transfer->added || headersLength != static_cast<DWORD>(-1) ||
      modifiers != HTTP_ADDREQ_FLAG_ADD || !SetHeaderBlock(request, headers)) {
    return FALSE;
  }
  return TRUE;
} catch (...) {
  return FALSE;
}

BOOL HttpSendRequestExW(HINTERNET requestHandle, INTERNET_BUFFERSW* buffersIn,
                        INTERNET_BUFFERSW* /*buffersOut*/, DWORD /*flags*/, DWORD_PTR /*context*/) try {
  InternetHandle* request = AsKind(requestHandle, InternetHandleKind::Request);
  if (request == nullptr || request->transfer->added) {
    return FALSE;
  }
  CurlTransfer* transfer = request->transfer;
  curl_off_t bodyLength = buffersIn != nullptr ? buffersIn->dwBufferTotal : 0;
  bool ok = curl_easy_setopt(transfer->easy, CURLOPT_POST, 1L) == CURLE_OK &&
            curl_easy_setopt(transfer->easy, CURLOPT_POSTFIELDSIZE_LARGE, bodyLength) == CURLE_OK;
  transfer->declaredLength = bodyLength;
  return ok && ApplyHeaderLines(request) && StartCurlTransfer(transfer) ? TRUE : FALSE;
} catch (...) {
  return FALSE;
}

BOOL InternetWriteFile(HINTERNET requestHandle, const void* buffer, DWORD bytesToWrite,
                       DWORD* bytesWritten) {
  InternetHandle* request = AsKind(requestHandle, InternetHandleKind::Request);
  if (bytesWritten != nullptr) {
    *bytesWritten = 0;
  }
  if (request == nullptr || !PushCurlBody(request->transfer, buffer, bytesToWrite)) {
    return FALSE;
  }
  if (bytesWritten != nullptr) {
    *bytesWritten = bytesToWrite;
  }
  return TRUE;
}

BOOL HttpEndRequestW(HINTERNET requestHandle, INTERNET_BUFFERSW* /*buffersOut*/, DWORD /*flags*/,
                     DWORD_PTR /*context*/) {
  InternetHandle* request = AsKind(requestHandle, InternetHandleKind::Request);
  return request != nullptr && WaitForCurlReplyHead(request->transfer) ? TRUE : FALSE;
}
