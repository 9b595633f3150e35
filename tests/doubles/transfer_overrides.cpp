// The tests' connection settings: a connect override, shorter time-outs and a test CA, set by
// the tests and read by every transfer as it is set up.
#include "doubles/transfer_overrides.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "connection_settings.h"

namespace {

std::atomic<long> gConnectSecondsOverride{0};
std::atomic<long> gStallSecondsOverride{0};
std::mutex gConnectToLock;        // guards gConnectTo and gCaFile
char gConnectTo[kConnectToBytes];  // empty: no override
char gCaFile[kCaFileBytes];        // empty: the system's CA store

void CopyOrClear(char* to, size_t capacity, const char* from) {
  to[0] = 0;
  if (from != nullptr && strlen(from) < capacity) strcpy(to, from);
}

}  // namespace

void HttpClientConnectToForTesting(const char* connectTo) {
  std::lock_guard<std::mutex> guard(gConnectToLock);
  CopyOrClear(gConnectTo, sizeof gConnectTo, connectTo);
}

void HttpClientTrustForTesting(const char* caFile) {
  std::lock_guard<std::mutex> guard(gConnectToLock);
  CopyOrClear(gCaFile, sizeof gCaFile, caFile);
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
  strcpy(settings->caFile, gCaFile);
}
