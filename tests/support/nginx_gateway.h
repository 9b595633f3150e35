// nginx as the gateway a service is deployed behind: a private configuration in a folder of
// its own, on a free loopback port, passing every request on to a loopback server with nginx's
// default limits (a request body of at most 1 MiB). Stopped when the object goes.
#ifndef OMBRIVOICE_TESTS_NGINX_GATEWAY_H
#define OMBRIVOICE_TESTS_NGINX_GATEWAY_H

#include <memory>
#include <string>

#include "support/common/service_runner.h"
#include "support/test_files.h"

class NginxGateway {
 public:
  // Throws when nginx does not come up.
  explicit NginxGateway(int backendPort);
  int port() const { return runner_->port(); }

 private:
  TempDir folder_;
  std::unique_ptr<ServiceRunner> runner_;
};

#endif
