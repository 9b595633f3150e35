// A loopback FTP server for the tests: tests/tls/ftp_server.py as a child process on 127.0.0.1
// at a free port, serving one folder to the anonymous user until the object goes.
#ifndef OMBRIVOICE_TESTS_FTP_SERVER_H
#define OMBRIVOICE_TESTS_FTP_SERVER_H

#include <string>

#include "support/service_runner.h"

class FtpServer {
 public:
  // Plain FTP with no certificate; with one of TestCertificates' names ("server", "untrusted",
  // ...), explicit TLS required on the control and every data connection. Throws when the
  // server does not come up.
  explicit FtpServer(const std::string& folder, const std::string& certificate = "");

  int port() const { return runner_.port(); }
  // scheme://127.0.0.1:<port>/name
  std::string Url(const std::string& scheme, const std::string& name) const;

 private:
  ServiceRunner runner_;
};

#endif
