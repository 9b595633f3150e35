// The connection counts and the body budget, each under a mutex of its own; an address leaves
// the map with its last connection, so the map holds only addresses that are connected.
#include "service/connection_limits.h"

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
  released_.notify_all();
}

std::size_t ConnectionLimits::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool ConnectionLimits::WaitUntilNoneOpen(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return released_.wait_for(lock, limit, [this] { return open_ == 0; });
}

bool BodyBudget::Take(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (bytes > left_) return false;
  left_ -= bytes;
  return true;
}

void BodyBudget::Give(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  left_ += bytes;
}

std::uint64_t BodyBudget::Left() {
  std::lock_guard<std::mutex> lock(mutex_);
  return left_;
}

}  // namespace ombrivoice::service
