// Fills the server's OpenSSL context itself, so that each failure is reported with its file and
// OpenSSL's reason.
#include "service/tls_server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstring>

namespace ombrivoice::service {
namespace {

// OpenSSL's reason for the earliest error queued on this thread (the cause; later ones only
// say which call gave up), and the queue emptied. A failed system call, such as opening a file
// that is not there, is queued with its errno.
std::string TakeOpenSslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (ERR_GET_LIB(code) == ERR_LIB_SYS) {
    return std::strerror(ERR_GET_REASON(code));
  }
  if (ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE) {
    return "it holds no PEM block of that kind";
  }
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  return reason != nullptr ? reason : "unknown OpenSSL error";
}

// Answers OpenSSL's request for a key's passphrase with none, so that an encrypted key is
// refused at start instead of the service waiting for someone to type at its terminal; data
// is a bool set to tell why the key was refused.
int RefusePassphrase(char* /*buffer*/, int /*size*/, int /*writing*/, void* data) {
  if (data != nullptr) *static_cast<bool*>(data) = true;
  return -1;
}

}  // namespace

bool SetUpTlsContext(SSL_CTX& context, const TlsFiles& files, std::string* error) {
  SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
  SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  bool passphraseAsked = false;
  SSL_CTX_set_default_passwd_cb(&context, RefusePassphrase);
  SSL_CTX_set_default_passwd_cb_userdata(&context, &passphraseAsked);
  ERR_clear_error();
  const std::string pair = files.keyFile + " with the certificate " + files.certificateFile;
  if (SSL_CTX_use_certificate_chain_file(&context, files.certificateFile.c_str()) != 1) {
    *error = "cannot use the TLS certificate " + files.certificateFile + ": " + TakeOpenSslReason();
  } else if (SSL_CTX_use_PrivateKey_file(&context, files.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    const std::string reason = TakeOpenSslReason();
    *error = "cannot use the TLS key " + pair + ": " + (passphraseAsked ? "the key is encrypted" : reason);
  } else if (SSL_CTX_check_private_key(&context) != 1) {
    // Loading a key compares it only with a certificate of its own type: a key of another
    // type is taken, and would leave the certificate without its key.
    ERR_clear_error();
    *error = "cannot use the TLS key " + pair + ": the key is of another type";
  }
  SSL_CTX_set_default_passwd_cb_userdata(&context, nullptr);  // passphraseAsked ends here
  return error->empty();
}

}  // namespace ombrivoice::service
