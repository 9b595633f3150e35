// The limits the server checks before it takes on more: the count of open connections, in all
// and per client address, so that one address cannot hold every connection the service can
// keep; and the memory that the request bodies being read hold together.
#ifndef OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H
#define OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H

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

 private:
  const std::size_t maxTotal_;
  const std::size_t maxPerAddress_;
  std::mutex mutex_;                                // guards the counts
  std::size_t open_ = 0;
  std::map<std::string, std::size_t> perAddress_;   // addresses with a connection open
};

// Bytes of memory shared by every request body being read: each session draws what its body
// and read buffer take as their bytes arrive, and gives them back when it is done. No client
// address may hold more than its share, so that a few addresses cannot take it all.
class BodyBudget {
 public:
  BodyBudget(std::uint64_t bytes, std::uint64_t perAddress) : left_(bytes), perAddress_(perAddress) {}

  // Draws bytes for address; false, drawing nothing, when fewer are left in all or in the
  // address's share.
  bool Take(const std::string& address, std::uint64_t bytes);
  // Gives back bytes that Take drew for address.
  void Give(const std::string& address, std::uint64_t bytes);
  std::uint64_t Left();
  std::uint64_t HeldBy(const std::string& address);

 private:
  std::mutex mutex_;  // guards left_ and held_
  std::uint64_t left_;
  const std::uint64_t perAddress_;
  std::map<std::string, std::uint64_t> held_;  // addresses that hold some of it
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_CONNECTION_LIMITS_H
