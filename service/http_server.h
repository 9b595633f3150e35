// The service's HTTP server on Boost.Beast and Asio: a few threads serve every connection by
// events, so an idle or slow client holds no thread. Each connection carries one request: its
// head must arrive whole within 10 seconds of the connection, within the head limits of
// request_parser.h, and its body within a time that grows with its length; a client silent for
// 5 seconds in the middle of its request, or not reading its reply, is dropped, and so is a
// body that does not keep a useful rate; connections are capped in all and per client address,
// and the memory of the bodies being read in all and per address. Bodies may stream to the
// routes; handlers that may block run on a pool of their own, never on the threads that do the
// connections' I/O. A handler that throws is answered with 500. Plain HTTP, or HTTPS only.
#ifndef OMBRIVOICE_SERVICE_HTTP_SERVER_H
#define OMBRIVOICE_SERVICE_HTTP_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/http_message.h"
#include "service/tls_server.h"

namespace ombrivoice::service {

constexpr const char* kLoopback = "127.0.0.1";
// Every connection costs a descriptor. The server takes as many connections as the process's
// descriptor limit allows when it is made, less kDescriptorsKeptFree for the rest of the
// service (the database, uploads, the recogniser's pipes); it never changes that limit. A
// program that wants kMaxConnections raises its limit before making the server.
constexpr std::size_t kMaxConnections = 16384;
constexpr std::size_t kDescriptorsKeptFree = 64;

// What a route makes of a request body as it streams in, instead of having it kept whole.
class BodyReader {
 public:
  virtual ~BodyReader() = default;
  // The next bytes of the body, in order. A reply ends the request at once: the rest of the
  // body is not read (a malformed form, say).
  virtual std::optional<HttpReply> Take(std::string_view bytes) = 0;
  // The reply once the whole body has been taken.
  virtual HttpReply Finish(const HttpRequest& head) = 0;
};

// What the server asks of the service. checkHead, refusal and log run on the threads that do
// the connections' I/O and must not block; the others run on the server's pool for blocking
// work (disk, database), one call at a time for each request. One that throws is answered with
// refusal(500), or a plain 500 when that throws too.
struct HttpHandlers {
  // A refusal of a request from its head alone, before its body is read; nothing to go on.
  std::function<std::optional<HttpReply>(const HttpRequest& head)> checkHead;
  // The reader of a request's body, made once its head is accepted; none (or an empty
  // function) keeps the body whole in request.body for answer.
  std::function<std::unique_ptr<BodyReader>(const HttpRequest& head)> openBody;
  // The reply to a whole request whose body was kept.
  std::function<HttpReply(const HttpRequest& request)> answer;
  // The reply to a request that could not be read or answered, with its status (400, 413,
  // 414, 431; 500 when a handler failed; 503 when the connections or bodies are at their limit).
  std::function<HttpReply(int status)> refusal;
  // Called after each reply is sent, with the seconds from the whole head to the reply when
  // the head was read; may be empty.
  std::function<void(const HttpRequest& request, const HttpReply& reply, std::optional<double> seconds)> log;
};

// What the server takes of its clients' request bodies.
struct HttpLimits {
  std::uint64_t maxBodyBytes = 64u << 20;  // a longer body is refused with 413
  // The memory all bodies being read may hold together, read buffers included; raised to
  // twice maxBodyBytes and a read buffer when lower, so that one largest body always fits. A
  // body that would go past it is refused with 503.
  std::uint64_t bodyBudgetBytes = 256u << 20;
  // What one client address may hold of that budget at once (0: a quarter of it); a body that
  // would go past it is refused with 503.
  std::uint64_t bodyBudgetPerAddressBytes = 0;
  // A body must have come whole within bodySlack of its head plus its length at this rate;
  // otherwise the connection is closed.
  std::uint64_t bodyBytesPerSecond = 64u << 10;
  std::chrono::milliseconds bodySlack = std::chrono::seconds(10);
  // A body must also keep coming: in each bodyRateWindow after its head at least this many
  // bytes a second, on average; a body slower than that is cut off (the connection closed) at
  // the end of the window, however long it announced.
  std::uint64_t minBodyBytesPerSecond = 8u << 10;
  std::chrono::milliseconds bodyRateWindow = std::chrono::seconds(10);
};

class HttpServer {
 public:
  // A plain HTTP server when tls names no certificate, else one that speaks only HTTPS.
  // Null, with the reason and the file in *error, when the certificate or key cannot be used.
  static std::unique_ptr<HttpServer> Make(const TlsFiles& tls, const HttpLimits& limits, std::string* error);
  ~HttpServer();  // ends the threads
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port the system picks) with a listen backlog as deep as
  // the system allows; the port bound, or -1 with error. A port that another program listens
  // on is refused, not shared.
  int Bind(int port, std::string* error);

  // Serves, on the calling thread and a few of its own, until Stop or a signal given to
  // StopOnSignals: then stops accepting, closes the connections whose head has not come whole,
  // and lets the others (requests in flight, replies being sent) end, for at most 1.5 seconds.
  // True when all ended; false when some were still open: they are left as they are, for the
  // caller to end the process (or to destroy the server, which waits for handlers still
  // running).
  bool Serve(const HttpHandlers& handlers);

  // From any thread, also before Serve.
  void Stop();

  // Makes these signals stop the server as Stop does, from the first Serve on (a signal that
  // comes before is kept for it). For a program: while the server stands, the signals are the
  // server's, taken from the whole process. Before Serve.
  void StopOnSignals(std::initializer_list<int> signals);

  // Runs onStop once, on one of the server's threads, when a stop begins (by Stop or a signal),
  // while the requests left are still draining. It must not block: start any long work on a
  // thread of its own. Before Serve.
  void OnStopBegun(std::function<void()> onStop);

  struct Impl;

 private:
  explicit HttpServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_HTTP_SERVER_H
