// How the service's HTTP server takes connections: a request thread pool, time-outs for
// clients that stall, one request per connection, and a loopback socket with a deep backlog.
#ifndef OMBRIVOICE_SERVICE_HTTP_SERVER_H
#define OMBRIVOICE_SERVICE_HTTP_SERVER_H

#include <string>

namespace httplib {
class Server;
}

namespace ombrivoice::service {

constexpr const char* kLoopback = "127.0.0.1";

// Sets the pool, the time-outs and the connection reuse on server, before it listens.
void ConfigureHttpServer(httplib::Server& server);

// Binds server to 127.0.0.1:port (0: a free port the system picks) with a listen backlog as
// deep as the system allows; the port bound, or -1 with error. A port that another program
// listens on is refused, not shared.
int BindLoopback(httplib::Server& server, int port, std::string* error);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_HTTP_SERVER_H
