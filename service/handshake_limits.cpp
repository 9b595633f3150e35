// The handshake counts and each address's token bucket, under one mutex. An address is kept
// while it has a handshake under way or its bucket is not full again, so that closing its
// connections at once does not give it a fresh bucket; quiet ones are dropped once many are kept.
#include "service/handshake_limits.h"

#include <algorithm>
#include <iterator>

namespace ombrivoice::service {
namespace {

// Past this many addresses kept, those that are quiet again are dropped; the next pruning waits
// until twice as many as are left are kept, so its cost is spread over the addresses added.
constexpr std::size_t kAddressesKeptBeforePruning = 1024;

}  // namespace

HandshakeLimits::HandshakeLimits(const HandshakeBounds& bounds)
    : bounds_(bounds), pruneAt_(kAddressesKeptBeforePruning) {}

bool HandshakeLimits::Begin(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  if (addresses_.size() >= pruneAt_) {
    ForgetQuietAddresses(now);
    pruneAt_ = std::max(kAddressesKeptBeforePruning, 2 * addresses_.size());
  }
  auto [found, added] = addresses_.try_emplace(address);
  Address& from = found->second;
  if (added) {
    from.tokens = bounds_.perAddressBurst;
  } else {
    const double seconds = std::chrono::duration<double>(now - from.filled).count();
    from.tokens = std::min(bounds_.perAddressBurst, from.tokens + seconds * bounds_.perAddressPerSecond);
  }
  from.filled = now;
  if (underWay_ >= bounds_.maxTotal || from.underWay >= bounds_.maxPerAddress || from.tokens < 1) return false;
  from.tokens -= 1;
  ++from.underWay;
  ++underWay_;
  return true;
}

void HandshakeLimits::End(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = addresses_.find(address);
  if (found == addresses_.end() || found->second.underWay == 0) return;
  --found->second.underWay;
  --underWay_;
}

void HandshakeLimits::ForgetQuietAddresses(Clock::time_point now) {
  for (auto at = addresses_.begin(); at != addresses_.end();) {
    const Address& from = at->second;
    const double seconds = std::chrono::duration<double>(now - from.filled).count();
    const bool quiet = from.underWay == 0 && from.tokens + seconds * bounds_.perAddressPerSecond >= bounds_.perAddressBurst;
    at = quiet ? addresses_.erase(at) : std::next(at);
  }
}

}  // namespace ombrivoice::service
