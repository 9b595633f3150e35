// The loopback test server: one thread accepts, one thread per connection serves, over TLS
// (OpenSSL) when the script names a certificate.
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

// One accepted connection: its socket, and its TLS session when the server speaks TLS.
struct LoopbackServer::Connection {
  int fd;
  SSL* ssl;
};

namespace {

using Connection = LoopbackServer::Connection;

// With OMBRIVOICE_SAVE_REQUESTS=DIR, each request a server received is also written to
// DIR/<test>.<server>.<request>.http, to set one build's wire bytes beside another's.
void SaveRequestsForInspection(const std::vector<std::string>& requests) {
  static std::atomic<int> servers{0};
  const char* folder = std::getenv("OMBRIVOICE_SAVE_REQUESTS");
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  if (folder == nullptr || test == nullptr) return;
  const std::string stem = std::string(folder) + "/" + test->test_suite_name() + "." + test->name() + "." +
                           std::to_string(++servers) + ".";
  for (size_t i = 0; i < requests.size(); ++i) {
    std::ofstream(stem + std::to_string(i + 1) + ".http", std::ios::binary) << requests[i];
  }
}

constexpr int kHandshakeSeconds = 10;  // a client that never completes the handshake is dropped

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Value of a header in a raw head, or "" (first match, name compared case-insensitively).
std::string HeadValue(const std::string& head, const std::string& name) {
  std::string lowered = Lower(head);
  size_t at = lowered.find("\r\n" + Lower(name) + ":");
  if (at == std::string::npos) return "";
  size_t start = at + 3 + name.size();
  size_t end = head.find("\r\n", start);
  std::string value = head.substr(start, end - start);
  while (!value.empty() && value[0] == ' ') value.erase(0, 1);
  return value;
}

bool SendAll(Connection& client, const char* bytes, size_t length) {
  while (length > 0) {
    ssize_t sent = client.ssl != nullptr ? SSL_write(client.ssl, bytes, static_cast<int>(length))
                                         : send(client.fd, bytes, length, MSG_NOSIGNAL);
    if (sent < 0 && client.ssl == nullptr && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Ends the server's side of the stream: close_notify first under TLS.
void EndSending(Connection& client) {
  if (client.ssl != nullptr) SSL_shutdown(client.ssl);
  shutdown(client.fd, SHUT_WR);
}

// A 200 reply with length bytes of HugeBodyByte, made and sent a piece at a time.
void SendHugeBody(Connection& client, size_t length) {
  std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
                     "\r\nConnection: close\r\n\r\n";
  if (!SendAll(client, head.data(), head.size())) return;
  char piece[65536];
  for (size_t offset = 0; offset < length;) {
    size_t count = length - offset < sizeof piece ? length - offset : sizeof piece;
    for (size_t i = 0; i < count; ++i) piece[i] = static_cast<char>(HugeBodyByte(offset + i));
    if (!SendAll(client, piece, count)) return;
    offset += count;
  }
  EndSending(client);
}

std::shared_ptr<SSL_CTX> ServerTls(const ServerScript& script) {
  if (script.certificateFile.empty()) return nullptr;
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (context == nullptr ||
      SSL_CTX_use_certificate_chain_file(context.get(), script.certificateFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), script.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    throw std::runtime_error("loopback server cannot load " + script.certificateFile);
  }
  return context;
}

// The TLS handshake, bounded in time. False when the client refused the certificate (or any
// other failure); the session is kept in client.ssl for freeing either way.
bool AcceptTls(SSL_CTX* context, Connection* client) {
  client->ssl = SSL_new(context);
  timeval limit = {kHandshakeSeconds, 0}, none = {0, 0};
  setsockopt(client->fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  bool accepted = client->ssl != nullptr && SSL_set_fd(client->ssl, client->fd) == 1 &&
                  SSL_accept(client->ssl) == 1;
  setsockopt(client->fd, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  ERR_clear_error();
  return accepted;
}

}  // namespace

std::string HttpReply(int status, const std::string& body, const std::string& extraHeaders) {
  return "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

LoopbackServer::LoopbackServer(ServerScript script) : script_(std::move(script)) {
  tls_ = ServerTls(script_);
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("loopback server cannot listen");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
  stopping_ = true;
  char wake = 1;
  (void)!write(stopPipe_[1], &wake, 1);
  acceptor_.join();
  for (std::thread& worker : workers_) worker.join();
  close(listener_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
  SaveRequestsForInspection(Requests());
}

std::string LoopbackServer::ConnectTo(const std::string& host, int hostPort) const {
  return host + ":" + std::to_string(hostPort) + ":127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> LoopbackServer::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool LoopbackServer::WaitForRequests(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return completeRequests_ >= count; });
}

bool LoopbackServer::WaitForConnectionsToEnd(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return recorded_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return openConnections_ == 0; });
}

void LoopbackServer::AcceptLoop() {
  for (;;) {
    pollfd waits[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
    if (stopping_) return;
    if ((waits[0].revents & POLLIN) == 0) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    connections_++;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      openConnections_++;
    }
    workers_.emplace_back([this, client] {
      // A write to a client that has gone must not kill the test: under TLS it is a plain
      // write(), so this thread keeps SIGPIPE blocked (and its pending one dies with it).
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      Connection connection = {client, nullptr};
      bool ready = tls_ == nullptr || AcceptTls(tls_.get(), &connection);
      if (ready && tls_ != nullptr) handshakes_++;
      if (ready) Serve(connection);
      if (connection.ssl != nullptr) SSL_free(connection.ssl);
      close(client);
      std::lock_guard<std::mutex> lock(mutex_);
      openConnections_--;
      recorded_.notify_all();
    });
  }
}

void LoopbackServer::WaitForStop() {
  pollfd stop = {stopPipe_[0], POLLIN, 0};
  while (!stopping_) poll(&stop, 1, -1);
}

// Reads what is available (waiting for it), false on close, error or stop.
bool LoopbackServer::ReadMore(Connection& client, std::string* into) {
  for (;;) {
    bool buffered = client.ssl != nullptr && SSL_pending(client.ssl) > 0;
    if (!buffered) {
      pollfd waits[2] = {{client.fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
      if (poll(waits, 2, -1) < 0 && errno != EINTR) return false;
      if (stopping_) return false;
      if (waits[0].revents == 0) continue;
    }
    char buffer[65536];
    ssize_t got = client.ssl != nullptr ? SSL_read(client.ssl, buffer, sizeof buffer)
                                        : recv(client.fd, buffer, sizeof buffer, 0);
    if (got < 0 && client.ssl == nullptr && errno == EINTR) continue;
    if (got <= 0) return false;
    into->append(buffer, static_cast<size_t>(got));
    return true;
  }
}

bool LoopbackServer::AnswersEarly(ServerFault fault) {
  return fault == ServerFault::AnswerEarlyThenRead || fault == ServerFault::AnswerEarlyThenShutdown ||
         fault == ServerFault::AnswerEarlyThenClose;
}

// The reply goes out right after the request head; what the server does then is the fault's.
void LoopbackServer::AnswerEarly(Connection& client, std::string* raw, const std::function<void(bool)>& record) {
  record(false);
  SendAll(client, script_.reply.data(), script_.reply.size());
  if (script_.fault == ServerFault::AnswerEarlyThenClose) {
    pollfd stop = {stopPipe_[0], POLLIN, 0};
    poll(&stop, 1, 500);
    return;
  }
  if (script_.fault == ServerFault::AnswerEarlyThenShutdown) EndSending(client);
  size_t headEnd = raw->find("\r\n\r\n") + 4;
  size_t bodyLength = std::stoull("0" + HeadValue(raw->substr(0, headEnd), "Content-Length"));
  while (raw->size() - headEnd < bodyLength && ReadMore(client, raw)) {
  }
  record(raw->size() - headEnd >= bodyLength);
}

void LoopbackServer::Serve(Connection& client) {
  std::string raw;
  size_t slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = requests_.size();
    requests_.emplace_back();
  }
  auto record = [&](bool complete) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[slot] = raw;
    if (complete) completeRequests_++;
    recorded_.notify_all();
  };
  if (script_.fault == ServerFault::CloseOnAccept) return record(false);
  size_t headEnd;
  while ((headEnd = raw.find("\r\n\r\n")) == std::string::npos) {
    if (!ReadMore(client, &raw)) return record(false);
  }
  headEnd += 4;
  std::string head = raw.substr(0, headEnd);
  const ServerScript& script = script_;
  if (script.fault == ServerFault::CloseAfterHead) return record(false);
  if (script.fault == ServerFault::StallAfterHead) {
    record(false);
    WaitForStop();  // read nothing, answer nothing
    return;
  }
  if (script.fault == ServerFault::HoldAfterHead && script.onHead) script.onHead();
  if (AnswersEarly(script.fault)) return AnswerEarly(client, &raw, record);

  bool chunked = Lower(HeadValue(head, "Transfer-Encoding")).find("chunked") != std::string::npos;
  std::string lengthText = HeadValue(head, "Content-Length");
  size_t bodyLength = lengthText.empty() ? 0 : std::stoull(lengthText);
  size_t limit = script.fault == ServerFault::CloseMidBody ? script.bodyBytesBeforeClose : bodyLength;
  for (;;) {
    bool complete = chunked ? raw.find("\r\n0\r\n\r\n", headEnd - 2) != std::string::npos
                            : raw.size() - headEnd >= limit;
    if (complete) break;
    if (!ReadMore(client, &raw)) return record(false);
  }
  if (script.fault == ServerFault::CloseMidBody) {
    raw.resize(headEnd + limit);
    return record(false);
  }
  record(true);
  if (script.fault == ServerFault::CloseBeforeReply) return;
  if (script.fault == ServerFault::HugeBody) return SendHugeBody(client, script.hugeBodyBytes);
  bool partial = script.fault == ServerFault::CloseMidReply || script.fault == ServerFault::StallMidReply;
  SendAll(client, script.reply.data(), partial ? script.replyBytesBeforeClose : script.reply.size());
  if (script.fault == ServerFault::StallMidReply) WaitForStop();
  EndSending(client);
}

std::vector<std::string> RecordedRequest::Values(const std::string& name) const {
  std::vector<std::string> values;
  for (const std::string& line : headerLines) {
    size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == Lower(name)) {
      std::string value = line.substr(colon + 1);
      while (!value.empty() && value[0] == ' ') value.erase(0, 1);
      values.push_back(value);
    }
  }
  return values;
}

RecordedRequest ParseRequest(const std::string& raw) {
  RecordedRequest request;
  size_t headEnd = raw.find("\r\n\r\n");
  std::string head = raw.substr(0, headEnd);
  request.body = headEnd == std::string::npos ? "" : raw.substr(headEnd + 4);
  size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(start, end - start);
    if (first) {
      request.requestLine = line;
      first = false;
    } else {
      request.headerLines.push_back(line);
    }
    start = end + 2;
  }
  return request;
}
