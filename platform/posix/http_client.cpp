// The internet-client calls on libcurl. A session and a connection only hold text; the request
// holds the libcurl transfer, which connects when sending begins. Header lines are kept by name
// so that each name goes out once, and libcurl's own defaults (Accept, Content-Type, Expect)
// are suppressed where the request does not name them.
#include "http_client.h"

#include <string>
#include <vector>

#include "curl_transfer.h"
#include "internet_handle.h"

namespace {

bool ApplyRequestOptions(InternetHandle* request, const InternetHandle* connection,
                         const std::string& url, bool secure) {
  CURL* easy = request->transfer->easy;
  return curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http") == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1) == CURLE_OK &&
         ApplyProxyChoice(easy, connection);
}

bool AddClientHeaderLines(InternetHandle* request, const InternetHandle* connection,
                          LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags) {
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
  std::string referer;
  if (!Narrow(referrer, &referer) || (!referer.empty() && !SetHeaderLine(request, "Referer: " + referer))) {
    return false;
  }
  return (flags & INTERNET_FLAG_PRAGMA_NOCACHE) == 0 || SetHeaderLine(request, "Pragma: no-cache");
}

}  // namespace

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR /*proxyBypass*/,
                        DWORD /*flags*/) try {
  if (!EnsureCurlInitialised()) {
    return nullptr;
  }
  InternetHandle* session = new InternetHandle(InternetHandleKind::Session);
  session->accessType = accessType;
  if (!Narrow(agent, &session->agent) ||
      (accessType == INTERNET_OPEN_TYPE_PROXY && !Narrow(proxyName, &session->proxyName))) {
    delete session;
    return nullptr;
  }
  return session;
} catch (...) {
  return nullptr;
}

HINTERNET InternetConnectW(HINTERNET sessionHandle, LPCWSTR serverName, INTERNET_PORT serverPort,
                           LPCWSTR userName, LPCWSTR password, DWORD service, DWORD /*flags*/,
                           DWORD_PTR /*context*/) try {
  InternetHandle* session = AsKind(sessionHandle, InternetHandleKind::Session);
  bool offersCredentials =
      (userName != nullptr && userName[0] != 0) || (password != nullptr && password[0] != 0);
  if (session == nullptr || service != INTERNET_SERVICE_HTTP || offersCredentials) {
    return nullptr;
  }
  InternetHandle* connection = new InternetHandle(*session);
  connection->kind = InternetHandleKind::Connection;
  connection->serverPort = serverPort == 0 ? 80 : serverPort;
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
  if (connection == nullptr || !Narrow(verb, &method) || method != "POST" || !Narrow(objectName, &object)) {
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
  if (request->transfer == nullptr || !ApplyRequestOptions(request, connection, url, secure) ||
      !AddClientHeaderLines(request, connection, referrer, acceptTypes, flags)) {
    InternetCloseHandle(request);
    return nullptr;
  }
  return request;
} catch (...) {
  return nullptr;
}

BOOL HttpAddRequestHeadersW(HINTERNET requestHandle, LPCWSTR headers, DWORD headersLength,
                            DWORD /*modifiers*/) try {
  InternetHandle* request = AsKind(requestHandle, InternetHandleKind::Request);
  int length = headersLength == static_cast<DWORD>(-1) ? -1 : static_cast<int>(headersLength);
  if (request == nullptr || request->transfer->added || !SetHeaderBlock(request, headers, length)) {
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

BOOL InternetReadFile(HINTERNET handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead) {
  InternetHandle* object = static_cast<InternetHandle*>(handle);
  size_t length = 0;
  bool ok = false;
  if (object != nullptr && object->kind == InternetHandleKind::FileUrl) {
    ok = ReadFileUrl(object, buffer, bytesToRead, &length);
  } else if (object != nullptr && (object->kind == InternetHandleKind::Request ||
                                   object->kind == InternetHandleKind::Url)) {
    ok = PullCurlReply(object->transfer, buffer, bytesToRead, &length);
  }
  if (bytesRead != nullptr) {
    *bytesRead = static_cast<DWORD>(length);
  }
  return ok ? TRUE : FALSE;
}

BOOL HttpQueryInfoW(HINTERNET handle, DWORD infoLevel, void* buffer, DWORD* bufferLength, DWORD* /*index*/) {
  InternetHandle* object = static_cast<InternetHandle*>(handle);
  bool hasTransfer = object != nullptr && (object->kind == InternetHandleKind::Request ||
                                           object->kind == InternetHandleKind::Url);
  if (!hasTransfer || buffer == nullptr || bufferLength == nullptr) {
    return FALSE;
  }
  curl_off_t value = -1;
  if (infoLevel == HTTP_QUERY_CONTENT_LENGTH) {
    curl_easy_getinfo(object->transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &value);
  } else if (infoLevel == HTTP_QUERY_STATUS_CODE) {
    long status = 0;
    curl_easy_getinfo(object->transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    value = status > 0 ? status : -1;
  }
  std::string digits = std::to_string(value);
  if (value < 0 || (digits.size() + 1) * sizeof(WCHAR) > *bufferLength) {
    return FALSE;
  }
  WCHAR* text = static_cast<WCHAR*>(buffer);
  for (size_t i = 0; i < digits.size(); ++i) text[i] = static_cast<WCHAR>(digits[i]);
  text[digits.size()] = 0;
  *bufferLength = static_cast<DWORD>(digits.size() * sizeof(WCHAR));
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  InternetHandle* object = static_cast<InternetHandle*>(handle);
  if (object == nullptr) {
    return FALSE;
  }
  DestroyCurlTransfer(object->transfer);
  CloseFileUrl(object);
  object->kind = InternetHandleKind{0};  // a second close of the same pointer is caught in tests
  delete object;
  return TRUE;
}
