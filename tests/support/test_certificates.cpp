// Runs the certificate maker once, into a folder under /tmp that is removed at exit.
#include "support/test_certificates.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

std::string gFolder;

void RemoveFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(gFolder, ignored);
}

}  // namespace

const TestCertificates& TestCertificates::Get() {
  static const TestCertificates made = [] {
    char pattern[] = "/tmp/ombrivoice-certs.XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no folder for the certificates");
    gFolder = pattern;
    std::atexit(RemoveFolder);
    std::string command = std::string("/usr/bin/python3 '") + OMBRIVOICE_MAKE_CERTIFICATES + "' '" + gFolder +
                          "' '" + OMBRIVOICE_API_HOST + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot make the certificates");
    TestCertificates certificates;
    certificates.folder_ = gFolder;
    certificates.ca = gFolder + "/ca.pem";
    return certificates;
  }();
  return made;
}

ServerScript TestCertificates::Tls(const std::string& certificate, const std::string& reply) const {
  ServerScript script(reply);
  script.certificateFile = folder_ + "/" + certificate + ".pem";
  script.keyFile = folder_ + "/" + certificate + ".key";
  return script;
}
