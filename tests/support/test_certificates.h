// The TLS test certificates of one test program: made fresh into a private folder by
// tests/tls/make_certificates.py, so that none ever expires in the repository.
#ifndef OMBRIVOICE_TESTS_TEST_CERTIFICATES_H
#define OMBRIVOICE_TESTS_TEST_CERTIFICATES_H

#include <string>

#include "support/loopback_server.h"

class TestCertificates {
 public:
  // Makes them (once per program; the folder goes when the program ends).
  static const TestCertificates& Get();

  std::string ca;  // the test CA's certificate, the one the tests trust
  // A TLS server script with the reply and the named certificate: "server" (valid for
  // 127.0.0.1, localhost and the API host), "other-name", "expired" or "untrusted".
  ServerScript Tls(const std::string& certificate, const std::string& reply) const;

 private:
  std::string folder_;
};

#endif
