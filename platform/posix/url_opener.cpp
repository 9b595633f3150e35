// The URL opener. Network schemes go through a libcurl transfer that follows redirects; a
// file:// URL is opened and read directly, since libcurl cannot pause such a transfer to hand
// its body over in the caller's small pieces. An ftps:// URL is FTP with explicit TLS (AUTH TLS,
// port 21 by default) required on the control and every data connection, certificate and host
// name checked; only one naming port 990 keeps libcurl's implicit TLS. ftp:// stays plain.
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internet_handle.h"

namespace {

constexpr long kMaxRedirects = 20;
const char kNetworkSchemes[] = "http,https,ftp,ftps";
const char kImplicitTlsPort[] = "990";  // the one ftps:// port where TLS starts at connect

std::string SchemeOf(const std::string& url) {
  size_t colon = url.find("://");
  if (colon == std::string::npos || colon == 0) return "";
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return scheme;
}

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

HINTERNET OpenFileUrl(const std::string& url) {
  std::string path;
  if (!FileUrlPath(url, &path)) {
    return nullptr;
  }
  int descriptor;
  do {
    descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  struct stat status;
  if (descriptor < 0) {
    return nullptr;
  }
  if (fstat(descriptor, &status) != 0 || S_ISDIR(status.st_mode)) {
    close(descriptor);
    return nullptr;
  }
  InternetHandle* opened = new InternetHandle(InternetHandleKind::FileUrl);
  opened->fileDescriptor = descriptor;
  return opened;
}

// libcurl reads ftps:// as implicit TLS on port 990, which few servers offer; the standard form
// is explicit TLS, asked for on the ftp:// URL. Only an ftps:// URL that names port 990 is
// left as it is. False for one that does not parse.
bool FtpsTransferUrl(const std::string& url, std::string* transferUrl) {
  CURLU* parsed = curl_url();
  char* port = nullptr;
  bool ok = parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  bool implicitTls = ok && curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK &&
                     std::string(port) == kImplicitTlsPort;
  *transferUrl = implicitTls ? url : "ftp" + url.substr(4);  // the scheme is its first four characters
  curl_free(port);
  curl_url_cleanup(parsed);
  return ok;
}

// TLS on the control and every data connection (an explicit-TLS server that does not agree is
// refused), asked for with RFC 4217's AUTH TLS rather than the older AUTH SSL first, and a
// CONNECT tunnel through a proxy: an HTTP proxy would otherwise fetch the URL itself and hand
// the body over in plain text.
bool RequireTls(CURL* easy) {
  return curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_FTPSSLAUTH, static_cast<long>(CURLFTPAUTH_TLS)) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_HTTPPROXYTUNNEL, 1L) == CURLE_OK;
}

bool ApplyUrlOptions(InternetHandle* opened, const InternetHandle* session, const std::string& url) {
  CURL* easy = opened->transfer->easy;
  opened->transfer->followsRedirects = true;
  std::string transferUrl = url;
  if (SchemeOf(url) == "ftps" && (!FtpsTransferUrl(url, &transferUrl) || !RequireTls(easy))) {
    return false;
  }
  return curl_easy_setopt(easy, CURLOPT_URL, transferUrl.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, kNetworkSchemes) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, kNetworkSchemes) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
         ApplyProxyChoice(easy, session);
}

}  // namespace

HINTERNET InternetOpenUrlW(HINTERNET sessionHandle, LPCWSTR url, LPCWSTR headers, DWORD headersLength,
                           DWORD /*flags*/, DWORD_PTR /*context*/) try {
  InternetHandle* session = AsKind(sessionHandle, InternetHandleKind::Session);
  std::string address;
  if (session == nullptr || !Narrow(url, &address) || address.empty()) {
    return nullptr;
  }
  std::string scheme = SchemeOf(address);
  if (scheme == "file") {
    return OpenFileUrl(address);
  }
  if (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "ftps") {
    return nullptr;
  }
  InternetHandle* opened = new InternetHandle(InternetHandleKind::Url);
  opened->transfer = CreateCurlTransfer();
  int length = headersLength == static_cast<DWORD>(-1) ? -1 : static_cast<int>(headersLength);
  bool ok = opened->transfer != nullptr && ApplyUrlOptions(opened, session, address) &&
            (session->agent.empty() || SetHeaderLine(opened, "User-Agent: " + session->agent)) &&
            (headers == nullptr || length == 0 || SetHeaderBlock(opened, headers, length)) &&
            ApplyHeaderLines(opened) && StartCurlTransfer(opened->transfer) &&
            WaitForCurlReplyHead(opened->transfer);
  if (!ok) {
    InternetCloseHandle(opened);
    return nullptr;
  }
  return opened;
} catch (...) {
  return nullptr;
}

bool ReadFileUrl(InternetHandle* handle, void* buffer, size_t capacity, size_t* length) {
  *length = 0;
  for (;;) {
    ssize_t got = read(handle->fileDescriptor, buffer, capacity);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    *length = static_cast<size_t>(got);
    return true;
  }
}

void CloseFileUrl(InternetHandle* handle) {
  if (handle->fileDescriptor >= 0) {
    close(handle->fileDescriptor);
    handle->fileDescriptor = -1;
  }
}
