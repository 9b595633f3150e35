// file:// URLs, read straight from the local file: libcurl cannot pause such a transfer to hand
// its body over in the caller's small pieces. The file is opened as the file calls open one for
// reading (a regular file, never waiting, not to be truncated while it is read).
#include <new>

#include "platform/file_sharing.h"
#include "platform/internet_handle.h"
#include "platform/robust_calls.h"

namespace {

// The local file a file:// URL names: no host or "localhost", percent-escapes decoded.
bool FileUrlPath(const std::string& url, std::string* path) {
  CURLU* parsed = curl_url();
  char* host = nullptr;
  char* decoded = nullptr;
  bool ok = parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_PATH, &decoded, CURLU_URLDECODE) == CURLUE_OK;
  CURLUcode hostResult = parsed != nullptr ? curl_url_get(parsed, CURLUPART_HOST, &host, 0) : CURLUE_OK;
  if (ok && hostResult == CURLUE_OK && host != nullptr && host[0] != 0 &&
      std::string(host) != "localhost") {
    ok = false;
  }
  if (ok) *path = decoded;
  curl_free(host);
  curl_free(decoded);
  curl_url_cleanup(parsed);
  return ok && !path->empty();
}

}  // namespace

HINTERNET OpenFileUrl(const std::string& url) {
  std::string path;
  if (!FileUrlPath(url, &path)) {
    return nullptr;
  }
  int descriptor = OpenReadFile(path.c_str(), true);
  if (descriptor < 0) {
    return nullptr;
  }
  InternetHandle* opened = new (std::nothrow) InternetHandle(InternetHandleKind::FileUrl);
  if (opened == nullptr) {
    CloseReadFile(descriptor, true);
    return nullptr;
  }
  opened->fileDescriptor = descriptor;
  return opened;
}

bool ReadFileUrl(InternetHandle* handle, void* buffer, size_t capacity, size_t* length) {
  ssize_t got = RobustRead(handle->fileDescriptor, buffer, capacity);
  *length = got > 0 ? static_cast<size_t>(got) : 0;
  return got >= 0;
}

void CloseFileUrl(InternetHandle* handle) {
  if (handle->fileDescriptor >= 0) {
    CloseReadFile(handle->fileDescriptor, true);
    handle->fileDescriptor = -1;
  }
}
