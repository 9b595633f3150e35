// The server on Asio: one acceptor on a strand, a few threads running the event loop, a pool
// for the handlers' blocking work, and one Session per connection on a strand of its own. A
// session reads the head with a deadline and the limits of RequestParser, asks the routes
// whether the head is refused, reads the body within the body budget, its deadline and its
// least rate, passing each piece to the route's body reader on the pool as it comes, has the
// reply made on the pool, and closes: it sends its reply, shuts its
// side, and drains what the client still sends for a moment, so that the client reads the reply
// instead of a reset. Every step that calls a handler or the parser is guarded: what throws is
// answered with 500, and the server goes on.
#include "service/http_server.h"

#include <sys/resource.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "service/connection_limits.h"
#include "service/handshake_limits.h"
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
// A TLS handshake must be done within this of the connection (a few round trips).
constexpr auto kHandshakeDeadline = std::chrono::seconds(5);
// A client silent this long in the middle of its request, or not reading its reply, is dropped.
constexpr auto kSilenceLimit = std::chrono::seconds(5);
// How long the connections open at a stop get to end.
constexpr auto kShutdownGrace = std::chrono::milliseconds(1500);
// After its reply, what a client still sends is read and dropped for at most this long, or
// this much, before the connection is closed.
constexpr auto kLingerLimit = std::chrono::seconds(1);
constexpr std::size_t kLingerBytes = 1 << 20;
// Threads that run the event loop, which only do I/O.
constexpr unsigned kServeThreads = 4;
// Threads for the handlers' blocking work: requests are served while others wait on disk. The
// bodies' pieces (written to disk as they come) have a pool of their own, so that a reply
// (the database, mostly) never queues behind a stream of uploads.
constexpr unsigned kBodyThreads = 4;
constexpr unsigned kReplyThreads = 2;
// Every connection costs a descriptor and, while its head comes, up to the head limit of
// memory. One address may hold this many at once (64 clients uploading at the same moment
// are all answered), all addresses together the most the descriptors allow.
constexpr std::size_t kMaxConnectionsPerAddress = 128;
// A failed accept (out of descriptors, mostly) is tried again after this.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);

// The most one read takes from a connection: little while the head comes, so an idle
// connection's buffer stays small; a body's reads start as small and double while they come
// full, up to the larger piece, so a body's buffer grows with what arrives.
constexpr std::size_t kHeadReadPiece = 4 * 1024;
constexpr std::size_t kBodyReadPiece = 64 * 1024;

// The connections the process's descriptor limit allows as it stands: the server never
// changes the limit (the program may raise it first, see main.cpp).
std::size_t ConnectionsTheDescriptorsAllow() {
  rlimit limit{};
  const rlim_t open = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
  return static_cast<std::size_t>(std::max<rlim_t>(open, 2 * kDescriptorsKeptFree) - kDescriptorsKeptFree);
}

// What the server keeps of each session, to end it at a stop.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  virtual void Start() = 0;
  // Closes the connection when its head has not come whole; from any thread.
  virtual void EndIfHeadIncomplete() = 0;
};

}  // namespace

struct HttpServer::Impl {
  Impl(std::size_t maxConnections, const HttpLimits& given)
      : limits(maxConnections, kMaxConnectionsPerAddress), httpLimits(given), bodyBudget(BudgetOf(given)) {}

  static BodyBudget BudgetOf(const HttpLimits& given) {
    const std::uint64_t all = std::max<std::uint64_t>(given.bodyBudgetBytes, 2 * given.maxBodyBytes + kBodyReadPiece);
    return BodyBudget(all, given.bodyBudgetPerAddressBytes != 0 ? given.bodyBudgetPerAddressBytes : all / 4);
  }

  void Accept();
  void OnAccept(const beast::error_code& error, tcp::socket socket);
  void TurnAway(tcp::socket& socket);
  void Run();
  void BeginStop();
  void Register(const std::shared_ptr<SessionBase>& session);
  void Unregister(SessionBase* session);
  void EndIncompleteHeads();

  // Before io, which destroys the sessions left at its end: they release into these.
  ConnectionLimits limits;
  const HttpLimits httpLimits;
  BodyBudget bodyBudget;
  HandshakeLimits handshakes{HandshakeBounds{}};
  std::mutex sessionsMutex;                                     // guards sessions and draining
  std::map<SessionBase*, std::weak_ptr<SessionBase>> sessions;  // every session alive
  bool draining = false;  // stopped accepting, waiting for the sessions left to end
  std::optional<asio::ssl::context> tls;  // set for HTTPS
  HttpHandlers handlers;                  // set by Serve, before the first accept
  // refusal(500) and refusal(503) on the wire, made by Serve: sent without building them anew.
  std::string internalError;
  std::string busy;
  asio::io_context io;
  // The acceptor and its retry timer on one strand, which a stop's close is posted to.
  asio::strand<asio::io_context::executor_type> acceptStrand{asio::make_strand(io)};
  tcp::acceptor acceptor{acceptStrand};
  asio::steady_timer acceptRetry{acceptStrand};
  // At a stop: the grace the sessions left get, and the signals that ask for a stop; both on
  // the accept strand.
  asio::steady_timer grace{acceptStrand};
  std::optional<asio::signal_set> stopSignals;
  bool stopBegun = false;  // on the accept strand
  std::function<void()> onStopBegun;
  bool unanswered = false;  // the grace ran out with sessions open; read once the loop has ended
  std::vector<std::thread> threads;     // running io besides the one in Serve
  // The handlers' blocking work: the bodies' pieces, and the rest. After io, so that they end
  // first: the sessions their queued work holds are released while io, their executor, still
  // stands.
  std::optional<asio::thread_pool> bodyWork;
  std::optional<asio::thread_pool> replyWork;
};

namespace {

// The milliseconds a body of length bytes may take at rate bytes a second (1 at least).
std::chrono::milliseconds TimeFor(std::uint64_t length, std::uint64_t rate) {
  rate = std::max<std::uint64_t>(rate, 1);
  return std::chrono::milliseconds(length / rate * 1000 + length % rate * 1000 / rate);
}

template <class Stream>
class Session : public SessionBase, public std::enable_shared_from_this<Session<Stream>> {
 public:
  Session(HttpServer::Impl& server, Stream stream, std::string client, std::string local)
      : server_(server),
        stream_(std::move(stream)),
        executor_(stream_.get_executor()),
        parser_(server.httpLimits.maxBodyBytes, &server.bodyBudget) {
    HttpRequest& request = parser_.request();
    request.client = std::move(client);
    request.local = std::move(local);
    request.tls = kTls;
  }
  ~Session() override {
    EndHandshake();
    GiveBackBody();
    server_.Unregister(this);
    server_.limits.Release(parser_.request().client);
  }

  void Start() override {
    headDeadline_ = Clock::now() + kHeadDeadline;
    Guarded([this] {
      if constexpr (kTls) {
        // Over the handshake bounds the connection is closed before anything is read: no
        // signature is made for it.
        handshaking_ = server_.handshakes.Begin(parser_.request().client);
        if (!handshaking_) return Close();
        Lowest().expires_at(std::min(headDeadline_, Clock::now() + kHandshakeDeadline));
        stream_.async_handshake(asio::ssl::stream_base::server,
                                [self = this->shared_from_this()](const beast::error_code& error) {
                                  self->EndHandshake();
                                  if (error) return self->Close();
                                  self->Guarded([&self] { self->ReadSome(); });
                                });
      } else {
        ReadSome();
      }
    });
  }

  void EndIfHeadIncomplete() override {
    asio::post(executor_, [self = this->shared_from_this()] {
      if (!self->headRead_) self->Close();
    });
  }

 private:
  static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  void EndHandshake() noexcept {
    if (handshaking_) server_.handshakes.End(parser_.request().client);
    handshaking_ = false;
  }

  // Runs one step of the session; when it throws, the client is answered with 500 (or, when a
  // reply is already on its way, the connection closed) and the server goes on.
  template <class Step>
  void Guarded(Step&& step) noexcept {
    try {
      step();
    } catch (const std::exception& failure) {
      Failed(failure.what());
    } catch (...) {
      Failed("an unknown exception");
    }
  }

  void Failed(const char* what) noexcept {
    std::fprintf(stderr, "ombrivoice-service: a request failed: %s\n", what);
    if (replying_) return Close();
    reply_.result(http::status::internal_server_error);
    try {
      Send(asio::buffer(server_.internalError));
    } catch (...) {
      Close();
    }
  }

  // Reads what the client sends next; the silence limit restarts with every read, and the
  // head's deadline holds while the head comes, the body's deadline and its rate while the body
  // does. A body's read buffer is drawn from the budget as it grows.
  void ReadSome() {
    const Clock::time_point now = Clock::now();
    Clock::time_point limit = std::min(now + kSilenceLimit, headRead_ ? bodyDeadline_ : headDeadline_);
    if (headRead_) {
      const std::optional<Clock::time_point> rateDue = RateDue(now);
      if (rateDue && *rateDue <= now) return Close();
      if (rateDue) limit = std::min(limit, *rateDue);
    }
    Lowest().expires_at(limit);
    const std::size_t piece = headRead_ ? bodyReadPiece_ : kHeadReadPiece;
    const std::size_t room = std::min<std::size_t>(buffer_.max_size() - buffer_.size(), piece);
    if (room == 0) return Reply(server_.handlers.refusal(431));  // the parser's limit comes first
    if (headRead_ && !DrawReadBuffer(buffer_.size() + room)) return Reply(server_.handlers.refusal(503));
    stream_.async_read_some(buffer_.prepare(room),
                            [self = this->shared_from_this(), room](const beast::error_code& error, std::size_t bytes) {
                              self->buffer_.commit(bytes);
                              if (error) return self->Close();  // the client went, stalled or timed out
                              if (self->headRead_) {
                                self->windowBytes_ += bytes;
                                if (bytes == room) self->bodyReadPiece_ = std::min(2 * room, kBodyReadPiece);
                              }
                              self->Guarded([&self] { self->Advance(); });
                            });
  }

  // When the body must have brought the bytes its rate asks of the present window, or nothing
  // when it has; a window that ends with its bytes brought gives way to the next.
  std::optional<Clock::time_point> RateDue(Clock::time_point now) {
    const HttpLimits& limits = server_.httpLimits;
    const std::uint64_t due = limits.minBodyBytesPerSecond * static_cast<std::uint64_t>(limits.bodyRateWindow.count()) / 1000;
    if (now >= windowEnd_ && windowBytes_ >= due) {
      windowEnd_ = now + limits.bodyRateWindow;
      windowBytes_ = 0;
    }
    if (windowBytes_ >= due) return std::nullopt;
    return windowEnd_;
  }

  // Draws the read buffer up to bytes from the budget; false when the budget cannot take it.
  bool DrawReadBuffer(std::size_t bytes) {
    if (bytes <= readBufferDrawn_) return true;
    if (!server_.bodyBudget.Take(parser_.request().client, bytes - readBufferDrawn_)) return false;
    readBufferDrawn_ = bytes;
    return true;
  }

  // Runs work on pool, one of the server's for blocking work, then then(its result) back on
  // the session's strand; what work throws is answered as a failed step. The client is not
  // timed meanwhile: the next read sets its limits again.
  template <class Work, class Then>
  void Offload(asio::thread_pool& pool, Work work, Then then) {
    Lowest().expires_never();
    // Counted as work of the event loop until the answer is back, so that the loop's threads
    // do not end while a session has nothing else pending.
    auto home = asio::prefer(executor_, asio::execution::outstanding_work.tracked);
    asio::post(pool, [self = this->shared_from_this(), home, work = std::move(work), then = std::move(then)]() mutable {
      std::string failure;
      try {
        auto result = work();
        asio::post(home, [self, result = std::move(result), then = std::move(then)]() mutable {
          self->Guarded([&] { then(std::move(result)); });
        });
        return;
      } catch (const std::exception& thrown) {
        failure = thrown.what();
      } catch (...) {
        failure = "an unknown exception";
      }
      asio::post(home, [self, failure] { self->Failed(failure.c_str()); });
    });
  }

  // Feeds what has been read to the parser and takes the next step: the head's check once it
  // is whole, the body read so far to the body's reader, the answer once the request is whole,
  // or another read.
  void Advance() {
    beast::error_code error;
    while (!parser_.is_done() && buffer_.size() > 0) {
      buffer_.consume(parser_.Feed(buffer_.data(), error));
      if (error == http::error::need_more) break;
      if (error) return Reply(server_.handlers.refusal(parser_.RefusalStatus(error)));
      if (!headRead_ && parser_.is_header_done()) return OnHead();
    }
    if (reader_ && !parser_.request().body().empty()) return PassBodyOn();
    if (parser_.is_done()) return Answer();
    ReadSome();
  }

  // Hands the body read so far to its reader on the pool; reading goes on once it is taken,
  // unless the reader answers at once.
  void PassBodyOn() {
    std::size_t drawn = 0;
    auto piece = std::make_shared<std::string>(parser_.TakeBody(&drawn));
    Offload(*server_.bodyWork, [self = this->shared_from_this(), piece] { return self->reader_->Take(*piece); },
            [this, piece, drawn](std::optional<HttpReply> refused) {
              std::string().swap(*piece);
              server_.bodyBudget.Give(parser_.request().client, drawn);
              if (refused) return Reply(std::move(*refused));
              Advance();
            });
  }

  // The request is whole: its reply is made on the pool.
  void Answer() {
    Offload(
        *server_.replyWork, [self = this->shared_from_this()] {
          const HttpRequest& request = self->parser_.request();
          return self->reader_ ? self->reader_->Finish(request) : self->server_.handlers.answer(request);
        },
        [this](HttpReply reply) {
          GiveBackBody();
          Reply(std::move(reply));
        });
  }

  // The head is whole: it may be refused at once; else its body's deadline and first rate
  // window are set, its reader is made (on the pool) when the routes read bodies as they come
  // (a request without a body is answered whole), and the client told to send it when it asked.
  void OnHead() {
    headRead_ = Clock::now();
    std::optional<HttpReply> refused = server_.handlers.checkHead(parser_.request());
    if (refused) return Reply(std::move(*refused));
    if (!parser_.is_done()) {
      const std::uint64_t length = parser_.content_length().value_or(0);
      bodyDeadline_ = *headRead_ + server_.httpLimits.bodySlack + TimeFor(length, server_.httpLimits.bodyBytesPerSecond);
      windowEnd_ = *headRead_ + server_.httpLimits.bodyRateWindow;
    }
    if (!server_.handlers.openBody || parser_.is_done()) return AskForBody();  // no body to stream
    Offload(*server_.replyWork,
            [self = this->shared_from_this()] { return self->server_.handlers.openBody(self->parser_.request()); },
            [this](std::unique_ptr<BodyReader> reader) {
              reader_ = std::move(reader);
              AskForBody();
            });
  }

  // Tells the client to send its body when it asked to be told, then reads on.
  void AskForBody() {
    const HttpRequest& head = parser_.request();
    const auto expect = head.find(http::field::expect);
    if (expect == head.end() || !beast::iequals(expect->value(), "100-continue") || parser_.is_done()) return Advance();
    Lowest().expires_after(kSilenceLimit);
    continue_.emplace(http::status::continue_, 11);
    http::async_write(stream_, *continue_,
                      [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
                        if (error) return self->Close();
                        self->Guarded([&self] { self->Advance(); });
                      });
  }

  // Frees the body and the read buffer, and gives their memory back to the budget.
  void GiveBackBody() noexcept {
    parser_.DropBody();
    if (readBufferDrawn_ == 0) return;
    buffer_.clear();
    buffer_.shrink_to_fit();
    server_.bodyBudget.Give(parser_.request().client, readBufferDrawn_);
    readBufferDrawn_ = 0;
  }

  void Reply(HttpReply reply) {
    reply_ = std::move(reply);
    response_ = MakeResponse(reply_);
    replying_ = true;
    Lowest().expires_after(kSilenceLimit);
    http::async_write(stream_, response_, [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
      self->AfterReply(error);
    });
  }

  // Sends wire, which stays alive until it is sent, then logs the reply and lingers.
  void Send(asio::const_buffer wire) {
    replying_ = true;
    Lowest().expires_after(kSilenceLimit);
    asio::async_write(stream_, wire, [self = this->shared_from_this()](const beast::error_code& error, std::size_t) {
      self->AfterReply(error);
    });
  }

  void AfterReply(const beast::error_code& error) {
    Log();
    if (error) return Close();
    Guarded([this] { Linger(); });
  }

  void Log() noexcept {
    if (!server_.handlers.log) return;
    try {
      std::optional<double> seconds;
      if (headRead_) seconds = std::chrono::duration<double>(Clock::now() - *headRead_).count();
      server_.handlers.log(parser_.request(), reply_, seconds);
    } catch (...) {
      // A line the log could not write is lost; the reply was sent.
    }
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
                               self->Guarded([&self] { self->Drain(); });
                             });
  }

  void Close() noexcept {
    beast::error_code ignored;
    Lowest().socket().close(ignored);
  }

  HttpServer::Impl& server_;
  Stream stream_;
  const asio::any_io_executor executor_;             // the session's strand
  beast::flat_buffer buffer_{kMaxHeadBytes + kBodyReadPiece};  // past the head limit, so the parser's limit speaks first
  RequestParser parser_;
  Clock::time_point headDeadline_;
  Clock::time_point bodyDeadline_ = Clock::time_point::max();
  std::optional<Clock::time_point> headRead_;       // when the head was whole
  std::size_t readBufferDrawn_ = 0;                  // what the body's read buffer holds of the budget
  std::size_t bodyReadPiece_ = kHeadReadPiece;       // the most the next read of the body takes
  Clock::time_point windowEnd_;                      // when the body's present rate window ends
  std::uint64_t windowBytes_ = 0;                    // what the body brought in that window
  std::unique_ptr<BodyReader> reader_;               // the route's reader of the body, if any
  bool replying_ = false;                            // a reply is on its way or sent
  bool handshaking_ = false;                         // counted in the server's handshake limits
  HttpReply reply_;
  http::response<http::string_body> response_;       // the reply being sent
  std::optional<http::response<http::empty_body>> continue_;  // the 100 Continue being sent
  std::size_t drained_ = 0;
};

}  // namespace

void HttpServer::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](const beast::error_code& error, tcp::socket socket) {
    OnAccept(error, std::move(socket));
  });
}

// On the accept strand, as every use of the acceptor and its timer.
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
  std::shared_ptr<SessionBase> session;
  try {
    if (tls) {
      session = std::make_shared<Session<TlsStream>>(*this, TlsStream(PlainStream(std::move(socket)), *tls), client,
                                                     localName);
    } else {
      session = std::make_shared<Session<PlainStream>>(*this, PlainStream(std::move(socket)), client, localName);
    }
  } catch (...) {
    limits.Release(client);  // no session was made to release it; the socket closed with it
    throw;
  }
  Register(session);
  session->Start();
}

// A connection over the limits gets a 503 if its buffer takes it at once, and is closed; it
// never waits. Over TLS it is closed with nothing sent: a reply would need a handshake first.
void HttpServer::Impl::TurnAway(tcp::socket& socket) {
  beast::error_code ignored;
  if (!tls) {
    socket.non_blocking(true, ignored);
    socket.send(asio::buffer(busy), 0, ignored);
  }
  socket.close(ignored);
}

// A thread of the event loop. A handler that throws past its session's guard ends only that
// connection: the loop is run again.
void HttpServer::Impl::Run() {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& failure) {
      std::fprintf(stderr, "ombrivoice-service: a connection failed: %s\n", failure.what());
    } catch (...) {
      std::fprintf(stderr, "ombrivoice-service: a connection failed\n");
    }
  }
}

void HttpServer::Impl::Register(const std::shared_ptr<SessionBase>& session) {
  std::lock_guard<std::mutex> lock(sessionsMutex);
  sessions.emplace(session.get(), session);
}

void HttpServer::Impl::Unregister(SessionBase* session) {
  std::lock_guard<std::mutex> lock(sessionsMutex);
  sessions.erase(session);
  // The last session of a stop ends its grace, and with it the loop's last work. Once the loop
  // has stopped (the grace ran out, or the server is being destroyed) nothing is posted to it.
  if (draining && sessions.empty() && !io.stopped()) {
    asio::post(acceptStrand, [this] { grace.cancel(); });
  }
}

// On the accept strand. Once the acceptor is closed no session is added: those whose head is
// still coming are ended at once, the others get the grace to finish. With the acceptor, the
// retry timer and the signals gone, the loop's work is the sessions' own and the grace's: the
// loop ends by itself when the last session does, or is stopped when the grace runs out.
void HttpServer::Impl::BeginStop() {
  if (stopBegun) return;
  stopBegun = true;
  beast::error_code ignored;
  acceptor.close(ignored);
  acceptRetry.cancel();
  if (stopSignals) stopSignals->cancel(ignored);
  if (onStopBegun) onStopBegun();
  {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    draining = true;
    if (sessions.empty()) return;
  }
  grace.expires_after(kShutdownGrace);
  grace.async_wait([this](const beast::error_code& error) {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    if (error || sessions.empty()) return;
    unanswered = true;
    io.stop();
  });
  EndIncompleteHeads();
}

void HttpServer::Impl::EndIncompleteHeads() {
  std::vector<std::shared_ptr<SessionBase>> alive;
  {
    std::lock_guard<std::mutex> lock(sessionsMutex);
    for (const auto& entry : sessions) {
      if (std::shared_ptr<SessionBase> session = entry.second.lock()) alive.push_back(std::move(session));
    }
  }
  for (const std::shared_ptr<SessionBase>& session : alive) session->EndIfHeadIncomplete();
}

std::unique_ptr<HttpServer> HttpServer::Make(const TlsFiles& tls, const HttpLimits& limits, std::string* error) {
  auto impl = std::make_unique<Impl>(ConnectionsTheDescriptorsAllow(), limits);
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
  impl.internalError = SerializeReply(handlers.refusal(500));
  impl.busy = SerializeReply(handlers.refusal(503));
  impl.bodyWork.emplace(kBodyThreads);
  impl.replyWork.emplace(kReplyThreads);
  asio::post(impl.acceptStrand, [&impl] { impl.Accept(); });
  for (unsigned i = 1; i < kServeThreads; ++i) impl.threads.emplace_back([&impl] { impl.Run(); });
  impl.Run();  // until the stop's draining has ended, or its grace
  for (std::thread& thread : impl.threads) thread.join();
  impl.threads.clear();
  return !impl.unanswered;
}

void HttpServer::Stop() {
  Impl* impl = impl_.get();
  asio::post(impl->acceptStrand, [impl] { impl->BeginStop(); });
}

void HttpServer::OnStopBegun(std::function<void()> onStop) { impl_->onStopBegun = std::move(onStop); }

void HttpServer::StopOnSignals(std::initializer_list<int> signals) {
  Impl* impl = impl_.get();
  impl->stopSignals.emplace(impl->acceptStrand);
  for (int signal : signals) impl->stopSignals->add(signal);
  impl->stopSignals->async_wait([impl](const beast::error_code& error, int) {
    if (!error) impl->BeginStop();
  });
}

}  // namespace ombrivoice::service
