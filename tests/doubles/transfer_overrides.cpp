// The tests' connection hook: a connect override, shorter time-outs and a test CA, set by the
// tests and applied to every transfer as it is set up.
#include "doubles/transfer_overrides.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/test_hooks.h"

namespace {

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

std::atomic<long> gConnectSeconds{0};
std::atomic<long> gStallSeconds{0};
std::mutex gLock;             // guards the three below
std::string gConnectTo;       // empty: no override
std::string gCaFile;          // empty: the system's CA store
// A transfer reads its connect-override list until it ends, so every list made stays alive,
// one per distinct override, until the process ends.
std::map<std::string, std::unique_ptr<curl_slist, SlistFree>> gConnectToLists;

curl_slist* ConnectToList(const std::string& entry) {
  auto& list = gConnectToLists[entry];
  if (!list) list.reset(curl_slist_append(nullptr, entry.c_str()));
  return list.get();
}

}  // namespace

void HttpClientConnectToForTesting(const char* connectTo) {
  std::lock_guard<std::mutex> guard(gLock);
  gConnectTo = connectTo != nullptr ? connectTo : "";
}

void HttpClientTrustForTesting(const char* caFile) {
  std::lock_guard<std::mutex> guard(gLock);
  gCaFile = caFile != nullptr ? caFile : "";
}

void HttpClientTimeoutsForTesting(long connectSeconds, long stallSeconds) {
  gConnectSeconds.store(connectSeconds);
  gStallSeconds.store(stallSeconds);
}

bool ApplyTestConnectionOptions(CURL* easy) {
  long connectSeconds = gConnectSeconds.load();
  long stallSeconds = gStallSeconds.load();
  bool ok = (connectSeconds <= 0 || curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, connectSeconds) == CURLE_OK) &&
            (stallSeconds <= 0 || curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stallSeconds) == CURLE_OK);
  std::lock_guard<std::mutex> guard(gLock);
  if (!gCaFile.empty()) {
    ok = ok && curl_easy_setopt(easy, CURLOPT_CAINFO, gCaFile.c_str()) == CURLE_OK &&
         curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK;
  }
  if (!gConnectTo.empty()) {
    curl_slist* list = ConnectToList(gConnectTo);
    ok = ok && list != nullptr && curl_easy_setopt(easy, CURLOPT_CONNECT_TO, list) == CURLE_OK;
  }
  return ok;
}
