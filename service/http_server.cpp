// The HTTP server's settings on Debian's compiled cpp-httplib, where the header's compile-time
// settings do not reach the library: the pool is set through new_task_queue, and the backlog by
// listening again on the socket the library made (Linux lets listen() change it).
#include "service/http_server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace ombrivoice::service {
namespace {

// Requests served at once. A client that stalls holds one thread until its read time-out, so a
// few stalled clients leave the others room; each request holds its body (up to
// --max-body-bytes) while it is served.
constexpr std::size_t kRequestThreads = 32;
// A client silent this long in the middle of a request, or not reading the reply, is dropped.
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
// The library's default is 5, so a burst of clients found the queue full and were refused.
// The kernel cuts this to net.core.somaxconn.
constexpr int kListenBacklog = SOMAXCONN;

// The library's own socket options set SO_REUSEPORT, with which a second service bound the same
// port and took half of the first one's requests. SO_REUSEADDR alone still lets a restart bind
// a port whose old connections are closing.
void ListenSocketOptions(socket_t sock) {
  int yes = 1;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

void ConfigureHttpServer(httplib::Server& server) {
  server.new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
  server.set_read_timeout(kReadTimeoutSeconds, 0);
  server.set_write_timeout(kWriteTimeoutSeconds, 0);
  // One request per connection: an idle kept-alive connection would hold a request thread, and
  // delay a shutdown, for the keep-alive time; and after a request refused for its framing (no
  // or a bad length) the bytes that follow must not be read as a next request.
  server.set_keep_alive_max_count(1);
}

int BindLoopback(httplib::Server& server, int port, std::string* error) {
  auto listening = std::make_shared<socket_t>(INVALID_SOCKET);
  server.set_socket_options([listening](socket_t sock) {
    ListenSocketOptions(sock);
    *listening = sock;
  });
  const int bound = port == 0 ? server.bind_to_any_port(kLoopback) : (server.bind_to_port(kLoopback, port) ? port : -1);
  if (bound <= 0) {
    *error = "cannot listen on " + std::string(kLoopback) + ":" + std::to_string(port) + " (in use?)";
    return -1;
  }
  if (listen(*listening, kListenBacklog) != 0) {
    *error = std::string("cannot deepen the listen backlog: ") + std::strerror(errno);
    return -1;
  }
  return bound;
}

}  // namespace ombrivoice::service
