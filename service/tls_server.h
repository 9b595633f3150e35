// The service's HTTP server, plain or over TLS: a TLS server is made only once its certificate
// and private key have been read and found to belong together.
#ifndef OMBRIVOICE_SERVICE_TLS_SERVER_H
#define OMBRIVOICE_SERVICE_TLS_SERVER_H

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace ombrivoice::service {

// The PEM files of --tls-cert and --tls-key; both empty for plain HTTP.
struct TlsFiles {
  std::string certificateFile;  // the server's certificate, then any intermediate ones
  std::string keyFile;          // its private key, unencrypted
};

// A plain HTTP server when files names no certificate, else one that speaks only HTTPS with
// them. Null, with the reason and the file in *error, when either file cannot be read, holds
// no PEM certificate or key, or the key is not the certificate's.
std::unique_ptr<httplib::Server> MakeServer(const TlsFiles& files, std::string* error);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_TLS_SERVER_H
