// API keys as the service keeps and compares them: by their SHA-256 digest, so the job store
// never holds a key, and a comparison takes the same time wherever two keys first differ.
#ifndef OMBRIVOICE_SERVICE_KEY_DIGEST_H
#define OMBRIVOICE_SERVICE_KEY_DIGEST_H

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ombrivoice::service {

// The SHA-256 digest of key in 64 lower-case hex digits.
std::string KeyDigest(std::string_view key);

// The keys a service accepts, held as digests.
class KeyRing {
 public:
  explicit KeyRing(const std::set<std::string>& keys);
  // True when key is one of the keys. Every digest is compared in full, in constant time.
  bool Accepts(std::string_view key) const;

 private:
  std::vector<std::string> digests_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_KEY_DIGEST_H
