// Loopback FTP servers for the tests, each serving one folder to the anonymous user until the
// object goes: tests/tls/ftp_server.py (plain, or explicit TLS), and vsftpd set up to refuse
// passive connections, as servers that only take active ones are.
#ifndef OMBRIVOICE_TESTS_FTP_SERVER_H
#define OMBRIVOICE_TESTS_FTP_SERVER_H

#include <memory>
#include <string>

#include "support/common/service_runner.h"
#include "support/test_files.h"

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

// vsftpd with a private configuration on a free loopback port, refusing both EPSV and PASV
// (pasv_enable=NO): a client gets files only over a data connection it listens for itself.
class ActiveOnlyFtpServer {
 public:
  // Throws when vsftpd does not come up.
  explicit ActiveOnlyFtpServer(const std::string& folder);
  // ftp://127.0.0.1:<port>/name
  std::string Url(const std::string& name) const;

 private:
  TempDir state_;  // its configuration and its empty secure folder
  std::unique_ptr<ServiceRunner> runner_;
};

#endif
