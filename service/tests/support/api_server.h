// The API served inside the test's process on a loopback port, over a job store whose jobs run
// through a GatedProcessor: the server's limits and handlers can be set for one test.
#ifndef OMBRIVOICE_SERVICE_TESTS_API_SERVER_H
#define OMBRIVOICE_SERVICE_TESTS_API_SERVER_H

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "service/api_routes.h"
#include "service/http_server.h"
#include "service/job_store.h"
#include "support/gated_processor.h"

namespace ombrivoice::service::testing {

class ApiServer {
 public:
  // Serves settings' API over a store in dataDir; http's body limit is settings'. adjust, when
  // given, may change the handlers before they serve.
  ApiServer(const std::string& dataDir, const ApiSettings& settings, JobLimits jobs = JobLimits{},
            HttpLimits http = HttpLimits{}, const std::function<void(HttpHandlers&)>& adjust = nullptr);
  ~ApiServer();  // stops, as Stop
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  int port() const { return port_; }
  GatedProcessor& gate() { return gate_; }
  JobStore& store() { return *store_; }

  // Opens the gate, stops the server and the store; what Serve returned: true when every
  // connection had ended within the grace. Later calls return the first one's answer.
  bool Stop();

 private:
  GatedProcessor gate_;
  std::unique_ptr<JobStore> store_;
  std::unique_ptr<HttpServer> server_;
  std::thread listener_;
  int port_ = 0;
  bool served_ = false;
  bool stopped_ = false;
};

// A request and the status and error code it must be answered with ("" for no error).
struct AnswerCase {
  const char* what;
  std::string request;
  int status;
  const char* code;
};

// Sends each case's request to 127.0.0.1:port on a connection of its own and checks the reply:
// its status, its error code, and a message beside any error code.
void ExpectAnswers(int port, const std::vector<AnswerCase>& cases);

}  // namespace ombrivoice::service::testing

#endif  // OMBRIVOICE_SERVICE_TESTS_API_SERVER_H
