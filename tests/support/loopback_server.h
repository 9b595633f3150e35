// A loopback HTTP server for the tests. It records every request's raw bytes (head and body as
// received, after TLS when it speaks TLS) and answers each connection with a scripted reply, or
// misbehaves on purpose.
#ifndef OMBRIVOICE_TESTS_LOOPBACK_SERVER_H
#define OMBRIVOICE_TESTS_LOOPBACK_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class ServerFault {
  None,              // read the whole request, send the reply, close
  CloseAfterHead,    // read the request head, then close without reading the body
  CloseMidBody,      // read the head and bodyBytesBeforeClose body bytes, then close
  CloseBeforeReply,  // read the whole request, then close without answering
  CloseMidReply,     // send the first replyBytesBeforeClose bytes of the reply, then close
  StallAfterHead,    // read the head, then neither read nor answer until the server stops
  StallMidReply,     // send the first replyBytesBeforeClose bytes of the reply, then stall
  HoldAfterHead,     // read the head, call onHead, then carry on as None
  CloseOnAccept,     // close the connection at once, reading nothing
  HugeBody,          // read the whole request, answer 200 with hugeBodyBytes of HugeBodyByte
  // Answer as soon as the request head is in, as a service that refuses an upload does, then:
  AnswerEarlyThenRead,      // read the rest of the body (until it ends or the client closes)
  AnswerEarlyThenShutdown,  // end the sending side at once, then read on
  AnswerEarlyThenClose,     // read nothing more, and close half a second later
};

struct ServerScript {
  ServerScript(std::string replyBytes = "") : reply(std::move(replyBytes)) {}  // NOLINT: implicit
  std::string reply;  // raw bytes: status line, headers and body
  ServerFault fault = ServerFault::None;
  size_t bodyBytesBeforeClose = 0;
  size_t replyBytesBeforeClose = 0;
  std::function<void()> onHead;  // HoldAfterHead: runs on the server thread before the body
  size_t hugeBodyBytes = 0;      // HugeBody: the body's length, streamed without being held
  std::string certificateFile;   // with keyFile: every connection speaks TLS with this
  std::string keyFile;           // certificate (PEM files), and is recorded decrypted
};

// The byte a HugeBody reply carries at offset (a pattern that shows a lost or doubled piece).
inline unsigned char HugeBodyByte(size_t offset) {
  return static_cast<unsigned char>((offset * 131) ^ (offset >> 16));
}

// "HTTP/1.1 <status>" with Content-Length, Connection: close, extra header lines and the body.
std::string HttpReply(int status, const std::string& body, const std::string& extraHeaders = "");

class LoopbackServer {
 public:
  explicit LoopbackServer(ServerScript script);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  // "host:80:127.0.0.1:<port>", for the HTTP client's connect override.
  std::string ConnectTo(const std::string& host, int hostPort = 80) const;
  // Raw bytes of each request read so far (whole or, after a fault, as far as it was read).
  std::vector<std::string> Requests();
  int Connections() const { return connections_.load(); }
  // Connections whose TLS handshake succeeded (a client that refuses the certificate leaves
  // none, and sends nothing).
  int Handshakes() const { return handshakes_.load(); }
  // Waits up to timeoutMs for at least count requests to have been recorded completely.
  bool WaitForRequests(size_t count, int timeoutMs);
  // Waits up to timeoutMs until every connection accepted so far has ended.
  bool WaitForConnectionsToEnd(int timeoutMs);

  struct Connection;  // one accepted connection, with its TLS session if any

 private:
  void AcceptLoop();
  void Serve(Connection& client);
  bool ReadMore(Connection& client, std::string* into);
  static bool AnswersEarly(ServerFault fault);
  void AnswerEarly(Connection& client, std::string* raw, const std::function<void(bool)>& record);
  void WaitForStop();

  ServerScript script_;
  int listener_ = -1;
  int port_ = 0;
  int stopPipe_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> handshakes_{0};
  int openConnections_ = 0;  // guarded by mutex_; signalled through recorded_
  std::shared_ptr<struct ssl_ctx_st> tls_;  // null unless the script names a certificate
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<std::string> requests_;
  size_t completeRequests_ = 0;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

// Parsed view of one recorded request.
struct RecordedRequest {
  std::string requestLine;
  std::vector<std::string> headerLines;  // in order, without CR LF
  std::string body;
  // Every value of a header (name compared case-insensitively).
  std::vector<std::string> Values(const std::string& name) const;
};
RecordedRequest ParseRequest(const std::string& raw);

#endif
