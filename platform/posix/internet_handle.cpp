// Helpers shared by the HTTP request and the URL opener.
#include "internet_handle.h"

#include "text_conversion.h"

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

bool Narrow(LPCWSTR text, std::string* out, int length) {
  out->clear();
  if (text == nullptr || length == 0 || (length == -1 && text[0] == 0)) {
    return true;
  }
  int needed = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return false;
  }
  out->resize(static_cast<size_t>(needed));
  WideCharToMultiByte(CP_UTF8, 0, text, length, &(*out)[0], needed, nullptr, nullptr);
  if (length == -1) {
    out->pop_back();  // the NUL
  }
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

bool SetHeaderBlock(InternetHandle* handle, LPCWSTR headers, int length) {
  std::string block;
  if (!Narrow(headers, &block, length)) {
    return false;
  }
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    if (end == std::string::npos) end = block.size();
    std::string line = block.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.back() == '\0') line.pop_back();  // a counted block with its NUL
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

bool ApplyProxyChoice(CURL* easy, const InternetHandle* session) {
  if (session->accessType == INTERNET_OPEN_TYPE_DIRECT) {
    return curl_easy_setopt(easy, CURLOPT_PROXY, "") == CURLE_OK;
  }
  if (!session->proxyName.empty()) {
    return curl_easy_setopt(easy, CURLOPT_PROXY, session->proxyName.c_str()) == CURLE_OK;
  }
  return true;  // libcurl reads http_proxy, https_proxy, ftp_proxy, all_proxy and no_proxy
}
