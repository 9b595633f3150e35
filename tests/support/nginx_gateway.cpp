// nginx in one process, in the foreground, with every file it writes in its own folder.
#include "support/nginx_gateway.h"

#include <stdexcept>

namespace {

const char kNginx[] = "/usr/sbin/nginx";

std::string Configuration(const std::string& folder, int port, int backendPort) {
  return "daemon off;\nmaster_process off;\npid " + folder + "/nginx.pid;\nerror_log " + folder +
         "/error.log;\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
         "  client_body_temp_path " + folder + "/body;\n  proxy_temp_path " + folder + "/proxy;\n"
         "  fastcgi_temp_path " + folder + "/fastcgi;\n  uwsgi_temp_path " + folder + "/uwsgi;\n"
         "  scgi_temp_path " + folder + "/scgi;\n"
         "  server {\n    listen 127.0.0.1:" + std::to_string(port) + ";\n"
         "    location / { proxy_pass http://127.0.0.1:" + std::to_string(backendPort) + "; }\n  }\n}\n";
}

}  // namespace

NginxGateway::NginxGateway(int backendPort) {
  int port = FreeLoopbackPort();
  WriteBytes(folder_.File("nginx.conf"), Configuration(folder_.path(), port, backendPort));
  runner_ = std::make_unique<ServiceRunner>(
      std::vector<std::string>{kNginx, "-p", folder_.path(), "-c", folder_.File("nginx.conf"), "-e",
                               folder_.File("error.log")},
      port);
  if (runner_->port() == 0) {
    throw std::runtime_error("nginx did not start: " + ReadBytes(folder_.File("error.log")));
  }
}
