// The FTP server script run through ServiceRunner, which reads the port from its first line and
// stops it with SIGTERM.
#include "support/ftp_server.h"

#include <stdexcept>
#include <vector>

#include "support/test_certificates.h"

namespace {

// The script sits next to the certificate maker, whose path the build hands to these helpers.
std::string ServerScriptPath() {
  std::string maker = OMBRIVOICE_MAKE_CERTIFICATES;
  return maker.substr(0, maker.rfind('/') + 1) + "ftp_server.py";
}

std::vector<std::string> ServerArguments(const std::string& folder, const std::string& certificate) {
  if (certificate.empty()) return {folder};
  ServerScript files = TestCertificates::Get().Tls(certificate, "");
  return {folder, files.certificateFile, files.keyFile};
}

}  // namespace

FtpServer::FtpServer(const std::string& folder, const std::string& certificate)
    : runner_(ServerScriptPath(), ServerArguments(folder, certificate)) {
  if (runner_.port() == 0) throw std::runtime_error("the FTP server did not start");
}

std::string FtpServer::Url(const std::string& scheme, const std::string& name) const {
  return scheme + "://127.0.0.1:" + std::to_string(port()) + "/" + name;
}
