// The bound on TLS handshakes, which cost the server a private-key signature each (milliseconds
// of CPU for an RSA key) before the client has proved anything: how many may be under way at
// once, in all and per client address, and how often one address may begin one.
#ifndef OMBRIVOICE_SERVICE_HANDSHAKE_LIMITS_H
#define OMBRIVOICE_SERVICE_HANDSHAKE_LIMITS_H

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace ombrivoice::service {

struct HandshakeBounds {
  // 64 clients of one address that connect at the same moment all get their handshake.
  std::size_t maxTotal = 256;       // under way at once, all addresses together
  std::size_t maxPerAddress = 64;   // under way at once from one address
  double perAddressPerSecond = 32;  // begun by one address, on average...
  double perAddressBurst = 64;      // ...with this many at once after a quiet spell
};

class HandshakeLimits {
 public:
  explicit HandshakeLimits(const HandshakeBounds& bounds);

  // Counts a handshake begun by address; false, counting nothing, when a bound is reached.
  bool Begin(const std::string& address);
  // Uncounts a handshake that Begin counted, whether it succeeded or not.
  void End(const std::string& address);

 private:
  using Clock = std::chrono::steady_clock;
  struct Address {
    std::size_t underWay = 0;
    double tokens = 0;          // handshakes the address may begin now
    Clock::time_point filled;   // when tokens was last brought up to date
  };
  void ForgetQuietAddresses(Clock::time_point now);

  const HandshakeBounds bounds_;
  std::mutex mutex_;                        // guards the fields below
  std::size_t underWay_ = 0;
  std::map<std::string, Address> addresses_;  // addresses seen lately
  std::size_t pruneAt_;                       // how many addresses kept makes the next pruning
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_HANDSHAKE_LIMITS_H
