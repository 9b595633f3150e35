// The limits the server checks before it takes on more: the count of open connections, in all
// and per client address, so that one address cannot hold every connection the service can
// keep; and the memory that the request bodies being read hold together.
#ifndef OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H
#define OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H

#include <condition_variable>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace ombrivoice::service {

class ConnectionLimits {
 public:
  ConnectionLimits(std::size_t maxTotal, std::size_t maxPerAddress)
      : maxTotal_(maxTotal), maxPerAddress_(maxPerAddress) {}

  // Counts a new connection from address; false, counting nothing, when either limit is reached.
  bool Admit(const std::string& address);
  // Uncounts a connection that Admit counted.
  void Release(const std::string& address);
  std::size_t Open();
  // Waits until no connection is open; false when limit passes first.
  bool WaitUntilNoneOpen(std::chrono::milliseconds limit);

 private:
  const std::size_t maxTotal_;
  const std::size_t maxPerAddress_;
  std::mutex mutex_;                                // guards the counts
  std::condition_variable released_;               // signalled on each release
  std::size_t open_ = 0;
  std::map<std::string, std::size_t> perAddress_;   // addresses with a connection open
};

// Bytes of memory shared by every request body being read: each session draws what its body
// and read buffer take before it allocates them, and gives them back when it is done.
class BodyBudget {
 public:
  explicit BodyBudget(std::uint64_t bytes) : left_(bytes) {}

  // Draws bytes; false, drawing nothing, when fewer are left.
  bool Take(std::uint64_t bytes);
  // Gives back bytes that Take drew.
  void Give(std::uint64_t bytes);
  std::uint64_t Left();

 private:
  std::mutex mutex_;  // guards left_
  std::uint64_t left_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H
