// The URL opener. Network schemes go through a libcurl transfer that follows redirects; a
// file:// URL is read directly (file_url.cpp). An ftps:// URL is FTP with explicit TLS (AUTH
// TLS, port 21 by default) required on the control and every data connection, certificate and
// host name checked; only one naming port 990 keeps libcurl's implicit TLS. ftp:// stays plain.
// FTP asks for a passive data connection first and falls back to an active one when the server
// refuses both EPSV and PASV.
#include "platform/internet_handle.h"

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

bool ApplyUrlOptions(InternetHandle* opened, const std::string& url) {
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
         curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK;
}

// A URL as people type it may hold spaces in its path, query or fragment; each goes out as
// %20, as the platform's own URL opener sends it. Nothing else is encoded (an escape already
// there stays as it is), and a space before the path, in the host, is left for the parser to
// refuse, as it refuses control characters anywhere.
std::string WithSpacesEncoded(const std::string& url) {
  size_t authority = url.find("://");
  size_t pathStart = url.find_first_of("/?#", authority == std::string::npos ? 0 : authority + 3);
  if (pathStart == std::string::npos) {
    return url;
  }
  std::string encoded = url.substr(0, pathStart);
  for (size_t i = pathStart; i < url.size(); ++i) {
    encoded += url[i] == ' ' ? std::string("%20") : std::string(1, url[i]);
  }
  return encoded;
}

// Opens a network URL: connects, sends the request and waits for the reply to begin. With
// activeFtp, FTP data connections are made by the server to this side's address on the control
// connection. nullptr on failure, with *passiveRefused when the server refused both EPSV and PASV.
InternetHandle* OpenNetworkUrl(const InternetHandle* session, const std::string& url, bool activeFtp,
                               bool* passiveRefused) {
  InternetHandle* opened = new InternetHandle(InternetHandleKind::Url);
  opened->transfer = CreateCurlTransfer();
  bool ok = opened->transfer != nullptr && ApplyUrlOptions(opened, url) &&
            (!activeFtp || curl_easy_setopt(opened->transfer->easy, CURLOPT_FTPPORT, "-") == CURLE_OK) &&
            (session->agent.empty() || SetHeaderLine(opened, "User-Agent: " + session->agent)) &&
            ApplyHeaderLines(opened) && StartCurlTransfer(opened->transfer) &&
            WaitForCurlReplyHead(opened->transfer);
  if (!ok) {
    *passiveRefused = opened->transfer != nullptr && opened->transfer->done &&
                      opened->transfer->result == CURLE_FTP_WEIRD_PASV_REPLY;
    InternetCloseHandle(opened);
    return nullptr;
  }
  return opened;
}

}  // namespace

HINTERNET InternetOpenUrlW(HINTERNET sessionHandle, LPCWSTR url, LPCWSTR headers, DWORD headersLength,
                           DWORD /*flags*/, DWORD_PTR /*context*/) try {
  InternetHandle* session = AsKind(sessionHandle, InternetHandleKind::Session);
  std::string address;
  bool addsHeaders = headers != nullptr && headers[0] != 0 && headersLength != 0;
  if (session == nullptr || addsHeaders || !Narrow(url, &address) || address.empty()) {
    return nullptr;
  }
  address = WithSpacesEncoded(address);
  std::string scheme = SchemeOf(address);
  if (scheme == "file") {
    return OpenFileUrl(address);
  }
  if (scheme != "http" && scheme != "https" && scheme != "ftp" && scheme != "ftps") {
    return nullptr;
  }
  bool passiveRefused = false;
  InternetHandle* opened = OpenNetworkUrl(session, address, false, &passiveRefused);
  if (opened == nullptr && passiveRefused) {
    opened = OpenNetworkUrl(session, address, true, &passiveRefused);
  }
  return opened;
} catch (...) {
  return nullptr;
}
