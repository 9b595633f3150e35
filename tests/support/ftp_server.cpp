// The FTP server script run through ServiceRunner, which reads the port from its first line and
// stops it with SIGTERM.
#include "support/ftp_server.h"

#include <sys/stat.h>

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

// Anonymous, read-only, in the foreground as the user who starts it, with no sandbox that
// needs privileges; passive refused, active data connections from any local port.
std::string VsftpdConfiguration(const std::string& folder, const std::string& secureFolder, int port) {
  return "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" + std::to_string(port) +
         "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nanon_root=" + folder +
         "\nlocal_enable=NO\nwrite_enable=NO\npasv_enable=NO\nport_enable=YES\nconnect_from_port_20=NO\n"
         "run_as_launching_user=YES\nsecure_chroot_dir=" + secureFolder +
         "\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\nxferlog_enable=NO\n";
}

}  // namespace

FtpServer::FtpServer(const std::string& folder, const std::string& certificate)
    : runner_(ServerScriptPath(), ServerArguments(folder, certificate)) {
  if (runner_.port() == 0) throw std::runtime_error("the FTP server did not start");
}

std::string FtpServer::Url(const std::string& scheme, const std::string& name) const {
  return scheme + "://127.0.0.1:" + std::to_string(port()) + "/" + name;
}

ActiveOnlyFtpServer::ActiveOnlyFtpServer(const std::string& folder) {
  int port = FreeLoopbackPort();
  mkdir(state_.File("empty").c_str(), 0755);
  WriteBytes(state_.File("vsftpd.conf"), VsftpdConfiguration(folder, state_.File("empty"), port));
  runner_ = std::make_unique<ServiceRunner>(std::vector<std::string>{"/usr/sbin/vsftpd", state_.File("vsftpd.conf")},
                                            port);
  if (runner_->port() == 0) throw std::runtime_error("vsftpd did not start");
}

std::string ActiveOnlyFtpServer::Url(const std::string& name) const {
  return "ftp://127.0.0.1:" + std::to_string(runner_->port()) + "/" + name;
}
