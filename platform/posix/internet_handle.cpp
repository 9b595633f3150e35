// The calls every internet handle shares, and the helpers of the HTTP request and the URL
// opener. A session only holds its agent string: proxies come from the environment, which
// libcurl reads for each transfer.
#include "platform/internet_handle.h"

#include "platform/text_conversion.h"

namespace {

bool SameHeaderName(const std::string& line, const std::string& name) {
  if (line.size() <= name.size() || line[name.size()] != ':') {
    return false;
  }
  for (size_t i = 0; i < name.size(); ++i) {
    if ((line[i] | 0x20) != (name[i] | 0x20)) {
      return false;
    }
  }
  return true;
}

bool HasHeader(const InternetHandle* handle, const std::string& name) {
  for (const std::string& line : handle->headerLines) {
    if (SameHeaderName(line, name)) return true;
  }
  return false;
}

}  // namespace

InternetHandle* AsKind(HINTERNET handle, InternetHandleKind kind) {
  InternetHandle* object = static_cast<InternetHandle*>(handle);
  if (object == nullptr || object->kind != kind) {
    return nullptr;
  }
  return object;
}

bool Narrow(LPCWSTR text, std::string* out) {
  out->clear();
  if (text == nullptr || text[0] == 0) {
    return true;
  }
  int needed = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return false;
  }
  out->resize(static_cast<size_t>(needed));
  WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, &(*out)[0], needed, nullptr, nullptr);
  out->pop_back();  // the NUL
  return true;
}

bool SetHeaderLine(InternetHandle* handle, const std::string& line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos || line.find_first_of("\r\n") != std::string::npos) {
    return false;
  }
  std::string name = line.substr(0, colon);
  for (std::string& existing : handle->headerLines) {
    if (SameHeaderName(existing, name)) {
      existing = line;
      return true;
    }
  }
  handle->headerLines.push_back(line);
  return true;
}

bool SetHeaderBlock(InternetHandle* handle, LPCWSTR headers) {
  std::string block;
  if (!Narrow(headers, &block)) {
    return false;
  }
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    if (end == std::string::npos) end = block.size();
    std::string line = block.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && !SetHeaderLine(handle, line)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

bool ApplyHeaderLines(InternetHandle* handle) {
  std::vector<std::string> lines = handle->headerLines;
  for (const char* name : {"Accept", "Content-Type", "Expect"}) {
    if (!HasHeader(handle, name)) lines.push_back(std::string(name) + ":");
  }
  for (const std::string& line : lines) {
    curl_slist* grown = curl_slist_append(handle->transfer->headers, line.c_str());
    if (grown == nullptr) return false;
    handle->transfer->headers = grown;
  }
  return curl_easy_setopt(handle->transfer->easy, CURLOPT_HTTPHEADER, handle->transfer->headers) == CURLE_OK;
}

HINTERNET InternetOpenW(LPCWSTR agent, DWORD accessType, LPCWSTR proxyName, LPCWSTR proxyBypass,
                        DWORD /*flags*/) try {
  bool namesProxy = (proxyName != nullptr && proxyName[0] != 0) || (proxyBypass != nullptr && proxyBypass[0] != 0);
  if (accessType != ConfiguredProxyAccessType() || namesProxy || !EnsureCurlInitialised()) {
    return nullptr;
  }
  InternetHandle* session = new InternetHandle(InternetHandleKind::Session);
  if (!Narrow(agent, &session->agent)) {
    delete session;
    return nullptr;
  }
  return session;
} catch (...) {
  return nullptr;
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
  object->kind = InternetHandleKind{0};  // as the kernel objects do; closing twice is a use after free
  delete object;
  return TRUE;
}
