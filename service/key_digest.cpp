// Key digests on OpenSSL's SHA-256, compared with CRYPTO_memcmp, whose time depends only on
// the length compared.
#include "service/key_digest.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace ombrivoice::service {

std::string KeyDigest(std::string_view key) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex.push_back(kHex[byte >> 4]);
    hex.push_back(kHex[byte & 0xF]);
  }
  return hex;
}

KeyRing::KeyRing(const std::set<std::string>& keys) {
  for (const std::string& key : keys) digests_.push_back(KeyDigest(key));
}

bool KeyRing::Accepts(std::string_view key) const {
  const std::string digest = KeyDigest(key);
  bool found = false;
  for (const std::string& known : digests_) {  // no early return: every key is compared
    found |= CRYPTO_memcmp(known.data(), digest.data(), digest.size()) == 0;
  }
  return found;
}

}  // namespace ombrivoice::service
