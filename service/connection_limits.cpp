// The connection counts and the body budget, each under a mutex of its own; an address leaves
// each map with its last connection or byte, so the maps hold only addresses that use them.
#include "service/connection_limits.h"

#include <algorithm>

namespace ombrivoice::service {

bool ConnectionLimits::Admit(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t& fromAddress = perAddress_[address];
  if (open_ >= maxTotal_ || fromAddress >= maxPerAddress_) {
    if (fromAddress == 0) perAddress_.erase(address);
    return false;
  }
  ++fromAddress;
  ++open_;
  return true;
}

void ConnectionLimits::Release(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = perAddress_.find(address);
  if (found == perAddress_.end()) return;
  if (--found->second == 0) perAddress_.erase(found);
  --open_;
}

std::size_t ConnectionLimits::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool BodyBudget::Take(const std::string& address, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t& held = held_[address];
  if (bytes > left_ || bytes > perAddress_ - std::min(held, perAddress_)) {
    if (held == 0) held_.erase(address);
    return false;
  }
  left_ -= bytes;
  held += bytes;
  return true;
}

void BodyBudget::Give(const std::string& address, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  left_ += bytes;
  auto found = held_.find(address);
  if (found == held_.end()) return;
  found->second -= std::min(found->second, bytes);
  if (found->second == 0) held_.erase(found);
}

std::uint64_t BodyBudget::Left() {
  std::lock_guard<std::mutex> lock(mutex_);
  return left_;
}

std::uint64_t BodyBudget::HeldBy(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = held_.find(address);
  return found == held_.end() ? 0 : found->second;
}

}  // namespace ombrivoice::service
