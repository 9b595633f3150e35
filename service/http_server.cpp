// The server on Asio: one acceptor, a few threads running the event loop, and one Session per
// connection on a strand of its own. A session reads the head with a deadline and the limits of
// RequestParser, asks the routes whether the head is refused, reads the body, answers, and
// closes: it sends its reply, shuts its side, and drains what the client still sends for a
// moment, so that the client reads the reply instead of a reset.
#include "service/http_server.h"

#include <sys/resource.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "service/connection_limits.h"
#include "service/request_parser.h"

namespace ombrivoice::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// The whole head, TLS handshake included, must arrive within this of the connection.
constexpr auto kHeadDeadline = std::chrono::seconds(10);
// A client silent this long in the middle of its request, or not reading its reply, is dropped.
constexpr auto kSilenceLimit = std::chrono::seconds(5);
// How long the connections open at a stop get to end.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1500);
// After its reply, what a client still sends is read and dropped for at most this long, or
// this much, before the connection is closed.
constexpr auto kLingerLimit = std::chrono::seconds(1);
constexpr std::size_t kLingerBytes = 1 << 20;
// Threads that run the event loop: requests are served while others wait on disk.
constexpr unsigned kServeThreads = 4;
// Every connection costs a descriptor and, while its head comes, up to the head limit of
// memory. One address may hold this many at once (64 clients uploading at the same moment
// are all answered), all addresses together the most the descriptors allow.
constexpr std::size_t kMaxConnectionsPerAddress = 128;
constexpr rlim_t kMaxConnections = 16384;
constexpr rlim_t kDescriptorsKeptFree = 64;  // the database, uploads, the recogniser's pipes
// A failed accept (out of descriptors, mostly) is tried again after this.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

constexpr const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
// The most one read takes from a connection: little while the head comes, so an idle
// connection's buffer stays small, more for a body.
constexpr std::size_t kHeadReadPiece = 4 * 1024;
constexpr std::size_t kBodyReadPiece = 64 * 1024;

// Lets the process open as many descriptors as its hard limit allows (up to what the
// connections need); the connections the descriptors then allow.
std::size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024 - kDescriptorsKeptFree;
  const rlim_t wanted = std::min<rlim_t>(limit.rlim_max, kMaxConnections + kDescriptorsKeptFree);
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return static_cast<std::size_t>(std::max<rlim_t>(limit.rlim_cur, 2 * kDescriptorsKeptFree) - kDescriptorsKeptFree);
}

}  // namespace

struct HttpServer::Impl {
  Impl(std::size_t maxConnections, std::uint64_t maxBody)
      : limits(maxConnections, kMaxConnectionsPerAddress), maxBodyBytes(maxBody) {}

  void Accept();
  void OnAccept(const beast::error_code& error, tcp::socket socket);
  void TurnAway(tcp::socket& socket);

  ConnectionLimits limits;              // before io: sessions that io destroys release into it
  const std::uint64_t maxBodyBytes;
  std::optional<asio::ssl::context> tls;  // set for HTTPS
  HttpHandlers handlers;                // set by Serve, before the first accept
  asio::io_context io;
  tcp::acceptor acceptor{io};
  asio::steady_timer acceptRetry{io};
  std::vector<std::thread> threads;     // running io
  std::mutex mutex;                     // guards stopping
  std::condition_variable stopAsked;
  bool stopping = false;
};

namespace {

template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(HttpServer::Impl& server, Stream stream, std::string client, std::string local)
      : server_(server), stream_(std::move(stream)), parser_(server.maxBodyBytes) {
    HttpRequest& request = parser_.request();
    request.client = std::move(client);
    request.local = std::move(local);
    request.tls = kTls;
  }
  ~Session() { server_.limits.Release(parser_.request().client); }

  void Start() {
    headDeadline_ = Clock::now() + kHeadDeadline;
    if constexpr (kTls) {
      Lowest().expires_at(headDeadline_);
      stream_.async_handshake(asio::ssl::stream_base::server,
                              [self = this->shared_from_this()](const beast::error_code& error) {
                                if (error) return self->Close();
                                self->ReadSome();
                              });
    } else {
      ReadSome();
    }
  }

 private:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  // Reads what the client sends next; the silence limit restarts with every read, and while
  // the head comes the head's deadline holds as well.
  void ReadSome() {
    Clock::time_point limit = Clock::now() + kSilenceLimit;
    if (!headRead_) limit = std::min(limit, headDeadline_);
    Lowest().expires_at(limit);
    const std::size_t piece = headRead_ ? kBodyReadPiece : kHeadReadPiece;
    const std::size_t room = std::min<std::size_t>(buffer_.max_size() - buffer_.size(), piece);
    if (room == 0) return Reply(server_.handlers.refusal(431));  // the parser's limit comes first
    stream_.async_read_some(buffer_.prepare(room),
                            [self = this->shared_from_this()](const beast::error_code& error, std::size_t bytes) {
                              self->buffer_.commit(bytes);
                              if (error) return self->Close();  // the client went, stalled or timed out
                              self->Advance();
                            });
  }

  // Feeds what has been read to the parser and takes the next step: the head's check once it
  // is whole, the answer once the request is, or another read.
  void Advance() {
    beast::error_code error;
    while (!parser_.is_done() && buffer_.size() > 0) {
      buffer_.consume(parser_.put(buffer_.data(), error));
      if (error == http::error::need_more) break;
      if (error) return Reply(server_.handlers.refusal(parser_.RefusalStatus(error)));
      if (!headRead_ && parser_.is_header_done()) return OnHead();
    }
    if (parser_.is_done()) return Reply(server_.handlers.answer(parser_.request()));
    ReadSome();
  }

  // The head is whole: it may be refused at once, or the client told to send its body.
  void OnHead() {
    headRead_ = Clock::now();
    std::optional<HttpReply> refused = server_.handlers.checkHead(parser_.request());
    if (refused) return Reply(std::move(*refused));
    const std::string* expect = parser_.request().Header("Expect");
    if (expect == nullptr || !EqualsNoCase(*expect, "100-continue") || parser_.is_done()) return Advance();
    Lowest().expires_after(kSilenceLimit);
    asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                      [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                        if (error) return self->Close();
                        self->Advance();
                      });
  }

  void Reply(HttpReply reply) {
    reply_ = std::move(reply);
    wire_ = SerializeReply(reply_);
    Lowest().expires_after(kSilenceLimit);
    asio::async_write(stream_, asio::buffer(wire_),
                      [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                        self->Log();
                        if (error) return self->Close();
                        self->Linger();
                      });
  }

  void Log() {
    if (!server_.handlers.log) return;
    std::optional<double> seconds;
    if (headRead_) seconds = std::chrono::duration<double>(Clock::now() - *headRead_).count();
    server_.handlers.log(parser_.request(), reply_, seconds);
  }

  // Ends the sending side after the reply, then reads and drops what still comes (see above).
  void Linger() {
    beast::error_code ignored;
    Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
    Lowest().expires_after(kLingerLimit);
    Drain();
  }

  void Drain() {
    if (drained_ >= kLingerBytes) return Close();
    buffer_.clear();
    Lowest().async_read_some(buffer_.prepare(kHeadReadPiece),
                             [self = this->shared_from_this()](const beast::error_code& error, std::size_t bytes) {
                               self->drained_ += bytes;
                               if (error) return self->Close();
                               self->Drain();
                             });
  }

  void Close() {
    beast::error_code ignored;
    Lowest().socket().close(ignored);
  }

  HttpServer::Impl& server_;
  Stream stream_;
  beast::flat_buffer buffer_{kMaxHeadBytes + kBodyReadPiece};  // past the head limit, so the parser's limit speaks first
  RequestParser parser_;
  Clock::time_point headDeadline_;
  std::optional<Clock::time_point> headRead_;       // when the head was whole
  HttpReply reply_;
  std::string wire_;                                 // the reply being sent
  std::size_t drained_ = 0;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](const beast::error_code& error, tcp::socket socket) {
    OnAccept(error, std::move(socket));
  });
}

void HttpServer::Impl::OnAccept(const beast::error_code& error, tcp::socket socket) {
  if (error == asio::error::operation_aborted || !acceptor.is_open()) return;  // closed by a stop
  if (error) {  // out of descriptors, mostly: the connections open will free some
    acceptRetry.expires_after(kAcceptRetry);
    acceptRetry.async_wait([this](const beast::error_code& waited) {
      if (!waited) Accept();
    });
    return;
  }
  Accept();
  beast::error_code ignored;
  const tcp::endpoint remote = socket.remote_endpoint(ignored);
  const tcp::endpoint local = socket.local_endpoint(ignored);
  const std::string client = remote.address().to_string();
  if (!limits.Admit(client)) return TurnAway(socket);
  const std::string localName = local.address().to_string() + ":" + std::to_string(local.port());
  if (tls) {
    std::make_shared<Session<TlsStream>>(*this, TlsStream(PlainStream(std::move(socket)), *tls), client, localName)
        ->Start();
  } else {
    std::make_shared<Session<PlainStream>>(*this, PlainStream(std::move(socket)), client, localName)->Start();
  }
}

// A connection over the limits gets a 503 if its buffer takes it at once (plain HTTP only),
// and is closed; it never waits.
void HttpServer::Impl::TurnAway(tcp::socket& socket) {
  beast::error_code ignored;
  if (!tls) {
    const std::string busy = SerializeReply(handlers.refusal(503));
    socket.non_blocking(true, ignored);
    socket.send(asio::buffer(busy), 0, ignored);
  }
  socket.close(ignored);
}

std::unique_ptr<HttpServer> HttpServer::Make(const TlsFiles& tls, std::uint64_t maxBodyBytes, std::string* error) {
  auto impl = std::make_unique<Impl>(RaiseDescriptorLimit(), maxBodyBytes);
  if (!tls.certificateFile.empty()) {
    impl->tls.emplace(asio::ssl::context::tls_server);
    if (!SetUpTlsContext(*impl->tls->native_handle(), tls, error)) return nullptr;
  }
  return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() {
  impl_->io.stop();
  for (std::thread& thread : impl_->threads) {
    if (thread.joinable()) thread.join();
  }
}

int HttpServer::Bind(int port, std::string* error) {
  beast::error_code failed;
  const tcp::endpoint endpoint(asio::ip::make_address(kLoopback), static_cast<unsigned short>(port));
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), failed);
  // SO_REUSEADDR lets a restart bind a port whose old connections are closing; SO_REUSEPORT,
  // with which a second service would share the port, is never set.
  if (!failed) acceptor.set_option(tcp::acceptor::reuse_address(true), failed);
  if (!failed) acceptor.bind(endpoint, failed);
  if (failed) {
    *error = "cannot listen on " + std::string(kLoopback) + ":" + std::to_string(port) + " (in use?)";
    return -1;
  }
  // As deep as the system allows (the kernel cuts it to net.core.somaxconn), so a burst of
  // clients all find room.
  acceptor.listen(asio::socket_base::max_listen_connections, failed);
  if (failed) {
    *error = "cannot listen: " + failed.message();
    return -1;
  }
  return acceptor.local_endpoint().port();
}

bool HttpServer::Serve(const HttpHandlers& handlers) {
  Impl& impl = *impl_;
  impl.handlers = handlers;
  impl.Accept();
  for (unsigned i = 0; i < kServeThreads; ++i) impl.threads.emplace_back([&impl] { impl.io.run(); });
  {
    std::unique_lock<std::mutex> lock(impl.mutex);
    impl.stopAsked.wait(lock, [&impl] { return impl.stopping; });
  }
  asio::post(impl.io, [&impl] {
    beast::error_code ignored;
    impl.acceptor.close(ignored);
    impl.acceptRetry.cancel();
  });
  if (!impl.limits.WaitUntilNoneOpen(kShutdownGrace)) return false;
  impl.io.stop();
  for (std::thread& thread : impl.threads) thread.join();
  impl.threads.clear();
  return true;
}

void HttpServer::Stop() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->stopping = true;
  impl_->stopAsked.notify_all();
}

}  // namespace ombrivoice::service
