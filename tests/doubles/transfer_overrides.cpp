// The tests' connection settings: a connect override and shorter time-outs, set by the tests
// and read by every transfer as it is set up.
#include "doubles/transfer_overrides.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "connection_settings.h"

namespace {

std::atomic<long> gConnectSecondsOverride{0};
std::atomic<long> gStallSecondsOverride{0};
std::mutex gConnectToLock;
char gConnectTo[kConnectToBytes];  // empty: no override

}  // namespace

void HttpClientConnectToForTesting(const char* connectTo) {
  std::lock_guard<std::mutex> guard(gConnectToLock);
  gConnectTo[0] = 0;
  if (connectTo != nullptr && strlen(connectTo) < sizeof gConnectTo) {
    strcpy(gConnectTo, connectTo);
  }
}

void HttpClientTimeoutsForTesting(long connectSeconds, long stallSeconds) {
  gConnectSecondsOverride.store(connectSeconds);
  gStallSecondsOverride.store(stallSeconds);
}

void GetConnectionSettings(ConnectionSettings* settings) {
  long connectSeconds = gConnectSecondsOverride.load();
  long stallSeconds = gStallSecondsOverride.load();
  settings->connectSeconds = connectSeconds > 0 ? connectSeconds : kDefaultConnectSeconds;
  settings->stallSeconds = stallSeconds > 0 ? stallSeconds : kDefaultStallSeconds;
  std::lock_guard<std::mutex> guard(gConnectToLock);
  strcpy(settings->connectTo, gConnectTo);
}
