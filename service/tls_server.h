// The service's TLS set-up: the certificate and private key of --tls-cert and --tls-key are
// loaded into an OpenSSL context only once both have been read and found to belong together.
#ifndef OMBRIVOICE_SERVICE_TLS_SERVER_H
#define OMBRIVOICE_SERVICE_TLS_SERVER_H

#include <openssl/ssl.h>

#include <string>

namespace ombrivoice::service {

// The PEM files of --tls-cert and --tls-key; both empty for plain HTTP.
struct TlsFiles {
  std::string certificateFile;  // the server's certificate, then any intermediate ones
  std::string keyFile;          // its private key, unencrypted
};

// Sets TLS 1.2 as the floor and loads files into context. False, with the reason and the file
// in *error, when either file cannot be read, holds no PEM certificate or key, the key is
// encrypted, or it is not the certificate's.
bool SetUpTlsContext(SSL_CTX& context, const TlsFiles& files, std::string* error);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_TLS_SERVER_H
