// The in-process API server: the store first, then the server bound to a free port and served
// on a thread of its own until Stop.
#include "support/api_server.h"

#include <gtest/gtest.h>

#include "support/service_test_support.h"

namespace ombrivoice::service::testing {

ApiServer::ApiServer(const std::string& dataDir, const ApiSettings& settings, JobLimits jobs, HttpLimits http,
                     const std::function<void(HttpHandlers&)>& adjust) {
  std::string error;
  store_ = JobStore::Open(dataDir, std::move(jobs), gate_, &error);
  if (store_ == nullptr) {
    ADD_FAILURE() << error;
    return;
  }
  http.maxBodyBytes = settings.maxBodyBytes;
  server_ = HttpServer::Make(TlsFiles{}, http, &error);
  port_ = server_ != nullptr ? server_->Bind(0, &error) : 0;
  if (port_ <= 0) {
    ADD_FAILURE() << error;
    return;
  }
  HttpHandlers handlers = MakeApiHandlers(settings, *store_);
  if (adjust) adjust(handlers);
  listener_ = std::thread([this, handlers] { served_ = server_->Serve(handlers); });
}

ApiServer::~ApiServer() { Stop(); }

bool ApiServer::Stop() {
  if (stopped_) return served_;
  stopped_ = true;
  gate_.Open();
  if (server_ != nullptr) server_->Stop();
  if (listener_.joinable()) listener_.join();
  if (store_ != nullptr) store_->Stop();
  return served_;
}

void ExpectAnswers(int port, const std::vector<AnswerCase>& cases) {
  for (const AnswerCase& c : cases) {
    const RawReply reply = SendRaw(port, c.request);
    EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
    EXPECT_EQ(JsonField(reply.body, "error"), c.code) << c.what;
    if (*c.code != '\0') {
      EXPECT_FALSE(JsonField(reply.body, "message").empty()) << c.what;
    }
  }
}

}  // namespace ombrivoice::service::testing
